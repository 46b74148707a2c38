// The pelnix program: the window, or a headless front end over the same core.
#include <QApplication>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/DisplayCheck.h"
#include "app/Shutdown.h"
#include "app/SnifferApp.h"
#include "headless/HeadlessFrontEnd.h"
#include "window/LaunchedCommand.h"

namespace {

constexpr const char* kUsage =
    "Usage: pelnix [OPTION] [FILE...] [--launch COMMAND [ARGS...]]\n"
    "       pelnix [OPTION] [FILE...] [--launch-own-profile BROWSER [ARGS...]]\n"
    "       pelnix --read FILE [--local-address ADDR] [--format tsv|json]\n"
    "                   [STREAM OPTIONS]\n"
    "       pelnix --watch [--format tsv|json] [STREAM OPTIONS]\n"
    "Watches this machine's network traffic for media streamed over HTTP (and over HTTPS\n"
    "with a TLS key log) and lists it.\n"
    "\n"
    "  --help      show this text and exit\n"
    "  --version   show the version and exit\n"
    "  FILE...     the window reads these capture files (pcap, pcapng) or HAR exports of a\n"
    "              browser and lists their media; files dropped on the window are read too\n"
    "  --launch COMMAND [ARGS...]\n"
    "              the window starts COMMAND (a browser, curl) with SSLKEYLOGFILE set to a\n"
    "              new private key log in $XDG_RUNTIME_DIR that the capture follows in place\n"
    "              of TlsKeyLogFile, so that its HTTPS media are listed; everything after\n"
    "              --launch belongs to COMMAND. When the window closes, or Pelnix ends in\n"
    "              any other way, COMMAND's process group is ended (SIGTERM, then SIGKILL\n"
    "              after two seconds) and then the key log is deleted. A COMMAND that ends\n"
    "              within ten seconds without writing a key is said in a notice: it most\n"
    "              likely handed its page to a browser that was already running\n"
    "  --launch-own-profile BROWSER [ARGS...]\n"
    "              as --launch, with a profile of BROWSER's own in\n"
    "              ${XDG_CACHE_HOME:-~/.cache}/Pelnix/profiles/NAME (mode 0700, kept), so that\n"
    "              it runs apart from a browser already open: --user-data-dir for the\n"
    "              Chromium family (chromium, google-chrome, brave, microsoft-edge,\n"
    "              vivaldi, opera), -no-remote -profile for the Firefox family (firefox,\n"
    "              firefox-esr, librewolf); other commands are refused\n";

constexpr const char* kUsageEnd =
    "\n"
    "Without an option the window opens. Settings are read from\n"
    "$XDG_CONFIG_HOME/Pelnix/Pelnix.ini (by default ~/.config/Pelnix/Pelnix.ini), or while\n"
    "that file does not exist from Pelnix/Pelnix.ini in the first folder of $XDG_CONFIG_DIRS\n"
    "that has one (by default /etc/xdg).\n";

}  // namespace

int main(int argc, char** argv) {
    PrepareProcessForShutdown();

    // Everything after --launch (or --launch-own-profile) is the command to start and its
    // arguments.
    int ownArguments = argc;
    std::vector<std::string> launch;
    bool ownProfile = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--launch" || arg == "--launch-own-profile") {
            ownArguments = i;
            ownProfile = arg == "--launch-own-profile";
            launch.assign(argv + i + 1, argv + argc);
            if (launch.empty()) {
                std::fprintf(stderr, "pelnix: %s needs a command to start (try --help)\n",
                             arg.c_str());
                return 2;
            }
            break;
        }
    }

    // The headless commands need neither a display nor Qt; --help and --version go first.
    bool wantsInformation = false;
    for (int i = 1; i < ownArguments; ++i) {
        const std::string arg = argv[i];
        wantsInformation = wantsInformation || arg == "--help" || arg == "-h" || arg == "--version";
    }
    if (!wantsInformation && launch.empty()) {
        if (const auto status = RunHeadlessCommand(argc, argv, "pelnix"))
            return *status;
    }

    std::vector<std::string> files;
    for (int i = 1; i < ownArguments; ++i) {
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
        if (arg.empty() || arg.front() == '-') {
            std::fprintf(stderr, "pelnix: unknown option '%s' (try --help)\n", arg.c_str());
            return 2;
        }
        files.push_back(arg);
    }

    if (!launch.empty()) {
        // The key log holds live secrets: without a folder only this user may enter, the
        // command is not started at all.
        std::string problem;
        if (PrivateRuntimeFolder(problem).empty()) {
            std::fprintf(stderr, "pelnix: cannot launch %s: %s\n", launch.front().c_str(),
                         problem.c_str());
            return 1;
        }
        if (ownProfile) {
            std::vector<std::string> own = OwnProfileCommand(launch, problem);
            if (own.empty()) {
                std::fprintf(stderr, "pelnix: cannot launch %s: %s\n", launch.front().c_str(),
                             problem.c_str());
                return 1;
            }
            launch = std::move(own);
        }
    }

    if (const std::string problem = DisplayProblem(); !problem.empty()) {
        std::fprintf(stderr, "pelnix: %s\n", problem.c_str());
        return 1;
    }

    // The toolkit sees none of the command's arguments (it would take its own options there).
    int toolkitArguments = ownArguments;
    QApplication application(toolkitArguments, argv);
    ReleaseDisplayCheck();
    WatchStopSignals();
    QApplication::setApplicationName(QStringLiteral("Pelnix"));
    // The installed desktop entry, by which task bars and Wayland match the window to its icon.
    QApplication::setDesktopFileName(QStringLiteral("pelnix"));
    SnifferApp app;
    app.SetFilesToRead(std::move(files));
    app.SetLaunchCommand(std::move(launch), ownProfile);
    return app.Run();
}
