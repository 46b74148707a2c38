// The modal "File Download" dialog: runs the transfer engine on a worker thread and shows its
// connection steps, percentage, bytes copied, time left and rate; Cancel aborts the transfer.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "http/HttpDownloader.h"
#include "http/TransferTexts.h"
#include "resources/TemplateDialog.h"

class CHttpDownloadDlg : public TemplateDialog, public HttpDownloader {
    Q_OBJECT
public:
    // What the credential prompt is asked for: the server (or proxy) that answered 401/407.
    struct CredentialsRequest {
        QString server;
        bool proxy = false;
    };
    // Shows the prompt; true with `user` and `password` filled in means "try again with these".
    using CredentialsPrompt = std::function<bool(QWidget* owner, const CredentialsRequest& request,
                                                 QString& user, QString& password)>;
    // Replaces the user-name/password dialog (for tests and scripted runs); an empty prompt
    // restores the dialog.
    static void SetCredentialsPrompt(CredentialsPrompt prompt);

    explicit CHttpDownloadDlg(QWidget* parent = nullptr);
    ~CHttpDownloadDlg() override;

    // Runs the dialog: 1 done, 2 cancelled or refused (after its message), 3 failed without
    // a message, 4 the server answered 404.
    int DoModal();

    // The last component of the URL's object, shown in the texts.
    const QString& FileName() const { return m_fileName; }

protected:
    // Steps before the dialog shows: overwrite question, URL, file name and second line.
    // False ends the dialog with 2 without showing it.
    virtual bool PrepareDialog();
    // On first show: the animation starts and the worker is started once the run has begun.
    void OnInitDialog() override;
    // The worker thread's body: the transfer, then ReportWorkerEnd with its result.
    virtual void RunTransfer();
    // Called last on the worker thread: hands the transfer's result to the GUI thread, whose
    // handler ends the dialog.
    void ReportWorkerEnd(bool succeeded);
    virtual void SetPercentage(int percent);
    virtual void SetTimeLeft(std::uint64_t seconds, std::uint64_t soFar, std::uint64_t total);
    virtual void SetTransferRate(double bytesPerMs);

    // Cancel button and Escape: abort and wait for the worker's end.
    void OnCancel();
    void reject() override;

    bool OnClientCertificateNeeded() override;
    void OnStatusCallback(unsigned long status, const void* information,
                          unsigned long length) override;
    void OnSystemError(int messageId, unsigned code) override;
    void OnError(int messageId, unsigned code) override;
    bool OnAuthenticationNeeded(unsigned& result) override;
    void SetStatusText(const std::string& text) override;
    void OnSizeKnown(std::uint64_t size) override;
    void OnProgress(std::uint64_t bytesThisTransfer, bool sizeKnown, std::uint64_t total) override;

signals:
    // Reports of the worker thread, delivered to the widgets on the GUI thread.
    void StatusTextPosted(const QString& text);
    void SizeKnownPosted();
    void PercentagePosted(int percent);
    void TimeLeftPosted(const QString& text);
    void RatePosted(const QString& text);
    void WorkerEnded();

private:
    void StartWorker();
    void OnWorkerEnded();
    void ShowStatusLine(const QString& text);
    void ShowPercentage(int percent);

    QString m_fileName;
    std::string m_errorText;  // written by the worker, read after its end
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_downloadSucceeded{false};
    std::thread m_worker;
    TransferMeter m_meter;  // used by the worker only
};
