// How long the main window takes to appear, and to close, with each kind of advert server: no
// advert address set, a local server that serves an animated GIF, and a loopback socket that
// accepts connections and never answers. Prints the median and the largest of each over the
// runs; run on the offscreen platform:
//   QT_QPA_PLATFORM=offscreen build/bench/window/advert_start_bench [runs]
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

#include "TempFolder.h"
#include "base/Globals.h"
#include "http/LocalHttpServer.h"
#include "widgets/GifBuilder.h"
#include "window/TavrelSnifferWindow.h"

namespace {

struct Figures {
    std::vector<double> shown, closed;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    ClearProxyEnvironment();

    TempFolder home;
    setenv("XDG_CONFIG_HOME", home.path.c_str(), 1);
    GifBuilder gif(234, 60);
    for (int i = 0; i < 3; ++i) gif.Control(20, 1).Image(i * 78, 0, 78, 60, i);
    std::ofstream(home.path / "anim.gif", std::ios::binary)
        .write(reinterpret_cast<const char*>(gif.Trailer().bytes.data()),
               static_cast<std::streamsize>(gif.bytes.size()));
    LocalHttpServer server(PELNIX_HTTP_TEST_SERVER, {"--root", home.path.string()});

    const int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(silent, 64);
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);

    const std::pair<const char*, std::string> modes[] = {
        {"no advert address", ""},
        {"local server, animated GIF", server.Url("/root/anim.gif")},
        {"silent server", "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/a.gif"},
    };
    g_settingsFile = (home.path / "Pelnix.ini").string();
    std::printf("%-28s %12s %12s %12s %12s\n", "advert", "show med ms", "show max ms",
                "close med ms", "close max ms");
    for (const auto& [name, url] : modes) {
        std::ofstream(g_settingsFile) << "[Pelnix]\n"
                                      << (url.empty() ? "" : "AdvertImageUrl=" + url) << "\n";
        Figures figures;
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer clock;
            clock.start();
            auto* window =
                new TavrelSnifferWindow(nullptr, [] { return std::string(); });
            window->show();
            if (!QTest::qWaitForWindowExposed(window))
                return 1;
            figures.shown.push_back(clock.nsecsElapsed() / 1e6);
            QTest::qWait(200);  // the fetch is under way (or over)
            clock.restart();
            delete window;
            figures.closed.push_back(clock.nsecsElapsed() / 1e6);
        }
        std::printf("%-28s %12.2f %12.2f %12.2f %12.2f\n", name, Median(figures.shown),
                    *std::max_element(figures.shown.begin(), figures.shown.end()),
                    Median(figures.closed),
                    *std::max_element(figures.closed.begin(), figures.closed.end()));
    }
    close(silent);
    return 0;
}
