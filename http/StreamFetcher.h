// Fetches a listed HLS or DASH stream segment by segment into a private work folder, and writes
// a local HLS playlist that orders the files, so that the converter joins them reading nothing
// but local files.
//
// Every request goes through the transfer engine (certificates verified, redirects followed one
// hop at a time, the captured session sent only where ScopedHeaderLines allows). The stream
// counts as fetched only when every segment, initialisation section and key arrived: a piece
// that fails (after two more tries for a transient failure) fails the whole with the piece and
// the reason. AES-128 segments are decrypted here, so no key is ever written to disk.
//
// A live stream (HLS without EXT-X-ENDLIST, DASH type="dynamic") is recorded: its playlist is
// asked again as its target duration (DASH: its update period) says, new segments are fetched
// as they appear, and the recording ends at the stream's end, at a bound (seconds of media,
// bytes or segments: StreamFetchSettings), when the stream sends nothing new for a while, when a
// segment fails or goes missing, or on Abort; what was recorded up to there stays usable
// (Outcome::Recorded).
//
// Run blocks on the calling thread (a worker); Abort may be called from any thread and makes
// Run return within about a second. Reports go to the progress callback on the running thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "http/RefetchHeaders.h"
#include "mediarules/StreamSegments.h"

struct StreamFetchSettings {
    std::string url;    // the listed playlist: an HLS playlist (multivariant or media), a manifest
    bool dash = false;  // DASH manifest (else HLS)
    RefetchHeaders captured;  // the captured request's session, sent per ScopedHeaderLines
    std::string capturedUrl;  // the URL that session was captured for
    std::string userAgent;
    std::string extraAuthorityFile;  // trusted besides the system's authorities (TlsCaFile)
    std::string workParent;          // the folder in which the fetch makes its own (TempDir)

    // Bounds of a live recording.
    double maxLiveSeconds = 4 * 3600.0;
    std::uint64_t maxLiveBytes = std::uint64_t(4) << 30;
    std::size_t maxLiveSegments = 50000;  // of all tracks together
    // A live stream that sends no new segment for this long (and at least three target
    // durations) has ended.
    std::chrono::milliseconds liveSilence{30000};
    // Asks a live playlist again this often instead of as it says (tests).
    std::chrono::milliseconds pollInterval{0};
    // The pause before a transient failure is tried again (twice at most), and the engine's
    // bounds on a dead server.
    std::chrono::milliseconds retryPause{500};
    std::chrono::milliseconds connectTimeout{15000};
    std::chrono::seconds lowSpeedTime{30};
};

struct StreamProgress {
    bool live = false;
    std::size_t segmentsDone = 0;
    std::size_t segmentsTotal = 0;  // 0 while live
    std::uint64_t bytes = 0;        // of every piece so far
    double seconds = 0;             // of media fetched (the picture's track)
    double totalSeconds = 0;        // the playlist's; 0 while live
};

class StreamFetcher {
public:
    enum class Outcome {
        Complete,   // every segment arrived (a live stream: up to its end)
        Recorded,   // a live recording stopped early (FailureReason says why); it is usable
        Cancelled,  // aborted before anything usable arrived
        Failed,     // FailureReason says which piece and why
    };

    // Largest size of one segment, key or initialisation section.
    static constexpr std::uint64_t kMaxPieceBytes = std::uint64_t(1) << 30;

    explicit StreamFetcher(StreamFetchSettings settings);
    // Removes the work folder.
    ~StreamFetcher();
    StreamFetcher(const StreamFetcher&) = delete;
    StreamFetcher& operator=(const StreamFetcher&) = delete;

    // A piece already at hand (a segment the capture holds): the bytes of `url` (of `range` of
    // it; a length of 0 for the whole resource) are the regular file `path`, taken as they were
    // sent (still encrypted where the playlist says so). It is copied instead of fetched. Before
    // Run.
    void AddLocalPiece(const std::string& url, ByteRange range, std::string path);

    using ProgressReport = std::function<void(const StreamProgress&)>;
    // Before Run; called on the running thread, at most about ten times a second.
    void SetProgressReport(ProgressReport report) { m_report = std::move(report); }

    Outcome Run();
    void Abort();
    bool IsAborted() const { return m_aborted.load(); }

    // After Run.
    const std::string& FailureReason() const { return m_failureReason; }
    // The local playlist that orders the fetched files (HLS, naming only files beside it).
    const std::string& Playlist() const { return m_playlist; }
    bool Live() const { return m_live; }
    // Seconds of media fetched, by the playlist (the picture's track).
    double Seconds() const { return m_seconds; }
    const std::string& WorkFolder() const { return m_folder; }
    // Deletes the work folder and everything in it (also done by the destructor).
    void RemoveWorkFolder();

private:
    struct Track;
    class Engine;
    class Sink;
    // Where a fetched resource came from in the end, and how it was coded.
    struct FetchResult {
        std::string finalUrl;
        bool steppedDown = false;
        std::string contentEncoding;
    };

    bool MakeFolder();
    // Reads the listed playlist and what it leads to into m_tracks; false (and a reason) when
    // the stream cannot be fetched.
    bool ReadStream();
    bool ReadTracks(bool first);
    bool FetchNew(Track& track, bool& gap);
    bool FetchSegment(Track& track, const MediaSegment& segment);
    bool FetchInit(Track& track, int index);
    bool FetchKey(const std::string& url, std::string& key, const std::string& what);
    // One resource into `sink` (a file, or text in memory), tried again on a transient failure.
    // `what` names the piece in the failure's reason; `steppedDown`: the document that named
    // the URL came over http after https, so no captured header goes along.
    bool Fetch(const std::string& url, ByteRange range, Sink& sink, const std::string& what,
               bool steppedDown = false);
    bool FetchInto(const std::string& url, ByteRange range, Sink& sink, const std::string& what,
                   bool steppedDown, FetchResult& result);
    // A playlist or manifest, its content coding undone. `finalUrl` receives where it came
    // from after redirects; `steppedDown` goes in and comes out as for Fetch.
    bool FetchText(const std::string& url, std::string& text, std::string& finalUrl,
                   bool& steppedDown, const std::string& what);
    bool CopyLocal(const std::string& path, ByteRange range, Sink& sink, const std::string& what);
    bool WritePlaylists();
    Outcome RunLive();
    // Waits `time` or until Abort; false when aborted.
    bool Pause(std::chrono::milliseconds time);
    void Report(bool force);
    void Fail(std::string reason);

    StreamFetchSettings m_settings;
    std::map<std::pair<std::string, std::pair<std::uint64_t, std::uint64_t>>, std::string>
        m_localPieces;
    ProgressReport m_report;
    std::atomic<bool> m_aborted{false};
    std::mutex m_wakeLock;
    std::condition_variable m_wake;

    std::string m_folder;
    std::string m_playlist;
    std::string m_failureReason;
    bool m_live = false;
    double m_seconds = 0;
    double m_totalSeconds = 0;
    std::size_t m_segmentsDone = 0;
    std::size_t m_segmentsTotal = 0;
    std::atomic<std::uint64_t> m_bytes{0};
    std::chrono::steady_clock::time_point m_lastReport{};
    double m_updateSeconds = 0;  // DASH minimumUpdatePeriod
    std::string m_manifestUrl;   // DASH: where the manifest came from in the end
    bool m_manifestSteppedDown = false;
    std::vector<std::unique_ptr<Track>> m_tracks;  // the picture's (or the only) one first
    std::map<std::string, std::string> m_keys;     // key URL -> its 16 bytes
    std::unique_ptr<void, void (*)(void*)> m_share;
};
