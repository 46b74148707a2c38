// The application object: start-up checks, the main window's run, and shutdown.
#pragma once

class SnifferApp {
public:
    virtual ~SnifferApp() = default;

    // Start-up in order: icon, background brush, program folder, per-user folder and settings
    // path (the per-user file, or else the system-wide one), the four settings checks (a failure
    // shows its message and stops), then the main window runs modally. Returns false: no message
    // loop follows. A QApplication must exist.
    bool InitInstance();

    // Releases what start-up created; returns the exit code: 1 when start-up refused to go on.
    int ExitInstance();

    // InitInstance followed by ExitInstance; returns the process exit code.
    int Run();

protected:
    // Creates the main window, runs it modally and destroys it.
    virtual void RunMainWindow();

private:
    bool m_refused = false;
};
