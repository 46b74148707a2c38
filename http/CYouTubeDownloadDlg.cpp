#include "http/CYouTubeDownloadDlg.h"

CYouTubeDownloadDlg::CYouTubeDownloadDlg(QWidget* parent) : DownloadDialog(parent) {
    setObjectName(QStringLiteral("CYouTubeDownloadDlg"));
}

CYouTubeDownloadDlg::~CYouTubeDownloadDlg() {
    StopWorker();
}

bool CYouTubeDownloadDlg::PrepareDialog() {
    if (ConfirmOverwrite() && !ConfirmReplace(DestinationPath()))
        return false;
    // The URL is parsed for what the dialog shows; the transfer goes where the URL says.
    std::string url = Url();
    if (!ShowUrl(url))
        return false;
    SetUrl(url);
    return true;
}

void CYouTubeDownloadDlg::RunTransfer() {
    ReportWorkerEnd(Transfer());
}
