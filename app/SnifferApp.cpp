#include "app/SnifferApp.h"

#include <QApplication>

#include <clocale>

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/ShowMessage.h"
#include "resources/Pictures.h"
#include "window/TavrelSnifferWindow.h"

bool SnifferApp::InitInstance() {
    m_refused = false;
    // Qt sets the C library locale from the environment; numbers and times are formatted the
    // same way everywhere ("%.2f", "%p").
    std::setlocale(LC_NUMERIC, "C");
    std::setlocale(LC_TIME, "C");

    g_appIcon = LoadAppIcon();
    QApplication::setWindowIcon(g_appIcon);
    g_backgroundBrush = QBrush(QColor(210, 210, 210));

    g_moduleDir = ExecutableFolder();

    const std::string dataFolder = GetUserDataFolder(kProductName);
    const std::string base = dataFolder.substr(0, dataFolder.rfind('/'));
    const std::string userFile = base + "/" + kProductName + "/" + kSettingsFileName;
    // Without a file of the user's own, the system-wide defaults that a package installs apply;
    // the checks and their messages then concern that file.
    g_settingsFile = FindSettingsFile(userFile, kProductName, kSettingsFileName);

    std::string refusedFolder;
    if (const int failure = CheckStartupSettings(g_settingsFile, &refusedFolder); failure != 0) {
        ShowMessage(nullptr, kProductName, MB_ICONSTOP, "%s",
                    StartupFailureText(failure, g_settingsFile, refusedFolder).c_str());
        m_refused = true;
        return false;
    }

    RunMainWindow();
    return false;
}

void SnifferApp::RunMainWindow() {
    auto* window = new TavrelSnifferWindow(nullptr);
    window->SetLaunchCommand(m_launch, m_launchOwnProfile);
    window->ReadMediaFiles(m_files);
    window->exec();
    delete window;
}

int SnifferApp::ExitInstance() {
    g_backgroundBrush = QBrush();
    g_appIcon = QIcon();
    // A start-up that refused to go on has failed.
    return m_refused ? 1 : 0;
}

int SnifferApp::Run() {
    InitInstance();
    return ExitInstance();
}
