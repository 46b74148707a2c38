// Stands in for the program while it converts: the program's own process set-up, then the
// conversion dialog on a stand-in converter. Driven by shutdown_test.
//   shutdown_helper WORK_FOLDER CONVERTER INPUT OUTPUT
#include <QApplication>

#include "app/Shutdown.h"
#include "base/Globals.h"
#include "converter/TavrelImportProgressDlg.h"

int main(int argc, char** argv) {
    if (argc != 5)
        return 2;
    PrepareProcessForShutdown();
    QApplication application(argc, argv);
    WatchStopSignals();
    g_tempDir = argv[1];
    g_ffmpegExe = argv[2];
    g_ffmpegAudioOptions = "-f mp3";
    TavrelImportProgressDlg dialog(
        QStringLiteral("Extracting Audio From Video"), QStringLiteral("Importing:"), QString(),
        g_tempDir + "/Sniffer_1_1.bat", argv[3], argv[4], g_ffmpegAudioOptions);
    dialog.exec();
    return 0;
}
