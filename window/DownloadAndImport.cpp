// The main window's Preview and Download: play a listed item, or fetch it again and extract its
// sound into an MP3 file. Everything here runs on the GUI thread; each dialog shown is modal.
#include <memory>
#include <string>

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/ShowMessage.h"
#include "helper/CaptureHelperClient.h"
#include "window/SniffedMediaList.h"
#include "converter/ConversionJobs.h"
#include "converter/ConverterOutput.h"
#include "converter/TavrelImportProgressDlg.h"
#include "http/CHttpDownloadDlg.h"
#include "http/CYouTubeDownloadDlg.h"
#include "window/TavrelSnifferWindow.h"
#include "window/WorkFiles.h"

namespace {

constexpr const char* kUserAgent =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; GTB5; .NET CLR 1.1.4322)";

// The download dialog's result when the transfer failed (CHttpDownloadDlg: 4 for a 404).
constexpr int kDownloadFailed = 3;
constexpr int kDownloadNotFound = 4;

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Every capture session drops its next sighting of `url`, so that the program's own request
// for it is not listed as a new find.
void IgnoreOwnRequest(const std::string& url) {
    std::string withoutScheme = url;
    for (std::size_t at; (at = withoutScheme.find("http://")) != std::string::npos;)
        withoutScheme.erase(at, 7);
    for (HelperSession* session : g_captureSessions) session->IgnoreUrl(withoutScheme, 1);
}

void Tell(QWidget* owner, const char* text) {
    ShowMessage(owner, kProductName, MB_OK, "%s", text);
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

    const std::string url = Trimmed(record->url);
    const WorkFiles files = MakeWorkFiles(g_tempDir, index, record->size, record->type);
    WriteTextFile(files.urlNote, url);
    const QString detail = QStringLiteral("Saving to \"%1\"").arg(QString::fromStdString(output));
    const bool isMp3 = record->type == "MP3";
    const std::string destination = isMp3 ? output : files.media;

    std::unique_ptr<DownloadDialog> dialog;
    if (record->siteFlag != 0) {
        auto replay = std::make_unique<CYouTubeDownloadDlg>();
        replay->SetUrl(url);
        replay->SetRequestHeaders(record->requestHeaders);
        replay->SetDestinationPath(destination);
        replay->SetExpectedSize(record->size);
        replay->SetConfirmOverwrite(false);
        dialog = std::move(replay);
    } else {
        auto http = std::make_unique<CHttpDownloadDlg>();
        http->SetUrl(url);
        http->SetDestinationPath(destination);
        http->SetUserAgent(kUserAgent);
        http->SetConfirmOverwrite(false);
        dialog = std::move(http);
    }
    IgnoreOwnRequest(url);
    m_mediaList->SetStatusImage(index, SniffedMediaList::kDownloading);
    const int result = dialog->DoModal();
    dialog.reset();

    if (result == IDCANCEL) {
        m_mediaList->SetStatusImage(index, SniffedMediaList::kNotDownloaded);
        Tell(this, "Video Download canceled.");
        return;
    }
    // A failed transfer, or one that left nothing, is not a download: there is nothing to
    // convert, and an MP3 record has no file at its path.
    if (result == kDownloadFailed || result == kDownloadNotFound ||
        !FileExistsNonEmpty(destination)) {
        m_mediaList->SetStatusImage(index, SniffedMediaList::kNotDownloaded);
        Tell(this, "Video Download failed.");
        return;
    }
    m_mediaList->SetStatusImage(index, SniffedMediaList::kDownloaded);
    if (isMp3)
        return;

    auto progress = std::make_unique<TavrelImportProgressDlg>(
        QStringLiteral("Extracting Audio From Video"), QStringLiteral("Importing:"), detail,
        files.script, files.media, output, g_ffmpegAudioOptions);
    const int converted = progress->exec();
    progress.reset();
    if (converted == 0) {
        Tell(this, "Video Import canceled.");
        return;
    }
    if (!FileExistsNonEmpty(output))
        ReportConversionFailure(this);
}
