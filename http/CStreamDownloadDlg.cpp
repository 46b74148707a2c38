#include "http/CStreamDownloadDlg.h"

#include <QProgressBar>

#include <algorithm>
#include <cmath>

#include "http/TransferTexts.h"
#include "resources/StringTable.h"

namespace {

constexpr int kProgressBar = 1504;
constexpr const char* kTitle = "Downloading Stream";
constexpr const char* kLiveTitle = "Recording Live Stream";

}  // namespace

CStreamDownloadDlg::CStreamDownloadDlg(StreamFetcher& fetcher, std::string url, QWidget* parent)
    : DownloadDialog(parent), m_fetcher(fetcher), m_url(std::move(url)) {
    setObjectName(QStringLiteral("CStreamDownloadDlg"));
    // A live recording has no end to measure against: the bar only shows that it runs.
    connect(
        this, &CStreamDownloadDlg::LiveReported, this,
        [this] {
            setWindowTitle(QString::fromLatin1(kLiveTitle));
            if (auto* bar = ControlAs<QProgressBar>(kProgressBar))
                bar->setRange(0, 0);
        },
        Qt::QueuedConnection);
}

CStreamDownloadDlg::~CStreamDownloadDlg() {
    StopWorker();
}

void CStreamDownloadDlg::OnInitDialog() {
    setWindowTitle(QString::fromLatin1(kTitle));
    DownloadDialog::OnInitDialog();
}

void CStreamDownloadDlg::RunTransfer() {
    m_start = std::chrono::steady_clock::now();
    PostStatusText("Reading the playlist");
    m_fetcher.SetProgressReport([this](const StreamProgress& progress) { Show(progress); });
    const StreamFetcher::Outcome outcome = m_fetcher.Run();
    m_fetcher.SetProgressReport({});  // the fetcher outlives this dialog
    m_outcome = outcome;
    ReportWorkerEnd(outcome == StreamFetcher::Outcome::Complete ||
                    outcome == StreamFetcher::Outcome::Recorded);
}

void CStreamDownloadDlg::Show(const StreamProgress& progress) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - m_start)
                             .count();
    if (elapsed > 0)
        SetTransferRate(static_cast<double>(progress.bytes) / static_cast<double>(elapsed));
    const std::string copied = SizeText(progress.bytes);
    if (progress.live) {
        if (!m_liveShown) {
            m_liveShown = true;
            emit LiveReported();
        }
        PostStatusText("Live stream: " + std::to_string(progress.segmentsDone) +
                       (progress.segmentsDone == 1 ? " segment" : " segments") + " recorded");
        const std::string recorded =
            TimeLeftText(static_cast<std::uint64_t>(std::max(0.0, std::floor(progress.seconds))));
        emit TimeLeftPosted(
            QString::fromStdString(FormatResourceString(1622, {recorded + " recorded", copied})));
        return;
    }
    if (progress.segmentsTotal == 0)
        return;  // the playlist is still being read
    if (!m_sizeShown) {
        m_sizeShown = true;
        emit SizeKnownPosted();
    }
    PostStatusText("Segment " +
                   std::to_string(std::min(progress.segmentsDone + 1, progress.segmentsTotal)) +
                   " of " + std::to_string(progress.segmentsTotal));
    SetPercentage(static_cast<int>(progress.segmentsDone * 100 / progress.segmentsTotal));
    if (progress.segmentsDone > 0 && elapsed > 0) {
        const std::uint64_t left = static_cast<std::uint64_t>(elapsed) *
                                   (progress.segmentsTotal - progress.segmentsDone) /
                                   progress.segmentsDone / 1000;
        emit TimeLeftPosted(
            QString::fromStdString(FormatResourceString(1622, {TimeLeftText(left), copied})));
    }
}
