#include "http/CYouTubeDownloadDlg.h"

CYouTubeDownloadDlg::CYouTubeDownloadDlg(QWidget* parent) : DownloadDialog(parent) {
    setObjectName(QStringLiteral("CYouTubeDownloadDlg"));
}

CYouTubeDownloadDlg::~CYouTubeDownloadDlg() {
    StopWorker();
}

void CYouTubeDownloadDlg::RunTransfer() {
    ReportWorkerEnd(Transfer());
}
