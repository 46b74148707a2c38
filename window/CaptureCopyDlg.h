// The "File Download" dialog for a medium the capture holds whole: its bytes are copied from the
// capture's copy into the download's file, with no request to the server. It looks like the
// other download dialogs; its status line says where the bytes come from.
#pragma once

#include <atomic>
#include <string>

#include "http/DownloadDialog.h"
#include "spool/CopyStatus.h"

class CaptureCopyDlg : public DownloadDialog {
    Q_OBJECT
public:
    // Copies `copy`, a whole file copy in the spool folder `folderFd` (the dialog keeps a
    // descriptor of its own), to `destination`; `url` is the medium's, shown on the second line.
    CaptureCopyDlg(int folderFd, CopyStatus copy, std::string url, std::string destination,
                   QWidget* parent = nullptr);
    ~CaptureCopyDlg() override;

    // DoModal: 1 copied, 2 cancelled, 3 failed.
    std::string FailureReason() const override { return m_failure; }

    // The status line while the bytes are copied.
    static constexpr const char* kCopyingText = "Copying from the capture";

protected:
    std::string TransferUrl() const override { return m_url; }
    void SetTransferUrl(std::string url) override { m_url = std::move(url); }
    std::string TransferDestination() const override { return m_destination; }
    bool AsksBeforeReplacing() const override { return false; }
    void RunTransfer() override;
    void AbortTransfer() override { m_abort = true; }
    bool TransferAborted() const override { return m_abort; }

private:
    int m_folderFd = -1;
    const CopyStatus m_copy;
    std::string m_url;
    const std::string m_destination;
    std::string m_failure;  // written by the worker before its end is reported
    std::atomic<bool> m_abort{false};
};
