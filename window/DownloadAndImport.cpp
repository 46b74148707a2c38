// The main window's Preview and Download: play a listed item, or fetch it again and extract its
// sound into an MP3 file. Everything here runs on the GUI thread; each dialog shown is modal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/ShowMessage.h"
#include "base/StagedFile.h"
#include "base/Text.h"
#include "converter/ConversionJobs.h"
#include "converter/ConverterOutput.h"
#include "converter/PumpMessages.h"
#include "converter/TavrelImportProgressDlg.h"
#include "frames/FrameDecoder.h"
#include "helper/CaptureHelperClient.h"
#include "http/CHttpDownloadDlg.h"
#include "http/CStreamDownloadDlg.h"
#include "http/CYouTubeDownloadDlg.h"
#include "http/RefetchHeaders.h"
#include "http/StreamFetcher.h"
#include "mediarules/Playlist.h"
#include "spool/CapturedStreamJoin.h"
#include "spool/IntervalSet.h"
#include "spool/SpoolFolder.h"
#include "spool/StreamIndex.h"
#include "window/CaptureCopyDlg.h"
#include "window/CapturedCopy.h"
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

// The first line of a failed download's message: "Video Download failed." with the common
// causes named, and for an untrusted certificate the setting that mends it. Read from the
// transfer's reason (libcurl's words, or the engines' own), which stays in the details.
std::string DownloadFailedText(const std::string& reason) {
    std::string lower = reason;
    for (char& c : lower) c = LowerAscii(c);
    const auto has = [&](std::string_view part) { return lower.find(part) != std::string::npos; };
    std::string cause;
    if (has("certificate problem") || has("certificate verif") || has("peer certificate") ||
        has("certificate subject name")) {
        if (has("expired")) {
            cause = "the server's certificate has expired.";
        } else if (has("subject name")) {
            cause = "the server's certificate is made out to another name.";
        } else if (const std::string authorities = ExtraAuthorityFile(); authorities.empty()) {
            cause = "the server's certificate is not trusted. Set TlsCaFile in " + g_settingsFile +
                    " to a file of the authorities that signed it.";
        } else {
            cause =
                "the server's certificate is not trusted. Add the authority that signed it "
                "to " +
                authorities + " (TlsCaFile in " + g_settingsFile + ").";
        }
    } else if (has("resolve host")) {
        cause = "the server's name was not found.";
    } else if (has("connection refused") || has("couldn't connect to server")) {
        cause = "the server refused the connection.";
    } else if (has("timed out")) {
        cause = "the server did not answer in time.";
    } else if (const std::size_t at = lower.find("answered with status ");
               at != std::string::npos) {
        std::size_t digits = 0;
        const std::uint64_t status =
            LeadingDecimal(std::string_view(reason).substr(at + 21), digits);
        if (digits == 3)
            cause = "the server answered with status " + std::to_string(status) + ".";
    }
    return cause.empty() ? "Video Download failed." : "Video Download failed: " + cause;
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

// How far a joined stream may play short of its playlist: durations in playlists are rounded
// (whole seconds in older ones), and the containers' own timestamps differ by a frame or two.
double DurationTolerance(double expected) {
    return std::max(1.0, expected / 100);
}

// A name of its own beside `chosen` for a live recording that stopped before the stream's
// end: "show-live-1.mp3", "show-live-2.mp3", ... the first that is free. Empty when none is.
std::string RecordingPath(const std::string& chosen) {
    const std::size_t slash = chosen.rfind('/');
    const std::size_t dot = chosen.rfind('.');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash);
    const std::string stem = hasExtension ? chosen.substr(0, dot) : chosen;
    const std::string extension = hasExtension ? chosen.substr(dot) : std::string();
    for (int n = 1; n < 1000; ++n) {
        const std::string path = stem + "-live-" + std::to_string(n) + extension;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
            return path;
    }
    return {};
}

// Copies the work file `from` to `to` through a staged file, so that `to` is replaced only by a
// whole copy. Empty on success, else what failed. Runs on any thread.
std::string CopyIntoPlace(const std::string& from, const std::string& to) {
    const int source = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0)
        return WorkFileFailureText(from, errno);
    StagedFile staged;
    if (!staged.Create(to)) {
        const int error = errno;
        ::close(source);
        return WorkFileFailureText(to, error);
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(source, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(source);
            return WorkFileFailureText(from, error);
        }
        if (got == 0)
            break;
        if (!staged.WriteAll(buffer.data(), static_cast<std::size_t>(got))) {
            const int error = errno;
            ::close(source);
            return staged.FailureText(error);
        }
    }
    ::close(source);
    if (!staged.Commit()) {
        const int error = errno;
        return WorkFileFailureText(to, error);
    }
    return {};
}

// Lays out the stream copy `copy` in a new private folder of the work folder, on a worker (its
// pieces are linked, or decrypted, from the spool) while the window goes on: the folder, which
// the caller removes, when the copy holds the stream whole; empty otherwise.
std::string LayOutWholeStream(const TavrelSnifferWindow::CapturedCopyPlace& copy,
                              CapturedStreamLayout& layout) {
    if (copy.status.kind != CopyKind::Stream ||
        (copy.status.state != CopyState::Whole && copy.status.state != CopyState::Unchecked))
        return {};
    std::string error;
    const std::string folder =
        MakePrivateFolder(g_tempDir, WorkFolderPrefix("pelnix-join-"), error);
    if (folder.empty())
        return {};
    const int folderFd = copy.folderFd;
    const CopyStatus status = copy.status;
    auto laying = std::async(std::launch::async, [folderFd, status, folder] {
        CapturedStreamLayout out;
        std::string error;
        const bool ok = LayOutCapturedStream(folderFd, status, folder, out, error);
        return std::make_pair(ok, std::move(out));
    });
    PumpMessagesWhile(
        [&] { return laying.wait_for(std::chrono::seconds(0)) != std::future_status::ready; },
        QEventLoop::ExcludeUserInputEvents);
    auto [laidOut, result] = laying.get();
    if (!laidOut || !result.Whole()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        return {};
    }
    layout = std::move(result);
    return folder;
}

// The pieces a stream copy holds complete, offered to the fetcher of a stream the capture holds
// only in part: they are copied from the spool, and only the rest is asked of the server.
void OfferCapturedPieces(StreamFetcher& fetcher,
                         const TavrelSnifferWindow::CapturedCopyPlace& copy) {
    const auto spoolName = [](const std::string& name) {
        return name.size() >= 2 && name.size() <= 12 && name[0] >= 'a' && name[0] <= 'z' &&
               std::all_of(name.begin() + 1, name.end(),
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    if (!spoolName(copy.status.name))
        return;
    const int folder = ::openat(copy.folderFd, copy.status.name.c_str(),
                                O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return;
    StreamIndex index;
    std::string error;
    const bool read = ReadStreamIndex(folder, index, error);
    ::close(folder);
    if (!read)
        return;
    for (const StreamIndexPart& part : index.parts) {
        if (part.complete && spoolName(part.file))
            fetcher.AddLocalPiece(part.url, {},
                                  copy.folder + "/" + copy.status.name + "/" + part.file);
    }
}

// Downloads a listed HLS or DASH stream: the stream fetcher brings every segment of the best
// variant into a private folder (with the captured session only where it was captured, over
// checked TLS), the converter joins those local files into an MP4 (the chosen file when it ends
// in .mp4), and the sound goes into the chosen MP3 as for any video. A stream with a segment
// missing, or whose joined result plays short of its playlist, fails and leaves the chosen file
// as it was. A live recording that stops before the stream's end goes to a file of its own.
void DownloadStream(QWidget* owner, SniffedMediaList& list, const SniffedMedia& record, int index,
                    const std::optional<TavrelSnifferWindow::CapturedCopyPlace>& copy) {
    if (record.detail.find(kDrmNote) != std::string::npos) {
        Tell(owner, kDrmRefusal);
        return;
    }
    const std::string output = AskSavePath(owner, "MP3");
    if (output.empty())
        return;
    const int number = record.number;
    const std::string source(Trim(record.url));
    const WorkFiles files = MakeWorkFiles(g_tempDir, index, record.size, "mp4");
    if (!WriteTextFile(files.urlNote, source)) {
        const int error = errno;
        Tell(owner, WorkFileFailureText(files.urlNote, error));
        return;
    }
    const bool wantMp4 = EndsWithNoCase(output, ".mp4");

    // A stream the capture holds whole is laid out from its copy and joined from there, with no
    // request to the server. One with stretches missing is fetched again, all of it.
    CapturedStreamLayout layout;
    const std::string capturedFolder = copy ? LayOutWholeStream(*copy, layout) : std::string();
    const bool fromCapture = !capturedFolder.empty();
    const auto removeWork = [&](StreamFetcher* fetcher) {
        if (fetcher)
            fetcher->RemoveWorkFolder();
        if (fromCapture) {
            std::error_code ignored;
            std::filesystem::remove_all(capturedFolder, ignored);
        }
    };

    StreamFetchSettings settings;
    settings.url = source;
    settings.dash = record.kind == "dash";
    settings.captured = ChooseRefetchHeaders(record.requestHeaders);
    settings.capturedUrl = source;
    settings.userAgent = settings.captured.userAgent.empty() ? std::string(kBrowserUserAgent)
                                                             : settings.captured.userAgent;
    settings.extraAuthorityFile = ExtraAuthorityFile();
    settings.workParent = g_tempDir;
    StreamFetcher fetcher(std::move(settings));
    if (!fromCapture && copy && copy->status.kind == CopyKind::Stream)
        OfferCapturedPieces(fetcher, *copy);

    list.SetStatusImageOfNumber(number, SniffedMediaList::kDownloading);
    StreamFetcher::Outcome outcome = StreamFetcher::Outcome::Complete;
    if (!fromCapture) {
        IgnoreOwnRequest(source);
        auto fetch = std::make_unique<CStreamDownloadDlg>(fetcher, source);
        fetch->DoModal();
        outcome = fetch->Outcome();
    }
    const auto failed = [&](const std::string& text, const std::string& details = {}) {
        list.SetStatusImageOfNumber(number, SniffedMediaList::kNotDownloaded);
        removeWork(nullptr);
        if (!text.empty())
            Tell(owner, text, details);
    };
    if (outcome == StreamFetcher::Outcome::Cancelled) {
        failed("Video Download canceled.");
        return;
    }
    if (outcome == StreamFetcher::Outcome::Failed) {
        failed(DownloadFailedText(fetcher.FailureReason()), fetcher.FailureReason().empty()
                                                                ? std::string("Nothing arrived.")
                                                                : fetcher.FailureReason());
        return;
    }
    const bool recorded = outcome == StreamFetcher::Outcome::Recorded;
    const std::string target = recorded ? RecordingPath(output) : output;
    if (target.empty()) {
        failed("Video Download failed.", "No free name for the recording beside " + output + ".");
        return;
    }
    const QString detail =
        fromCapture ? QStringLiteral("Saving to \"%1\" from the capture")
                          .arg(QString::fromStdString(target))
                    : QStringLiteral("Saving to \"%1\"").arg(QString::fromStdString(target));
    const std::string playlist = fromCapture ? layout.playlist : fetcher.Playlist();
    const double expected = fromCapture ? layout.seconds : fetcher.Seconds();

    // The converter reads the fetched files alone: the local playlist and what it names.
    std::vector<std::string> input = {"-protocol_whitelist", "file", "-f", "hls"};
    if (ConverterHasExtensionPicky())
        input.insert(input.end(), {"-extension_picky", "0"});
    auto join = std::make_unique<TavrelImportProgressDlg>(
        QStringLiteral("Downloading Stream"), QStringLiteral("Joining:"), detail, files.script,
        playlist, files.media, "-c copy -f mp4");
    join->SetInputArguments(std::move(input));
    join->SetKnownDuration(expected);
    const int joined = join->exec();
    const std::string workFileFailure = join->FailureText();
    const std::string ending = join->EndingText();
    join.reset();
    removeWork(&fetcher);
    if (joined == TavrelImportProgressDlg::kCancelled) {
        failed("Video Download canceled.");
        return;
    }
    if (joined != TavrelImportProgressDlg::kConverted || !FileExistsNonEmpty(files.media)) {
        failed({});
        if (!workFileFailure.empty())
            Tell(owner, workFileFailure);
        else
            ReportConversionFailure(owner, ending);
        return;
    }
    // Every segment arrived; the joined result must also play as long as they say.
    if (expected > 0) {
        double measured = 0;
        QueryMediaDuration(nullptr, files.media, measured);
        if (measured + DurationTolerance(expected) < expected) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "The joined stream plays %.1f seconds of the playlist's %.1f.", measured,
                          expected);
            failed("Video Download failed.", text);
            return;
        }
    }
    if (wantMp4 && ::rename(files.media.c_str(), target.c_str()) != 0) {
        // Another file system: a copy, off the GUI thread (it can be gigabytes).
        auto copy = std::async(std::launch::async, CopyIntoPlace, files.media, target);
        PumpMessagesWhile(
            [&] { return copy.wait_for(std::chrono::seconds(0)) != std::future_status::ready; },
            QEventLoop::ExcludeUserInputEvents);
        const std::string copyFailure = copy.get();
        if (!copyFailure.empty()) {
            failed(copyFailure);
            return;
        }
    }
    // The joined MP4 gives the row its picture, beside the extraction of its sound.
    list.TakePictureOf(number, wantMp4 ? target : files.media, "mp4");
    list.SetStatusImageOfNumber(
        number, recorded ? SniffedMediaList::kNotDownloaded : SniffedMediaList::kDownloaded);
    if (!recorded)
        list.SetDownloadedFile(number, target);
    if (!wantMp4)
        ExtractAudio(owner, files, target, detail);
    if (recorded && FileExistsNonEmpty(target)) {
        Tell(owner,
             "The live recording stopped before the stream's end. What was recorded is in " +
                 target + ".",
             fetcher.FailureReason());
    }
}

// The dialog that fetches all of `record` again from its server into `destination`: over
// checked TLS with the captured session's headers, by replaying the captured request (the video
// site), or by a plain request.
std::unique_ptr<DownloadDialog> WholeFetchDialog(const SniffedMedia& record,
                                                 const std::string& destination,
                                                 std::optional<HttpFill> fill = std::nullopt) {
    const std::string url(Trim(record.url));
    std::unique_ptr<DownloadDialog> dialog;
    if (IsSecure(url)) {
        // The transfer engine verifies the server; the captured session's headers go along, the
        // captured range does not: the whole file is asked for.
        const RefetchHeaders captured = ChooseRefetchHeaders(record.requestHeaders);
        auto http = std::make_unique<CHttpDownloadDlg>();
        http->SetUrl(url);
        http->SetDestinationPath(destination);
        http->SetUserAgent(captured.userAgent.empty() ? std::string(kBrowserUserAgent)
                                                      : captured.userAgent);
        http->SetCapturedSession(captured, url);
        http->SetExtraAuthorityFile(ExtraAuthorityFile());
        http->SetExpectedSize(record.size);
        http->SetConfirmOverwrite(false);
        if (fill)
            http->SetFill(std::move(*fill));
        dialog = std::move(http);
    } else if (record.siteFlag != 0) {
        auto replay = std::make_unique<CYouTubeDownloadDlg>();
        replay->SetUrl(url);
        // Where the captured request went, and nowhere else.
        replay->SetServer(
            record.serverPort != 0 ? AddressText(record.serverAddress) : std::string(),
            record.serverPort);
        replay->SetRequestHeaders(record.requestHeaders);
        replay->SetDestinationPath(destination);
        replay->SetExpectedSize(record.size);
        replay->SetConfirmOverwrite(false);
        dialog = std::move(replay);
    } else {
        auto http = std::make_unique<CHttpDownloadDlg>();
        http->SetUrl(url);
        http->SetDestinationPath(destination);
        http->SetUserAgent(kBrowserUserAgent);
        http->SetExpectedSize(record.size);
        http->SetConfirmOverwrite(false);
        if (fill)
            http->SetFill(std::move(*fill));
        dialog = std::move(http);
    }
    return dialog;
}

// The fill of a file copy that holds part of its medium: the bytes it lacks, to be asked of the
// server alone with the captured validator. Nothing when the copy cannot serve as the start of
// the download (a stream, a medium of unknown size, ranges left out of its state, a copy still
// filling or gone) or nothing of it was kept.
std::optional<HttpFill> FillOf(const SniffedMedia& record, const CopyStatus& status) {
    if (status.kind != CopyKind::File || !status.total || *status.total == 0 ||
        status.intervalsCut || status.intervals.empty() || record.validator.empty())
        return std::nullopt;
    if (status.state != CopyState::Holes && status.state != CopyState::Stopped)
        return std::nullopt;
    if (status.name.empty() || status.name.find('/') != std::string::npos)
        return std::nullopt;
    IntervalSet held;
    for (const CopyInterval& interval : status.intervals) {
        if (interval.first >= interval.end || interval.end > *status.total)
            return std::nullopt;
        std::uint64_t added = 0;
        if (!held.Add(interval.first, interval.end, CopyStatus::kMaxIntervals, added))
            return std::nullopt;
    }
    HttpFill fill;
    fill.total = *status.total;
    fill.missing = held.Missing(*status.total);
    fill.validator = record.validator;
    if (fill.missing.empty())
        return std::nullopt;
    return fill;
}

// The dialog that brings `record`'s bytes into `destination`: from the capture's copy when the
// capture holds the file whole (no request goes out); when it holds part of it, the server is
// asked for the missing ranges alone (`fillSource` is then the copy, open until the dialog is
// done: the caller closes it); else all of it comes from the server.
std::unique_ptr<DownloadDialog> DownloadDialogFor(
    const SniffedMedia& record, const std::optional<TavrelSnifferWindow::CapturedCopyPlace>& copy,
    const std::string& destination, int& fillSource) {
    fillSource = -1;
    if (copy && IsWholeFileCopy(copy->status)) {
        return std::make_unique<CaptureCopyDlg>(copy->folderFd, copy->status,
                                                std::string(Trim(record.url)), destination);
    }
    if (copy && record.siteFlag == 0) {
        if (std::optional<HttpFill> fill = FillOf(record, copy->status)) {
            fillSource = ::openat(copy->folderFd, copy->status.name.c_str(),
                                  O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            struct stat info {};
            if (fillSource >= 0 && ::fstat(fillSource, &info) == 0 && S_ISREG(info.st_mode)) {
                fill->sourceFd = fillSource;
                return WholeFetchDialog(record, destination, std::move(fill));
            }
            if (fillSource >= 0)
                ::close(fillSource);
            fillSource = -1;
        }
    }
    return WholeFetchDialog(record, destination);
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
    if (const auto copy = CapturedCopyOf(*record); copy && IsWholeFileCopy(copy->status)) {
        // The capture holds it whole: the player reads the local copy and nothing else.
        QProcess::startDetached(
            QString::fromStdString(g_ffplayExe),
            {QStringLiteral("-protocol_whitelist"), QStringLiteral("file"),
             QStringLiteral("file:") + QFile::decodeName(QByteArray::fromStdString(
                                           copy->folder + "/" + copy->status.name))});
        return;
    }
    if (const auto copy = CapturedCopyOf(*record); copy && copy->status.kind == CopyKind::Stream) {
        // A stream the capture holds whole: the player reads its laid-out pieces and nothing
        // else; their folder goes when the player ends (or the window does).
        CapturedStreamLayout layout;
        const std::string folder = LayOutWholeStream(*copy, layout);
        if (!folder.empty()) {
            ListSpoolFolder(folder);
            QStringList arguments = {QStringLiteral("-protocol_whitelist"), QStringLiteral("file"),
                                     QStringLiteral("-f"), QStringLiteral("hls")};
            if (ConverterHasExtensionPicky())
                arguments << QStringLiteral("-extension_picky") << QStringLiteral("0");
            arguments << QStringLiteral("file:") +
                             QFile::decodeName(QByteArray::fromStdString(layout.playlist));
            auto* player = new QProcess(this);
            const auto done = [player, folder] {
                UnlistSpoolFolder(folder);
                std::error_code ignored;
                std::filesystem::remove_all(folder, ignored);
                player->deleteLater();
            };
            connect(player, &QProcess::finished, this, done);
            connect(player, &QProcess::errorOccurred, this,
                    [player, done](QProcess::ProcessError error) {
                        if (error == QProcess::FailedToStart)
                            done();
                    });
            player->start(QString::fromStdString(g_ffplayExe), arguments);
            return;
        }
    }
    IgnoreOwnRequest(url);
    PlayMedia(nullptr, url, PreviewHeaders(url, record->requestHeaders, IsStream(*record)));
}

void TavrelSnifferWindow::DownloadAndImport(int index) {
    const std::optional<SniffedMedia> record = m_mediaList->Record(index);
    if (!record)
        return;
    if (IsStream(*record)) {
        DownloadStream(this, *m_mediaList, *record, index, CapturedCopyOf(*record));
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

    int fillSource = -1;
    std::unique_ptr<DownloadDialog> dialog =
        DownloadDialogFor(*record, CapturedCopyOf(*record), destination, fillSource);
    if (!dynamic_cast<CaptureCopyDlg*>(dialog.get()))
        IgnoreOwnRequest(url);
    m_mediaList->SetStatusImageOfNumber(number, SniffedMediaList::kDownloading);
    const int result = dialog->DoModal();
    const std::string failure = dialog->FailureReason();
    dialog.reset();
    if (fillSource >= 0)
        ::close(fillSource);

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
        Tell(this, DownloadFailedText(failure),
             failure.empty() ? std::string("Nothing arrived.") : failure);
        return;
    }
    if (mp3Type && HoldsMp3(files.media)) {
        std::string placeFailure;
        const bool placed = PlaceWorkFile(files.media, output, placeFailure);
        m_mediaList->SetStatusImageOfNumber(
            number, placed ? SniffedMediaList::kDownloaded : SniffedMediaList::kNotDownloaded);
        if (placed)
            m_mediaList->SetDownloadedFile(number, output);
        if (!placed)
            Tell(this, "Video Download failed.", placeFailure);
        return;
    }
    m_mediaList->SetStatusImageOfNumber(number, SniffedMediaList::kDownloaded);
    m_mediaList->SetDownloadedFile(number, output);
    // The fetched video gives the row its picture, beside the extraction of its sound.
    m_mediaList->TakePictureOf(number, files.media, record->type);
    ExtractAudio(this, files, output, detail);
}
