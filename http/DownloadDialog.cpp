#include "http/DownloadDialog.h"

#include <QLabel>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <sys/stat.h>

#include <chrono>
#include <system_error>

#include "base/Globals.h"
#include "base/ShowMessage.h"
#include "http/HttpDownloader.h"
#include "resources/StringTable.h"

namespace {

constexpr int kAnimation = 1501;
constexpr int kStatusLine = 1502;
constexpr int kSecondLine = 1503;
constexpr int kProgressBar = 1504;
constexpr int kTimeLeft = 1505;
constexpr int kRate = 1506;
constexpr int kCancel = 2;
constexpr int kAbortingText = 1627;

QString Text(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

DownloadDialog::DownloadDialog(QWidget* parent) : TemplateDialog(IDD_HTTP_DOWNLOAD, parent) {
    connect(this, &DownloadDialog::StatusTextPosted, this, &DownloadDialog::ShowStatusLine,
            Qt::QueuedConnection);
    connect(
        this, &DownloadDialog::SizeKnownPosted, this,
        [this] {
            if (auto* bar = ControlAs<QProgressBar>(kProgressBar))
                bar->setRange(0, 100);
        },
        Qt::QueuedConnection);
    connect(this, &DownloadDialog::PercentagePosted, this, &DownloadDialog::ShowPercentage,
            Qt::QueuedConnection);
    connect(
        this, &DownloadDialog::TimeLeftPosted, this,
        [this](const QString& text) {
            if (auto* label = ControlAs<QLabel>(kTimeLeft))
                label->setText(text);
        },
        Qt::QueuedConnection);
    connect(
        this, &DownloadDialog::RatePosted, this,
        [this](const QString& text) {
            if (auto* label = ControlAs<QLabel>(kRate))
                label->setText(text);
        },
        Qt::QueuedConnection);
    connect(this, &DownloadDialog::WorkerEnded, this, &DownloadDialog::OnWorkerEnded,
            Qt::QueuedConnection);
    if (auto* cancel = ControlAs<QPushButton>(kCancel)) {
        connect(cancel, &QPushButton::clicked, this, &DownloadDialog::OnCancel);
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

DownloadDialog::~DownloadDialog() {
    // The derived class has stopped the worker already; this only catches a forgotten one.
    if (m_worker.joinable())
        m_worker.join();
}

void DownloadDialog::StopWorker() {
    if (m_worker.joinable()) {
        // Normally the worker has ended before the dialog does; a dialog torn down early
        // must not leave a transfer writing into a destroyed object.
        if (!m_finished)
            AbortTransfer();
        m_worker.join();
    }
}

int DownloadDialog::DoModal() {
    m_meter = TransferMeter();
    if (!PrepareDialog())
        return IDCANCEL;
    return exec();
}

bool DownloadDialog::PrepareDialog() {
    if (AsksBeforeReplacing() && !ConfirmReplace(TransferDestination()))
        return false;
    std::string url = TransferUrl();
    if (!ShowUrl(url))
        return false;
    SetTransferUrl(url);
    return true;
}

bool DownloadDialog::ConfirmReplace(const std::string& path) {
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0)
        return true;
    const std::string question = FormatResourceString(1625, {path});
    return ShowMessage(parentWidget(), kProductName, MB_YESNO, "%s", question.c_str()) == IDYES;
}

bool DownloadDialog::ShowUrl(std::string& url) {
    HttpUrlParts parts;
    if (!ParseHttpUrl(url, parts)) {
        url = "http://" + url;
        if (!ParseHttpUrl(url, parts))
            return false;
    }
    m_fileName = Text(FileNameFromObject(parts.object));
    if (auto* second = ControlAs<QLabel>(kSecondLine)) {
        second->setText(Text(FormatResourceString(1600, {m_fileName.toStdString(), parts.server})));
    }
    return true;
}

void DownloadDialog::OnInitDialog() {
    if (auto* label = ControlAs<QLabel>(kAnimation); label && label->movie()) {
        label->movie()->jumpToFrame(0);
        label->movie()->start();
    }
    // Started from the running event loop, so that even a failure to start can end the run.
    QTimer::singleShot(0, this, &DownloadDialog::StartWorker);
}

void DownloadDialog::StartWorker() {
    try {
        m_worker = std::thread([this] { WorkerMain(); });
    } catch (const std::system_error&) {
        done(IDCANCEL);
    }
}

void DownloadDialog::WorkerMain() {
    try {
        RunTransfer();
        return;
    } catch (...) {
    }
    // The transfer threw (an allocation failure, say): it failed, and the dialog still ends.
    try {
        ReportWorkerEnd(false);
    } catch (...) {
    }
}

void DownloadDialog::ReportWorkerEnd(bool succeeded) {
    m_transferSucceeded = succeeded;
    emit WorkerEnded();
}

void DownloadDialog::OnWorkerEnded() {
    m_finished = true;
    if (auto* label = ControlAs<QLabel>(kAnimation); label && label->movie())
        label->movie()->stop();
    done(TransferAborted() ? IDCANCEL : ResultAfterTransfer(m_transferSucceeded));
}

void DownloadDialog::OnCancel() {
    AbortTransfer();
    if (auto* cancel = ControlAs<QPushButton>(kCancel))
        cancel->setEnabled(false);
    PostStatusText(std::string(LoadResourceString(kAbortingText)));
}

void DownloadDialog::reject() {
    if (m_finished) {
        done(IDCANCEL);
        return;
    }
    OnCancel();  // the dialog stays until the worker has ended
}

void DownloadDialog::PostStatusText(const std::string& text) {
    emit StatusTextPosted(Text(text));
}

void DownloadDialog::ShowStatusLine(const QString& text) {
    // Once the transfer is being aborted, reports still queued from the worker do not
    // replace "Aborting transfer".
    if (TransferAborted() && text != QString::fromLatin1(LoadResourceString(kAbortingText)))
        return;
    if (auto* label = ControlAs<QLabel>(kStatusLine))
        label->setText(text);
}

void DownloadDialog::ShowPercentage(int percent) {
    if (auto* bar = ControlAs<QProgressBar>(kProgressBar))
        bar->setValue(percent);
    setWindowTitle(
        Text(FormatResourceString(1613, {std::to_string(percent), m_fileName.toStdString()})));
}

void DownloadDialog::ReportProgress(std::uint64_t bytes, bool sizeKnown, std::uint64_t total,
                                    std::uint64_t offset) {
    const TransferMeter::Update update = m_meter.Report(bytes, sizeKnown, total, offset, NowMs());
    if (update.percentage)
        SetPercentage(*update.percentage);
    if (update.rate)
        SetTransferRate(*update.rate);
    if (update.timeLeft) {
        SetTimeLeft(update.timeLeft->seconds, update.timeLeft->soFar, update.timeLeft->total);
    }
}

void DownloadDialog::SetPercentage(int percent) {
    emit PercentagePosted(percent);
}

void DownloadDialog::SetTimeLeft(std::uint64_t seconds, std::uint64_t soFar, std::uint64_t total) {
    emit TimeLeftPosted(Text(TimeLeftAndCopiedText(seconds, soFar, total)));
}

void DownloadDialog::SetTransferRate(double bytesPerMs) {
    emit RatePosted(Text(TransferRateText(bytesPerMs)));
}
