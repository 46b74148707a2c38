#include "app/Shutdown.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "converter/CConsoleRunner.h"
#include "converter/CProcessKiller.h"
#include "window/CapturedCopy.h"
#include "window/LaunchedCommand.h"

namespace {

// The signal handler tells the GUI thread through this pipe which signal came.
int s_signalPipe[2] = {-1, -1};

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnStopSignal(int signal) {
    // Async-signal-safe work only: the converters are asked to close now, even when the GUI
    // thread is busy; the waiting happens there.
    const int savedErrno = errno;
    SignalRunningGroups(SIGTERM);
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[1], &number, 1);
    errno = savedErrno;
}

void StopConvertersAtExit() {
    CProcessKiller::StopAllRuns();
    EndLaunch();
    RemoveListedSpoolFolders();
}

void EndBySignal() {
    unsigned char number = 0;
    if (::read(s_signalPipe[0], &number, 1) != 1)
        return;
    CProcessKiller::StopAllRuns();
    // A launched command ends (bounded), and then its key log goes; so do the capture's copies.
    EndLaunch();
    RemoveListedSpoolFolders();
    // The program ends the way the signal ends a program, so that whoever sent it sees so.
    std::signal(number, SIG_DFL);
    std::raise(number);
    std::_Exit(128 + number);  // a signal that was blocked on this thread
}

}  // namespace

void PrepareProcessForShutdown() {
    std::signal(SIGPIPE, SIG_IGN);
    std::atexit(StopConvertersAtExit);
}

void WatchStopSignals() {
    if (s_signalPipe[0] >= 0 || ::pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier =
        new QSocketNotifier(s_signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { EndBySignal(); });
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kStopSignals) sigaction(signal, &action, nullptr);
}
