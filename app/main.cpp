// The pelnix program: the window, or a headless front end over the same core.
#include <QApplication>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/DisplayCheck.h"
#include "app/Shutdown.h"
#include "app/SnifferApp.h"
#include "headless/HeadlessFrontEnd.h"

namespace {

constexpr const char* kUsage =
    "Usage: pelnix [OPTION]\n"
    "       pelnix --read FILE [--local-address ADDR] [STREAM OPTIONS]\n"
    "       pelnix --watch [STREAM OPTIONS]\n"
    "Watches this machine's network traffic for media streamed over HTTP (and over HTTPS\n"
    "with a TLS key log) and lists it.\n"
    "\n"
    "  --help      show this text and exit\n"
    "  --version   show the version and exit\n";

constexpr const char* kUsageEnd =
    "\n"
    "Without an option the window opens. Settings are read from\n"
    "$XDG_CONFIG_HOME/Pelnix/Pelnix.ini (by default ~/.config/Pelnix/Pelnix.ini), or while\n"
    "that file does not exist from Pelnix/Pelnix.ini in the first folder of $XDG_CONFIG_DIRS\n"
    "that has one (by default /etc/xdg).\n";

}  // namespace

int main(int argc, char** argv) {
    PrepareProcessForShutdown();

    // The headless commands need neither a display nor Qt; --help and --version go first.
    bool wantsInformation = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        wantsInformation = wantsInformation || arg == "--help" || arg == "-h" || arg == "--version";
    }
    if (!wantsInformation) {
        if (const auto status = RunHeadlessCommand(argc, argv, "pelnix"))
            return *status;
    }

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kHeadlessUsage, stdout);
            std::fputs(kUsageEnd, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("pelnix %s\n", PELNIX_VERSION);
            return 0;
        }
        std::fprintf(stderr, "pelnix: unknown option '%s' (try --help)\n", arg.c_str());
        return 2;
    }

    if (const std::string problem = DisplayProblem(); !problem.empty()) {
        std::fprintf(stderr, "pelnix: %s\n", problem.c_str());
        return 1;
    }

    QApplication application(argc, argv);
    ReleaseDisplayCheck();
    WatchStopSignals();
    QApplication::setApplicationName(QStringLiteral("Pelnix"));
    // The installed desktop entry, by which task bars and Wayland match the window to its icon.
    QApplication::setDesktopFileName(QStringLiteral("pelnix"));
    SnifferApp app;
    return app.Run();
}
