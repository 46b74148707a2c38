// The second "File Download" dialog: fetches an entry of the video site by replaying the request
// the browser sent for it, with all of the browser's own headers, on the replay engine. It looks
// and behaves like CHttpDownloadDlg; the status line stays empty until Cancel.
#pragma once

#include "http/DownloadDialog.h"
#include "http/ReplayDownloader.h"

class CYouTubeDownloadDlg : public DownloadDialog, public ReplayDownloader {
    Q_OBJECT
public:
    explicit CYouTubeDownloadDlg(QWidget* parent = nullptr);
    ~CYouTubeDownloadDlg() override;

    // DoModal: 1 done, 2 cancelled or refused, 3 failed (the dialog shows no message of its own).

    std::string FailureReason() const override { return ReplayDownloader::FailureReason(); }

protected:
    // The URL is parsed for what the dialog shows; the transfer goes to the server the captured
    // request went to.
    std::string TransferUrl() const override { return Url(); }
    void SetTransferUrl(std::string url) override { SetUrl(std::move(url)); }
    std::string TransferDestination() const override { return DestinationPath(); }
    bool AsksBeforeReplacing() const override { return ConfirmOverwrite(); }
    void RunTransfer() override;
    void AbortTransfer() override { Abort(); }
    bool TransferAborted() const override { return IsAborted(); }

    void OnProgress(std::uint64_t bytesSoFar, bool sizeKnown, std::uint64_t total) override {
        ReportProgress(bytesSoFar, sizeKnown, total, 0);
    }
    void SetStatusText(const std::string& text) override { PostStatusText(text); }
};
