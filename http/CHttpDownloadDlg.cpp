#include "http/CHttpDownloadDlg.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <sys/stat.h>

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

constexpr int kAnimation = 1501;
constexpr int kStatusLine = 1502;
constexpr int kSecondLine = 1503;
constexpr int kProgressBar = 1504;
constexpr int kTimeLeft = 1505;
constexpr int kRate = 1506;
constexpr int kCancel = 2;

QString Text(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
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

CHttpDownloadDlg::CHttpDownloadDlg(QWidget* parent) : TemplateDialog(IDD_HTTP_DOWNLOAD, parent) {
    setObjectName(QStringLiteral("CHttpDownloadDlg"));
    connect(this, &CHttpDownloadDlg::StatusTextPosted, this, &CHttpDownloadDlg::ShowStatusLine,
            Qt::QueuedConnection);
    connect(
        this, &CHttpDownloadDlg::SizeKnownPosted, this,
        [this] {
            if (auto* bar = ControlAs<QProgressBar>(kProgressBar))
                bar->setRange(0, 100);
        },
        Qt::QueuedConnection);
    connect(this, &CHttpDownloadDlg::PercentagePosted, this, &CHttpDownloadDlg::ShowPercentage,
            Qt::QueuedConnection);
    connect(
        this, &CHttpDownloadDlg::TimeLeftPosted, this,
        [this](const QString& text) {
            if (auto* label = ControlAs<QLabel>(kTimeLeft))
                label->setText(text);
        },
        Qt::QueuedConnection);
    connect(
        this, &CHttpDownloadDlg::RatePosted, this,
        [this](const QString& text) {
            if (auto* label = ControlAs<QLabel>(kRate))
                label->setText(text);
        },
        Qt::QueuedConnection);
    connect(this, &CHttpDownloadDlg::WorkerEnded, this, &CHttpDownloadDlg::OnWorkerEnded,
            Qt::QueuedConnection);
    if (auto* cancel = ControlAs<QPushButton>(kCancel)) {
        connect(cancel, &QPushButton::clicked, this, &CHttpDownloadDlg::OnCancel);
    }
    if (auto* label = ControlAs<QLabel>(kAnimation); label && label->movie()) {
        // The clip repeats until the worker's end stops it.
        QMovie* movie = label->movie();
        connect(movie, &QMovie::finished, this, [this, movie] {
            if (!m_finished)
                movie->start();
        });
    }
}

CHttpDownloadDlg::~CHttpDownloadDlg() {
    if (m_worker.joinable()) {
        // Normally the worker has ended before the dialog does; a dialog torn down early
        // must not leave a transfer writing into a destroyed object.
        if (!m_finished)
            Abort();
        m_worker.join();
    }
}

int CHttpDownloadDlg::DoModal() {
    if (!PrepareDialog())
        return IDCANCEL;
    return exec();
}

bool CHttpDownloadDlg::PrepareDialog() {
    m_errorText.clear();
    m_meter = TransferMeter();

    struct stat st {};
    if (!DestinationPath().empty() && stat(DestinationPath().c_str(), &st) == 0 &&
        ResumeOffset() == 0 && ConfirmOverwrite()) {
        const std::string question = FormatResourceString(1625, {DestinationPath()});
        if (ShowMessage(parentWidget(), kProductName, MB_YESNO, "%s", question.c_str()) != IDYES) {
            return false;
        }
    }

    HttpUrlParts parts;
    if (!ParseHttpUrl(Url(), parts)) {
        SetUrl("http://" + Url());
        if (!ParseHttpUrl(Url(), parts))
            return false;
    }
    m_fileName = Text(FileNameFromObject(parts.object));
    if (auto* second = ControlAs<QLabel>(kSecondLine)) {
        second->setText(Text(FormatResourceString(1600, {m_fileName.toStdString(), parts.server})));
    }
    return true;
}

void CHttpDownloadDlg::OnInitDialog() {
    if (auto* label = ControlAs<QLabel>(kAnimation); label && label->movie()) {
        label->movie()->jumpToFrame(0);
        label->movie()->start();
    }
    // Started from the running event loop, so that even a failure to start can end the run.
    QTimer::singleShot(0, this, &CHttpDownloadDlg::StartWorker);
}

void CHttpDownloadDlg::StartWorker() {
    try {
        m_worker = std::thread([this] { RunTransfer(); });
    } catch (const std::system_error&) {
        done(IDCANCEL);
    }
}

void CHttpDownloadDlg::RunTransfer() {
    ReportWorkerEnd(Download());
}

void CHttpDownloadDlg::ReportWorkerEnd(bool succeeded) {
    m_downloadSucceeded = succeeded;
    emit WorkerEnded();
}

void CHttpDownloadDlg::OnWorkerEnded() {
    m_finished = true;
    if (auto* label = ControlAs<QLabel>(kAnimation); label && label->movie())
        label->movie()->stop();
    if (IsAborted()) {
        done(IDCANCEL);
        return;
    }
    if (m_errorText.empty()) {
        // A transfer that failed on the network or the disk is not a finished download.
        done(m_downloadSucceeded ? IDOK : 3);
        return;
    }
    const std::size_t at = m_errorText.find("Response Code:404");
    if (at != std::string::npos && at > 0) {
        done(4);
        return;
    }
    ShowMessage(this, kProductName, MB_OK, "%s", m_errorText.c_str());
    done(IDCANCEL);
}

void CHttpDownloadDlg::OnCancel() {
    Abort();
    if (auto* cancel = ControlAs<QPushButton>(kCancel))
        cancel->setEnabled(false);
    ShowStatus(1627);
}

void CHttpDownloadDlg::reject() {
    if (m_finished) {
        done(IDCANCEL);
        return;
    }
    OnCancel();  // the dialog stays until the worker has ended
}

void CHttpDownloadDlg::ShowStatusLine(const QString& text) {
    // Once the transfer is being aborted, reports still queued from the worker do not
    // replace "Aborting transfer".
    if (IsAborted() && text != QString::fromLatin1(LoadResourceString(1627)))
        return;
    if (auto* label = ControlAs<QLabel>(kStatusLine))
        label->setText(text);
}

void CHttpDownloadDlg::ShowPercentage(int percent) {
    if (auto* bar = ControlAs<QProgressBar>(kProgressBar))
        bar->setValue(percent);
    setWindowTitle(
        Text(FormatResourceString(1613, {std::to_string(percent), m_fileName.toStdString()})));
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
    const CredentialsRequest request{Text(ParsedUrl().server), LastStatusCode() == 407};
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

void CHttpDownloadDlg::SetStatusText(const std::string& text) {
    emit StatusTextPosted(Text(text));
}

void CHttpDownloadDlg::OnSizeKnown(std::uint64_t) {
    emit SizeKnownPosted();
}

void CHttpDownloadDlg::OnProgress(std::uint64_t bytesThisTransfer, bool sizeKnown,
                                  std::uint64_t total) {
    const TransferMeter::Update update =
        m_meter.Report(bytesThisTransfer, sizeKnown, total, BodyOffset(), NowMs());
    if (update.percentage)
        SetPercentage(*update.percentage);
    if (update.rate)
        SetTransferRate(*update.rate);
    if (update.timeLeft) {
        SetTimeLeft(update.timeLeft->seconds, update.timeLeft->soFar, update.timeLeft->total);
    }
}

void CHttpDownloadDlg::SetPercentage(int percent) {
    emit PercentagePosted(percent);
}

void CHttpDownloadDlg::SetTimeLeft(std::uint64_t seconds, std::uint64_t soFar,
                                   std::uint64_t total) {
    emit TimeLeftPosted(Text(TimeLeftAndCopiedText(seconds, soFar, total)));
}

void CHttpDownloadDlg::SetTransferRate(double bytesPerMs) {
    emit RatePosted(Text(TransferRateText(bytesPerMs)));
}
