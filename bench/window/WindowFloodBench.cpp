// Floods the main window's list with reports from a capture thread (distinct URLs and sizes,
// a fixed rate for a fixed time) while a 10 ms timer on the GUI thread measures how late the
// event loop runs it. Prints the latency figures; run on the offscreen platform:
//   QT_QPA_PLATFORM=offscreen build/bench/window/window_flood_bench [reports/s] [seconds]
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "window/SniffedMediaList.h"
#include "window/TavrelSnifferWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int rate = argc > 1 ? std::atoi(argv[1]) : 5000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;

    TavrelSnifferWindow window(nullptr, [] { return std::string(); });
    window.show();

    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    std::thread capture([&] {
        using clock = std::chrono::steady_clock;
        const auto start = clock::now();
        const std::string headers =
            "GET /v/clip.flv HTTP/1.1\r\nHost: media.test\r\nUser-Agent: bench\r\n\r\n";
        for (long i = 0; !stop.load(); ++i) {
            // Pace to `rate` reports a second, in bursts of 1 ms.
            const auto due = start + std::chrono::microseconds(i * 1000000L / rate);
            if (clock::now() < due)
                std::this_thread::sleep_until(due);
            OnMediaSniffed(PlainReport("http://media.test/v/" + std::to_string(i) + ".flv", headers,
                                       std::to_string(100000 + i) + "\r\n", "x-flv\r\n"));
            sent.fetch_add(1, std::memory_order_relaxed);
        }
    });

    std::vector<double> lateMs;
    QElapsedTimer clock;
    clock.start();
    qint64 expected = 10;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed() / 1000;  // microseconds
        lateMs.push_back(std::max<qint64>(0, now - expected * 1000) / 1000.0);
        expected = now / 1000 + 10;
    });
    tick.start(10);
    QTimer::singleShot(seconds * 1000, &app, [&] { app.quit(); });
    app.exec();
    stop = true;
    capture.join();

    std::sort(lateMs.begin(), lateMs.end());
    const auto pct = [&](double p) {
        return lateMs.empty() ? 0.0
                              : lateMs[std::min(lateMs.size() - 1, size_t(p * lateMs.size()))];
    };
    double sum = 0;
    for (double v : lateMs) sum += v;
    std::printf("reports sent: %ld in %d s (%.0f/s); rows shown: %d\n", sent.load(), seconds,
                double(sent.load()) / seconds, window.MediaList()->topLevelItemCount());
    std::printf(
        "10 ms timer lateness over %zu ticks: mean %.2f ms, p50 %.2f ms, p99 %.2f ms, "
        "max %.2f ms\n",
        lateMs.size(), lateMs.empty() ? 0.0 : sum / lateMs.size(), pct(0.5), pct(0.99),
        lateMs.empty() ? 0.0 : lateMs.back());
    return 0;
}
