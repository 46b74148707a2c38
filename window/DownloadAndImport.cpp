// The main window's Preview and Download: play a listed item, or fetch it again and extract its
// sound into an MP3 file. Everything here runs on the GUI thread; each dialog shown is modal.
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/ShowMessage.h"
#include "base/Text.h"
#include "converter/ConversionJobs.h"
#include "converter/ConverterOutput.h"
#include "converter/TavrelImportProgressDlg.h"
#include "frames/FrameDecoder.h"
#include "helper/CaptureHelperClient.h"
#include "http/CHttpDownloadDlg.h"
#include "http/CYouTubeDownloadDlg.h"
#include "http/RefetchHeaders.h"
#include "mediarules/Playlist.h"
#include "window/PreviewHeaders.h"
#include "window/SniffedMediaList.h"
#include "window/TavrelSnifferWindow.h"
#include "window/WorkFiles.h"

namespace {

// The download dialog's result when the transfer failed (CHttpDownloadDlg: 4 for a 404).
constexpr int kDownloadFailed = 3;
constexpr int kDownloadNotFound = 4;

constexpr std::string_view kSecureScheme = "https://";

bool IsSecure(std::string_view url) {
    return StartsWithNoCase(url, kSecureScheme);
}

bool IsStream(const SniffedMedia& record) {
    return record.kind == "hls" || record.kind == "dash";
}

// Every capture session drops its next sighting of `url`, so that the program's own request
// for it is not listed as a new find. Sessions know URLs without their scheme.
void IgnoreOwnRequest(const std::string& url) {
    std::string withoutScheme = url;
    if (IsSecure(withoutScheme))
        withoutScheme.erase(0, kSecureScheme.size());
    withoutScheme = WithoutHttpScheme(std::move(withoutScheme));
    for (HelperSession* session : g_captureSessions) session->IgnoreUrl(withoutScheme, 1);
}

// The extra certificate authorities the transfers trust (setting TlsCaFile); empty for none.
std::string ExtraAuthorityFile() {
    return ReadSettingString(g_settingsFile, kProductName, "TlsCaFile", "");
}

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

void Tell(QWidget* owner, const std::string& text, const std::string& details = {}) {
    ShowMessageWithDetails(owner, kProductName, MB_OK, QString::fromStdString(text),
                           QString::fromStdString(details));
}

// Extracts the sound of the downloaded `files.media` into `output` through the conversion
// dialog, and tells the user when that fails.
void ExtractAudio(QWidget* owner, const WorkFiles& files, const std::string& output,
                  const QString& detail) {
    auto progress = std::make_unique<TavrelImportProgressDlg>(
        QStringLiteral("Extracting Audio From Video"), QStringLiteral("Importing:"), detail,
        files.script, files.media, output, g_ffmpegAudioOptions);
    progress->SetInputType(files.type);
    const int converted = progress->exec();
    const std::string workFileFailure = progress->FailureText();
    const std::string ending = progress->EndingText();
    progress.reset();
    if (converted == TavrelImportProgressDlg::kCancelled) {
        Tell(owner, "Video Import canceled.");
        return;
    }
    if (converted == TavrelImportProgressDlg::kConverted && FileExistsNonEmpty(output))
        return;
    if (!workFileFailure.empty()) {
        Tell(owner, workFileFailure);
        return;
    }
    ReportConversionFailure(owner, ending);
}

constexpr const char* kDrmRefusal =
    "This stream is DRM-protected: DRM-protected streams cannot be saved.";

// The protocols the converter may use for a stream: a playlist from the network names no local
// file and no other scheme.
constexpr const char* kStreamProtocols = "http,https,tcp,tls,crypto,httpproxy";

// Downloads a listed HLS or DASH stream: the converter copies the best variant's streams into an
// MP4 (the chosen file when it ends in .mp4), then the sound goes into the chosen MP3 as for any
// video.
void DownloadStream(QWidget* owner, SniffedMediaList& list, const SniffedMedia& record, int index) {
    if (record.detail.find(kDrmNote) != std::string::npos) {
        Tell(owner, kDrmRefusal);
        return;
    }
    const std::string output = AskSavePath(owner, "MP3");
    if (output.empty())
        return;
    const int number = record.number;
    const std::string source(Trim(record.variantUrl.empty() ? record.url : record.variantUrl));
    const WorkFiles files = MakeWorkFiles(g_tempDir, index, record.size, "mp4");
    if (!WriteTextFile(files.urlNote, source)) {
        const int error = errno;
        Tell(owner, WorkFileFailureText(files.urlNote, error));
        return;
    }
    const bool wantMp4 = EndsWithNoCase(output, ".mp4");
    const std::string copy = wantMp4 ? output : files.media;
    const QString detail = QStringLiteral("Saving to \"%1\"").arg(QString::fromStdString(output));

    // The reader is named (the URL need not end as a playlist's name does); its own options are
    // only given to it.
    const bool hls = record.kind == "hls";
    std::vector<std::string> input = {"-protocol_whitelist", kStreamProtocols, "-f",
                                      hls ? "hls" : "dash"};
    const std::string headers = ConverterHeaders(ChooseRefetchHeaders(record.requestHeaders));
    if (!headers.empty())
        input.insert(input.end(), {"-headers", headers});
    if (hls && ConverterHasExtensionPicky())
        input.insert(input.end(), {"-extension_picky", "0"});

    IgnoreOwnRequest(source);
    list.SetStatusImageOfNumber(number, SniffedMediaList::kDownloading);
    auto progress = std::make_unique<TavrelImportProgressDlg>(
        QStringLiteral("Downloading Stream"), QStringLiteral("Downloading:"), detail, files.script,
        source, copy, "-c copy -f mp4");
    progress->SetInputArguments(std::move(input));
    progress->SetKnownDuration(record.durationSeconds);
    const int copied = progress->exec();
    const std::string workFileFailure = progress->FailureText();
    progress.reset();
    if (copied == TavrelImportProgressDlg::kCancelled) {
        list.SetStatusImageOfNumber(number, SniffedMediaList::kNotDownloaded);
        Tell(owner, "Video Download canceled.");
        return;
    }
    if (copied != TavrelImportProgressDlg::kConverted || !FileExistsNonEmpty(copy)) {
        list.SetStatusImageOfNumber(number, SniffedMediaList::kNotDownloaded);
        if (!workFileFailure.empty())
            Tell(owner, workFileFailure);
        else
            ReportConversionFailure(owner);
        return;
    }
    list.SetStatusImageOfNumber(number, SniffedMediaList::kDownloaded);
    if (!wantMp4)
        ExtractAudio(owner, files, output, detail);
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
    const std::string url(Trim(record->url));
    if (IsStream(*record) && record->detail.find(kDrmNote) != std::string::npos) {
        Tell(this, kDrmRefusal);
        return;
    }
    IgnoreOwnRequest(url);
    PlayMedia(nullptr, url, PreviewHeaders(url, record->requestHeaders, IsStream(*record)));
}

void TavrelSnifferWindow::DownloadAndImport(int index) {
    const std::optional<SniffedMedia> record = m_mediaList->Record(index);
    if (!record)
        return;
    if (IsStream(*record)) {
        DownloadStream(this, *m_mediaList, *record, index);
        return;
    }
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
    // An entry the list calls MP3 goes to the chosen file as it is only when the bytes fetched
    // are MP3: the type is what a server called the body ("video/mp3" can hold an MP4), and the
    // bytes fetched now need not be those captured. So the download goes to the work folder
    // first, and its first bytes decide.
    const bool mp3Type = EqualsNoCase(record->type, "MP3");
    const std::string destination = files.media;

    std::unique_ptr<DownloadDialog> dialog;
    if (IsSecure(url)) {
        // The transfer engine verifies the server; the captured session's headers go along, the
        // captured range does not: the whole file is asked for.
        const RefetchHeaders captured = ChooseRefetchHeaders(record->requestHeaders);
        auto http = std::make_unique<CHttpDownloadDlg>();
        http->SetUrl(url);
        http->SetDestinationPath(destination);
        http->SetUserAgent(captured.userAgent.empty() ? std::string(kBrowserUserAgent)
                                                      : captured.userAgent);
        http->SetExtraHeaderLines(TransferHeaderLines(captured));
        http->SetExtraAuthorityFile(ExtraAuthorityFile());
        http->SetExpectedSize(record->size);
        http->SetConfirmOverwrite(false);
        dialog = std::move(http);
    } else if (record->siteFlag != 0) {
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
    // convert, and nothing goes to the chosen file.
    if (result == kDownloadFailed || result == kDownloadNotFound ||
        !FileExistsNonEmpty(destination)) {
        m_mediaList->SetStatusImageOfNumber(number, SniffedMediaList::kNotDownloaded);
        Tell(this, "Video Download failed.",
             failure.empty() ? std::string("Nothing arrived.") : failure);
        return;
    }
    if (mp3Type && HoldsMp3(files.media)) {
        std::string placeFailure;
        const bool placed = PlaceWorkFile(files.media, output, placeFailure);
        m_mediaList->SetStatusImageOfNumber(
            number, placed ? SniffedMediaList::kDownloaded : SniffedMediaList::kNotDownloaded);
        if (!placed)
            Tell(this, "Video Download failed.", placeFailure);
        return;
    }
    m_mediaList->SetStatusImageOfNumber(number, SniffedMediaList::kDownloaded);
    ExtractAudio(this, files, output, detail);
}
