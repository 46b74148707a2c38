// The look and run shared by the two modal "File Download" dialogs: template 1500 with its
// animation, status line, file and server line, progress bar, time left and rate; a worker
// thread that runs the transfer; Cancel, Escape and the close box that abort it and wait for the
// worker's end. A derived class supplies the transfer engine.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "http/TransferTexts.h"
#include "widgets/TemplateDialog.h"

class DownloadDialog : public TemplateDialog {
    Q_OBJECT
public:
    // A derived class calls StopWorker in its own destructor: the worker runs its code.
    ~DownloadDialog() override;

    // Runs the dialog: 1 done, 2 cancelled or refused, 3 failed, (4 see CHttpDownloadDlg).
    int DoModal();

    // The last component of the URL's object, shown in the texts.
    const QString& FileName() const { return m_fileName; }

    // Why the transfer failed, in words (a status, a system error with the path); empty when it
    // did not fail.
    virtual std::string FailureReason() const = 0;

protected:
    explicit DownloadDialog(QWidget* parent);

    // Steps before the dialog shows, the same for every transfer: the overwrite question when
    // the engine asks for one, then the URL (with "http://" put in front when it does not parse
    // as it is), its file name and server on the second line. False ends the run with 2 without
    // showing the dialog.
    bool PrepareDialog();
    // The engine's settings that PrepareDialog works with.
    virtual std::string TransferUrl() const = 0;
    virtual void SetTransferUrl(std::string url) = 0;
    virtual std::string TransferDestination() const = 0;
    // Whether an existing destination is replaced only after asking.
    virtual bool AsksBeforeReplacing() const = 0;
    // The worker thread's body: the transfer, then ReportWorkerEnd with its result.
    virtual void RunTransfer() = 0;
    virtual void AbortTransfer() = 0;
    virtual bool TransferAborted() const = 0;
    // The dialog's result once the worker has ended and the transfer was not aborted.
    virtual int ResultAfterTransfer(bool succeeded) { return succeeded ? 1 : 3; }

    // Asks before `path` is replaced (string 1625); false when the user declines.
    bool ConfirmReplace(const std::string& path);
    // Parses `url` (putting "http://" in front when it does not parse as it is), shows its file
    // name and server on the second line. False when it cannot be parsed.
    bool ShowUrl(std::string& url);

    // Worker side: each report reaches the widgets through a queued signal.
    void ReportWorkerEnd(bool succeeded);
    void ReportProgress(std::uint64_t bytes, bool sizeKnown, std::uint64_t total,
                        std::uint64_t offset);
    void PostStatusText(const std::string& text);
    virtual void SetPercentage(int percent);
    virtual void SetTimeLeft(std::uint64_t seconds, std::uint64_t soFar, std::uint64_t total);
    virtual void SetTransferRate(double bytesPerMs);

    // Aborts an unfinished transfer and joins the worker.
    void StopWorker();

    // Cancel button and Escape: abort and wait for the worker's end.
    void OnCancel();
    void reject() override;
    void OnInitDialog() override;

signals:
    void StatusTextPosted(const QString& text);
    void SizeKnownPosted();
    void PercentagePosted(int percent);
    void TimeLeftPosted(const QString& text);
    void RatePosted(const QString& text);
    void WorkerEnded();

private:
    void StartWorker();
    // The worker thread's body: no exception leaves it.
    void WorkerMain();
    void OnWorkerEnded();
    void ShowStatusLine(const QString& text);
    void ShowPercentage(int percent);

    QString m_fileName;
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_transferSucceeded{false};
    std::thread m_worker;
    TransferMeter m_meter;  // used by the worker only
};
