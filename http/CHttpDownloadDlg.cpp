#include "http/CHttpDownloadDlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <optional>
#include <utility>

#include "base/Globals.h"
#include "base/ShowMessage.h"
#include "resources/StringTable.h"

namespace {

QString FromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// The user-name and password dialog shown for a 401 or 407 answer.
bool AskCredentials(QWidget* owner, const CHttpDownloadDlg::CredentialsRequest& request,
                    QString& user, QString& password) {
    QDialog dialog(owner);
    dialog.setWindowTitle(QString::fromLatin1(kProductName));
    auto* layout = new QVBoxLayout(&dialog);
    auto* intro = new QLabel(&dialog);
    intro->setTextFormat(Qt::PlainText);  // the server name comes from the network
    intro->setText((request.proxy
                        ? QStringLiteral("The proxy %1 asks for a user name and password.")
                        : QStringLiteral("The server %1 asks for a user name and password."))
                       .arg(request.server));
    intro->setWordWrap(true);
    layout->addWidget(intro);
    auto* form = new QFormLayout;
    auto* userEdit = new QLineEdit(&dialog);
    auto* passwordEdit = new QLineEdit(&dialog);
    passwordEdit->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("User name:"), userEdit);
    form->addRow(QStringLiteral("Password:"), passwordEdit);
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    user = userEdit->text();
    password = passwordEdit->text();
    return true;
}

CHttpDownloadDlg::CredentialsPrompt& Prompt() {
    static CHttpDownloadDlg::CredentialsPrompt prompt;
    return prompt;
}

}  // namespace

void CHttpDownloadDlg::SetCredentialsPrompt(CredentialsPrompt prompt) {
    Prompt() = std::move(prompt);
}

CHttpDownloadDlg::CHttpDownloadDlg(QWidget* parent) : DownloadDialog(parent) {
    setObjectName(QStringLiteral("CHttpDownloadDlg"));
}

CHttpDownloadDlg::~CHttpDownloadDlg() {
    StopWorker();
}

void CHttpDownloadDlg::RunTransfer() {
    m_errorText.clear();
    ReportWorkerEnd(Download());
}

int CHttpDownloadDlg::ResultAfterTransfer(bool succeeded) {
    if (m_errorText.empty()) {
        // A transfer that failed on the network or the disk is not a finished download.
        return succeeded ? IDOK : 3;
    }
    const std::size_t at = m_errorText.find("Response Code:404");
    if (at != std::string::npos && at > 0)
        return 4;
    ShowMessage(this, kProductName, MB_OK, "%s", m_errorText.c_str());
    return IDCANCEL;
}

bool CHttpDownloadDlg::OnClientCertificateNeeded() {
    return false;
}

void CHttpDownloadDlg::OnStatusCallback(unsigned long status, const void* information,
                                        unsigned long length) {
    int id = 0;
    switch (status) {
        case kStatusResolvingName:
            id = 1602;
            break;
        case kStatusNameResolved:
            id = 1603;
            break;
        case kStatusConnectingToServer:
            id = 1604;
            break;
        case kStatusConnectedToServer:
            id = 1601;
            break;
        case kStatusRedirect:
            id = 1605;
            break;
        default:
            return;
    }
    const char* text = static_cast<const char*>(information);
    const std::size_t size = text ? strnlen(text, length) : 0;
    ShowStatusFormat(id, std::string_view(text ? text : "", size));
}

void CHttpDownloadDlg::OnSystemError(int, unsigned) {}

void CHttpDownloadDlg::OnError(int messageId, unsigned code) {
    HttpDownloader::OnError(messageId, code);
    m_errorText = FormatResourceString(messageId, {std::to_string(code)});
}

bool CHttpDownloadDlg::OnAuthenticationNeeded(unsigned& result) {
    result = kPromptCancelled;
    if (IsAborted())
        return false;
    struct Answer {
        QString user, password;
    };
    auto answer = std::make_shared<std::promise<std::optional<Answer>>>();
    std::future<std::optional<Answer>> future = answer->get_future();
    const CredentialsRequest request{FromUtf8(ParsedUrl().server), LastStatusCode() == 407};
    // The prompt runs on the GUI thread; the worker waits for it without blocking that thread,
    // and gives up when the engine is aborted (also by a dialog torn down early, whose queued
    // call is then dropped).
    QMetaObject::invokeMethod(
        this,
        [this, answer, request] {
            QString user, password;
            const bool ok = Prompt() ? Prompt()(this, request, user, password)
                                     : AskCredentials(this, request, user, password);
            answer->set_value(ok ? std::optional<Answer>(Answer{user, password}) : std::nullopt);
        },
        Qt::QueuedConnection);
    while (future.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if (IsAborted())
            return false;
    }
    const std::optional<Answer> given = future.get();
    if (!given) {
        Abort();
        return false;
    }
    if (!SetCredentials(request.proxy, given->user.toStdString(), given->password.toStdString())) {
        OnError(1608, kErrorNotEnoughMemory);
        return false;
    }
    result = kPromptRetry;
    return true;
}

void CHttpDownloadDlg::OnSizeKnown(std::uint64_t) {
    emit SizeKnownPosted();
}
