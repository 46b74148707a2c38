// The modal "File Download" dialog: runs the transfer engine on a worker thread and shows its
// connection steps, percentage, bytes copied, time left and rate; Cancel aborts the transfer.
#pragma once

#include <QString>

#include <cstdint>
#include <functional>
#include <string>

#include "http/DownloadDialog.h"
#include "http/HttpDownloader.h"

class CHttpDownloadDlg : public DownloadDialog, public HttpDownloader {
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

    // DoModal: 1 done, 2 cancelled or refused (after its message), 3 failed without a message,
    // 4 the server answered 404.
    //
    // Set up with the engine's setters (SetUrl, SetDestinationPath, SetCapturedSession, ...);
    // SetFill makes the transfer fetch only the byte ranges a captured copy misses. Afterwards
    // LastFill and FillNote say whether the holes were filled or the whole file was fetched,
    // and why; the status line says so while it runs.

    std::string FailureReason() const override { return HttpDownloader::FailureReason(); }

protected:
    std::string TransferUrl() const override { return Url(); }
    void SetTransferUrl(std::string url) override { SetUrl(std::move(url)); }
    std::string TransferDestination() const override { return DestinationPath(); }
    // A resumed transfer continues the file, a fill completes the copy it starts from: nothing
    // to ask.
    bool AsksBeforeReplacing() const override {
        return ResumeOffset() == 0 && !Filling() && ConfirmOverwrite();
    }
    void RunTransfer() override;
    void AbortTransfer() override { Abort(); }
    bool TransferAborted() const override { return IsAborted(); }
    int ResultAfterTransfer(bool succeeded) override;

    bool OnClientCertificateNeeded() override;
    void OnStatusCallback(unsigned long status, const void* information,
                          unsigned long length) override;
    void OnSystemError(int messageId, unsigned code) override;
    void OnError(int messageId, unsigned code) override;
    bool OnAuthenticationNeeded(unsigned& result) override;
    void SetStatusText(const std::string& text) override { PostStatusText(text); }
    void OnSizeKnown(std::uint64_t size) override;
    void OnProgress(std::uint64_t bytesThisTransfer, bool sizeKnown, std::uint64_t total) override {
        ReportProgress(bytesThisTransfer, sizeKnown, total, BodyOffset());
    }

private:
    std::string m_errorText;  // written by the worker, read after its end
};
