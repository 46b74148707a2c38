// The modal "Downloading Stream" dialog: runs the stream fetcher on a worker thread and shows
// the segments and bytes as they arrive (a live stream's recording without an end or a
// percentage); Cancel stops the fetch within about a second.
#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <string>

#include "http/DownloadDialog.h"
#include "http/StreamFetcher.h"

class CStreamDownloadDlg : public DownloadDialog {
    Q_OBJECT
public:
    // `fetcher` outlives the dialog; `url` is the stream's listed playlist, shown by its name
    // and server.
    CStreamDownloadDlg(StreamFetcher& fetcher, std::string url, QWidget* parent = nullptr);
    ~CStreamDownloadDlg() override;

    // DoModal: 1 the stream (or a live recording) arrived, 2 cancelled, 3 failed. Outcome says
    // which; FailureReason why it failed or why a recording stopped.
    StreamFetcher::Outcome Outcome() const { return m_outcome.load(); }
    std::string FailureReason() const override { return m_fetcher.FailureReason(); }

signals:
    void LiveReported();

protected:
    std::string TransferUrl() const override { return m_url; }
    void SetTransferUrl(std::string url) override { m_url = std::move(url); }
    std::string TransferDestination() const override { return {}; }
    bool AsksBeforeReplacing() const override { return false; }
    void RunTransfer() override;
    void AbortTransfer() override { m_fetcher.Abort(); }
    bool TransferAborted() const override { return m_fetcher.IsAborted(); }
    void OnInitDialog() override;

private:
    // Worker side: the texts of one progress report.
    void Show(const StreamProgress& progress);

    StreamFetcher& m_fetcher;
    std::string m_url;
    std::atomic<StreamFetcher::Outcome> m_outcome{StreamFetcher::Outcome::Failed};
    bool m_liveShown = false;  // worker only, as the two below
    bool m_sizeShown = false;
    std::chrono::steady_clock::time_point m_start;
};
