// The application object: start-up checks, the main window's run, and shutdown.
#pragma once

#include <string>
#include <vector>

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

    // What the command line asks of the main window: capture files and HAR exports to read,
    // and a command to start with a key log of its own (--launch); before Run.
    void SetFilesToRead(std::vector<std::string> files) { m_files = std::move(files); }
    void SetLaunchCommand(std::vector<std::string> command, bool ownProfile) {
        m_launch = std::move(command);
        m_launchOwnProfile = ownProfile;
    }

protected:
    // Creates the main window, runs it modally and destroys it.
    virtual void RunMainWindow();

    std::vector<std::string> m_files;
    std::vector<std::string> m_launch;
    bool m_launchOwnProfile = false;

private:
    bool m_refused = false;
};
