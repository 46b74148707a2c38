#include "window/CaptureCopyDlg.h"

#include <fcntl.h>
#include <unistd.h>

#include "window/CapturedCopy.h"

CaptureCopyDlg::CaptureCopyDlg(int folderFd, CopyStatus copy, std::string url,
                               std::string destination, QWidget* parent)
    : DownloadDialog(parent),
      m_folderFd(folderFd >= 0 ? ::fcntl(folderFd, F_DUPFD_CLOEXEC, 3) : -1),
      m_copy(std::move(copy)),
      m_url(std::move(url)),
      m_destination(std::move(destination)) {
    setObjectName(QStringLiteral("CaptureCopyDlg"));
}

CaptureCopyDlg::~CaptureCopyDlg() {
    StopWorker();
    if (m_folderFd >= 0)
        ::close(m_folderFd);
}

void CaptureCopyDlg::RunTransfer() {
    PostStatusText(kCopyingText);
    if (m_folderFd < 0) {
        m_failure = "the capture's copies cannot be reached";
        ReportWorkerEnd(false);
        return;
    }
    const bool copied = CopyCapturedFile(
        m_folderFd, m_copy, m_destination, m_abort,
        [this](std::uint64_t done, std::uint64_t total) { ReportProgress(done, true, total, 0); },
        m_failure);
    ReportWorkerEnd(copied);
}
