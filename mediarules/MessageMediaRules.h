// The media rules of the stream engine: whole HTTP exchanges in, media reports out.
//
// A response is media when it answers a GET with a 2xx status and
//  - its content type is video or audio, or generic (application/octet-stream,
//    binary/octet-stream, none) and its first bytes are a known container, or any type at all
//    and its body begins "FLV" or "ID3"; and
//  - its size is known and at least 100,000 bytes: the Content-Length, or for a partial answer
//    (206) the total of its Content-Range, else the range's own length.
// The report names the container ("mp4", "webm", "ts", ...), the URL with its scheme, the
// request's header block without the headers that would turn a fetch into a partial or
// conditional one (Range, If-Range, If-None-Match, If-Modified-Since), and the validator
// (ETag, else Last-Modified) that with the URL names one medium, so that its ranges join.
//
// A playlist (HLS or DASH, known by its type, or by a body beginning #EXTM3U or rooted in an
// MPD element; compressed with gzip, deflate, br or zstd or not) is one entry whatever its
// size: kind and type "hls" or "dash", duration, variants in the detail, size the sum of its
// segments once known. What it names (variant playlists, segments, initialisation sections,
// DASH segment templates) is never listed on its own; the answers to those add to its size.
//
// Pieces of streams whose playlist was never seen stay off the list too: movie fragments and
// Matroska clusters (by their bytes), paths that only segments use (.m4s, .cmfv, ...), HLS
// packed audio (by its timestamp tag), and every transport stream or ADTS answer after the
// first from one folder of one server (a numbered run of segments).
//
// With a copy sink (the capture spool), the rules also hand it the bodies of what they list:
// a file medium's body from its first byte (ranges by URL, validator and total), a listed
// stream's playlists (decoded text) and the answers its playlists name (segments,
// initialisation sections, AES-128 keys), each with the playlist that named it. Each report
// then carries its copy's id. A sighting the ignore check drops gets no copy.
//
// One object may serve several capture threads: every call is serialised under its own lock,
// and the sink and the ignore check are called outside it; the copy sink is called under it
// (its calls never block).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "catalogue/MediaReport.h"
#include "httpmsg/HttpExchange.h"
#include "mediarules/MediaCopySink.h"

class MessageMediaRules final : public HttpExchangeSink {
public:
    using ReportSink = std::function<void(MediaReport report)>;
    // Given a URL without its scheme ("host/path?query"), says whether this sighting is the
    // program's own fetch and is to be dropped. Asked once per sighting that would be
    // reported, never for the size updates of a listed stream.
    using IgnoreCheck = std::function<bool(std::string_view urlWithoutScheme)>;

    // How much of a body is collected: enough for every signature; a whole playlist (decoded
    // it is cut at kMaxPlaylistBytes); a body of a generic type that may be a playlist.
    static constexpr std::size_t kSniffBytes = 4096;
    static constexpr std::size_t kGenericPlaylistBytes = 1u << 20;
    // What the rules remember, each a bound: listed streams, URLs their playlists named (and
    // the bytes of those URLs), segment answers counted, folders of numbered segments.
    static constexpr std::size_t kMaxStreams = 64;
    static constexpr std::size_t kMaxOwnedUrls = 200000;
    static constexpr std::size_t kMaxOwnedUrlBytes = 16u << 20;
    static constexpr std::size_t kMaxOwnedPatterns = 1024;
    static constexpr std::size_t kMaxCountedSegments = 65536;
    static constexpr std::size_t kMaxSegmentFolders = 4096;

    MessageMediaRules();
    explicit MessageMediaRules(ReportSink sink, IgnoreCheck ignore = {});
    ~MessageMediaRules() override;
    MessageMediaRules(const MessageMediaRules&) = delete;
    MessageMediaRules& operator=(const MessageMediaRules&) = delete;

    // Installed before the first exchange.
    void SetReportSink(ReportSink sink);
    void SetIgnoreCheck(IgnoreCheck ignore);
    // The copies of what is listed go there (null: none are kept). It must outlive the rules
    // and every connection that feeds them.
    void SetCopySink(MediaCopySink* copies);
    // Sees every response head before the rules do (the stream engine learns from Alt-Svc
    // where servers answer HTTP/3). Installed before the first exchange; called outside the
    // lock, on the thread that feeds the connection.
    using HeadWatch = std::function<void(const HttpExchange& exchange)>;
    void SetHeadWatch(HeadWatch watch) { m_headWatch = std::move(watch); }

    // The prefix path alone: these two keep no copy.
    std::size_t OnResponseHead(const HttpExchange& exchange) override;
    void OnResponseBody(const HttpExchange& exchange, std::string_view body,
                        bool complete) override;
    // The same, and the bodies of what is listed go to the copy sink.
    BodyRequest OnResponseStart(const HttpExchange& exchange) override;
    std::unique_ptr<HttpBodyReceiver> OnResponsePrefix(const HttpExchange& exchange,
                                                       std::string_view body, bool complete,
                                                       bool follows) override;

    // Hands a whole exchange over at once: OnResponseStart, then OnResponsePrefix with as much
    // of `body` as it asked for, and the whole body to a copy. `bodyComplete`: `body` is the
    // whole body.
    void OnExchange(const HttpExchange& exchange, std::string_view body, bool bodyComplete);

    // Forgets every stream, owned URL and segment folder.
    void Reset();

    // How many URLs and templates the listed streams own now (for tests and benchmarks).
    std::size_t OwnedCount() const;

private:
    struct State;
    struct Decision;
    BodyRequest Start(const HttpExchange& exchange, bool keepCopies);
    std::unique_ptr<HttpBodyReceiver> Prefix(const HttpExchange& exchange, std::string_view body,
                                             bool complete, bool keepCopies);
    // Runs the ignore check, opens the copies the decision asks for and hands the reports
    // on; gives the receiver of the exchange's body, if any.
    std::unique_ptr<HttpBodyReceiver> Settle(Decision& decision, bool keepCopies);

    mutable std::mutex m_mutex;
    std::unique_ptr<State> m_state;  // guarded by m_mutex
    ReportSink m_sink;
    IgnoreCheck m_ignore;
    MediaCopySink* m_copies = nullptr;
    HeadWatch m_headWatch;
};

// The URL of an exchange with its scheme: scheme://authority + target, or the target itself
// when it is in absolute form; the server's address (and port, when not the scheme's) when
// the request named no authority. Empty when it is not an http(s) URL of a resource: a
// target not starting with "/", blanks or control bytes, an authority holding "/", "?", "#",
// "@" or "\", longer than kMaxMediaUrlLength.
std::string ExchangeUrl(const HttpExchange& exchange);

// A request header block as a fetch of the whole resource sends it again: the lines of Range,
// If-Range, If-None-Match and If-Modified-Since (names in any case, with their continuation
// lines) left out, everything else as it was.
std::string FetchHeaderBlock(std::string_view headerBlock);

// A Content-Range value "bytes first-last/total" or "bytes first-last/*".
struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::optional<std::uint64_t> total;
};
std::optional<ContentRange> ParseContentRange(std::string_view value);
