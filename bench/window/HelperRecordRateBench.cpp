// Records a second that the main window takes from the capture helper's record stream before
// its queue of waiting reports drops any: a stand-in helper (helper_record_source) sends
// records of distinct URLs and sizes at a fixed rate, the same reader as the window's hands
// each to OnMediaSniffed, and the window's list takes them on the GUI thread. For each rate:
// the records read from the stream, those the list's queue dropped, and the rate reached.
// Run on the offscreen platform:
//   QT_QPA_PLATFORM=offscreen build/bench/window/helper_record_rate_bench [seconds] [rates...]
// A rate of 0 sends as fast as the pipe takes them.
#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "helper/CaptureHelperClient.h"
#include "window/SniffedMediaList.h"
#include "window/TavrelSnifferWindow.h"

namespace {

std::atomic<long> s_read{0};
std::atomic<qint64> s_lastReadNs{0};
QElapsedTimer s_clock;

// What the window installs, counted on the way.
void CountAndHand(MediaReport report) {
    s_read.fetch_add(1, std::memory_order_relaxed);
    s_lastReadNs.store(s_clock.nsecsElapsed(), std::memory_order_relaxed);
    OnMediaSniffed(std::move(report));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const long seconds = argc > 1 ? std::atol(argv[1]) : 2;
    std::vector<long> rates;
    for (int i = 2; i < argc; ++i) rates.push_back(std::atol(argv[i]));
    if (rates.empty())
        rates = {50000, 100000, 200000, 400000, 0};

    std::printf("%-12s %10s %10s %10s %14s\n", "rate asked", "records", "read", "dropped",
                "taken per s");
    for (const long rate : rates) {
        TavrelSnifferWindow window(nullptr, [] { return std::string(); });
        window.show();
        QApplication::processEvents();
        const long count = rate > 0 ? rate * seconds : 400000;

        CaptureHelperClient::Options options;
        options.helperPath = HELPER_RECORD_SOURCE;
        options.helperArguments = {std::to_string(count), std::to_string(rate)};
        options.reportCallback = CountAndHand;
        s_read = 0;
        CaptureHelperClient client(std::move(options));
        s_clock.start();
        if (client.Start() != CaptureHelperClient::StartResult::Listed) {
            std::fprintf(stderr, "the record source did not start: %s\n",
                         client.StartError().c_str());
            return 1;
        }
        const qint64 startNs = s_clock.nsecsElapsed();
        // The GUI thread runs its event loop as the window's would, until every record was
        // read and the list's queue is drained.
        while (s_read.load() < count && s_clock.elapsed() < (seconds + 30) * 1000)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        const qint64 endNs = s_lastReadNs.load();
        for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 5);
        client.Stop();
        const double taken = double(s_read.load() - window.MediaList()->DroppedReports());
        std::printf("%-12s %10ld %10ld %10llu %14.0f\n",
                    rate > 0 ? std::to_string(rate).c_str() : "unpaced", count, s_read.load(),
                    static_cast<unsigned long long>(window.MediaList()->DroppedReports()),
                    taken / (double(endNs - startNs) / 1e9));
    }
    return 0;
}
