// The main window's Preview and Download: play a listed item, or fetch it again and extract its
// sound into an MP3 file. Everything here runs on the GUI thread; each dialog shown is modal.
#include <cerrno>
#include <memory>
#include <string>

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/ShowMessage.h"
#include "base/Text.h"
#include "helper/CaptureHelperClient.h"
#include "window/SniffedMediaList.h"
#include "converter/ConversionJobs.h"
#include "converter/ConverterOutput.h"
#include "converter/TavrelImportProgressDlg.h"
#include "frames/FrameDecoder.h"
#include "http/CHttpDownloadDlg.h"
#include "http/CYouTubeDownloadDlg.h"
#include "window/SniffedMediaList.h"
#include "window/TavrelSnifferWindow.h"
#include "window/WorkFiles.h"

namespace {

// The download dialog's result when the transfer failed (CHttpDownloadDlg: 4 for a 404).
constexpr int kDownloadFailed = 3;
constexpr int kDownloadNotFound = 4;

// Every capture session drops its next sighting of `url`, so that the program's own request
// for it is not listed as a new find.
void IgnoreOwnRequest(const std::string& url) {
    const std::string withoutScheme = WithoutHttpScheme(url);
    for (HelperSession* session : g_captureSessions) session->IgnoreUrl(withoutScheme, 1);
}

void Tell(QWidget* owner, const std::string& text, const std::string& details = {}) {
    ShowMessageWithDetails(owner, kProductName, MB_OK, QString::fromStdString(text),
                           QString::fromStdString(details));
}

}  // namespace

void TavrelSnifferWindow::OnPreview() {
    const int index = m_mediaList->SelectedRecord();
    if (index != -1)
        PreviewMedia(index);
}

void TavrelSnifferWindow::OnDownload() {
    const int index = m_mediaList->SelectedRecord();
    if (index != -1)
        DownloadAndImport(index);
}

void TavrelSnifferWindow::PreviewMedia(int index) {
    const std::optional<SniffedMedia> record = m_mediaList->Record(index);
    if (!record)
        return;
    IgnoreOwnRequest(record->url);
    PlayMedia(nullptr, record->url);
}

void TavrelSnifferWindow::DownloadAndImport(int index) {
    const std::optional<SniffedMedia> record = m_mediaList->Record(index);
    if (!record)
        return;
    const std::string output = AskSavePath(this, "MP3");
    if (output.empty())
        return;
    // Records that arrive during the modal dialogs shift every index: the status images go to
    // the record by its number, which stays.
    const int number = record->number;

    const std::string url(Trim(record->url));
    const WorkFiles files = MakeWorkFiles(g_tempDir, index, record->size, record->type);
    if (!WriteTextFile(files.urlNote, url)) {
        const int error = errno;
        Tell(this, WorkFileFailureText(files.urlNote, error));
        return;
    }
    const QString detail = QStringLiteral("Saving to \"%1\"").arg(QString::fromStdString(output));
    const bool isMp3 = record->type == "MP3";
    const std::string destination = isMp3 ? output : files.media;

    std::unique_ptr<DownloadDialog> dialog;
    if (record->siteFlag != 0) {
        auto replay = std::make_unique<CYouTubeDownloadDlg>();
        replay->SetUrl(url);
        // Where the captured request went, and nowhere else.
        replay->SetServer(
            record->serverPort != 0 ? AddressText(record->serverAddress) : std::string(),
            record->serverPort);
        replay->SetRequestHeaders(record->requestHeaders);
        replay->SetDestinationPath(destination);
        replay->SetExpectedSize(record->size);
        replay->SetConfirmOverwrite(false);
        dialog = std::move(replay);
    } else {
        auto http = std::make_unique<CHttpDownloadDlg>();
        http->SetUrl(url);
        http->SetDestinationPath(destination);
        http->SetUserAgent(kBrowserUserAgent);
        http->SetExpectedSize(record->size);
        http->SetConfirmOverwrite(false);
        dialog = std::move(http);
    }
    IgnoreOwnRequest(url);
    m_mediaList->SetStatusImageOfNumber(number, SniffedMediaList::kDownloading);
    const int result = dialog->DoModal();
    const std::string failure = dialog->FailureReason();
    dialog.reset();

    if (result == IDCANCEL) {
        m_mediaList->SetStatusImageOfNumber(number, SniffedMediaList::kNotDownloaded);
        Tell(this, "Video Download canceled.");
        return;
    }
    // A failed transfer, or one that left nothing, is not a download: there is nothing to
    // convert, and an MP3 record has no file at its path.
    if (result == kDownloadFailed || result == kDownloadNotFound ||
        !FileExistsNonEmpty(destination)) {
        m_mediaList->SetStatusImageOfNumber(number, SniffedMediaList::kNotDownloaded);
        Tell(this, "Video Download failed.",
             failure.empty() ? std::string("Nothing arrived.") : failure);
        return;
    }
    m_mediaList->SetStatusImageOfNumber(number, SniffedMediaList::kDownloaded);
    if (isMp3)
        return;

    auto progress = std::make_unique<TavrelImportProgressDlg>(
        QStringLiteral("Extracting Audio From Video"), QStringLiteral("Importing:"), detail,
        files.script, files.media, output, g_ffmpegAudioOptions);
    const int converted = progress->exec();
    const std::string workFileFailure = progress->FailureText();
    progress.reset();
    if (converted == TavrelImportProgressDlg::kCancelled) {
        Tell(this, "Video Import canceled.");
        return;
    }
    if (converted == TavrelImportProgressDlg::kConverted && FileExistsNonEmpty(output))
        return;
    if (!workFileFailure.empty()) {
        Tell(this, workFileFailure);
        return;
    }
    ReportConversionFailure(this);
}
