#include "mediarules/MessageMediaRules.h"

#include <strings.h>

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "catalogue/MediaCatalogue.h"
#include "mediarules/BodyDecoding.h"
#include "mediarules/MediaSignatures.h"
#include "mediarules/Playlist.h"
#include "mediarules/UrlReference.h"

#include "httpmsg/HttpText.h"

namespace {

// Request headers a fetch of the whole resource must not send again: they would make the
// answer partial (Range, If-Range) or empty (304 Not Modified).
constexpr std::string_view kPartialOrConditionalHeaders[] = {"Range", "If-Range", "If-None-Match",
                                                             "If-Modified-Since"};
constexpr std::string_view kStreamTypeTexts[] = {"hls", "dash"};  // by StreamKind
// Decoded bytes kept of a body that is not a playlist candidate: its signature, or a short
// playlist that came with some other type.
constexpr std::size_t kSmallDecodeBytes = 64u << 10;

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool CleanUrlText(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F)
            return false;
    }
    return true;
}

// Digits only, at most 19 of them: a longer number is no byte position.
std::optional<std::uint64_t> ParseRangeNumber(std::string_view text) {
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::string WithoutScheme(const std::string& url) {
    const std::size_t at = url.find("://");
    return at == std::string::npos ? url : url.substr(at + 3);
}

// What the rules need to know of one exchange, read from its heads alone.
struct Facts {
    std::string url;  // with scheme
    std::string key;  // UrlKey without query: what playlists own
    ContentType type;
    bool partial = false;  // 206
    bool whole = true;     // the body is the whole resource (a 200, or a 206 of every byte)
    std::optional<ContentRange> range;
    std::uint64_t start = 0;                  // where the body lies in the resource
    std::optional<std::uint64_t> size;        // of the medium
    std::optional<std::uint64_t> bodyLength;  // of this answer's body
    const std::string* encoding = nullptr;
    bool coded = false;  // a content coding other than identity
    // The resource's size as a copy of it is keyed: a whole answer's length, a range's total.
    std::optional<std::uint64_t> copyTotal;
    bool playlistCandidate = false;
};

std::optional<Facts> Examine(const HttpExchange& exchange) {
    const int status = exchange.response.status;
    if (status < 200 || status > 299 || status == 204 || status == 205 ||
        exchange.request.method != "GET") {
        return std::nullopt;
    }
    Facts facts;
    facts.url = ExchangeUrl(exchange);
    if (facts.url.empty())
        return std::nullopt;
    facts.key = UrlKey(facts.url, false);
    if (facts.key.empty())
        return std::nullopt;
    const auto& headers = exchange.response.headers;
    facts.type = ClassifyContentType(FindHeader(headers, "Content-Type"));
    facts.encoding = FindHeader(headers, "Content-Encoding");
    if (facts.encoding != nullptr) {
        const std::string_view coding = TrimBlanks(*facts.encoding);
        facts.coded = !coding.empty() && !EqualNoCase(coding, "identity");
    }
    facts.bodyLength = exchange.contentLength;
    facts.partial = status == 206;
    if (facts.partial) {
        if (const std::string* value = FindHeader(headers, "Content-Range"))
            facts.range = ParseContentRange(*value);
        if (facts.range) {
            facts.start = facts.range->first;
            facts.size = facts.range->total ? *facts.range->total
                                            : facts.range->last - facts.range->first + 1;
            if (!facts.bodyLength)
                facts.bodyLength = facts.range->last - facts.range->first + 1;
        } else {
            facts.size = exchange.contentLength;
        }
    } else {
        facts.size = exchange.contentLength;
    }
    facts.copyTotal = facts.partial ? (facts.range ? facts.range->total : std::nullopt)
                                    : exchange.contentLength;
    // Players ask for a playlist as "bytes=0-" too: an answer of every byte is the whole file.
    facts.whole = !facts.partial || (facts.range && facts.range->first == 0 && facts.range->total &&
                                     facts.range->last + 1 == *facts.range->total);
    const ContentClass c = facts.type.contentClass;
    const std::size_t pathAt = facts.url.find('/', facts.url.find("://") + 3);
    const std::string_view path = pathAt == std::string::npos
                                      ? std::string_view()
                                      : std::string_view(facts.url).substr(pathAt);
    if (facts.whole) {
        const bool small = facts.bodyLength && *facts.bodyLength <= kMaxPlaylistBytes;
        facts.playlistCandidate =
            c == ContentClass::Hls || c == ContentClass::Dash || HasPlaylistExtension(path) ||
            (c == ContentClass::Text && (!facts.bodyLength || small)) ||
            ((c == ContentClass::Generic || c == ContentClass::Absent) &&
             (!facts.bodyLength || *facts.bodyLength <= MessageMediaRules::kGenericPlaylistBytes));
    }
    return facts;
}

std::size_t PlaylistAsk(const Facts& facts) {
    const ContentClass c = facts.type.contentClass;
    const bool generic = c == ContentClass::Generic || c == ContentClass::Absent;
    const std::size_t limit =
        generic && !facts.bodyLength ? MessageMediaRules::kGenericPlaylistBytes : kMaxPlaylistBytes;
    return facts.bodyLength
               ? static_cast<std::size_t>(std::min<std::uint64_t>(*facts.bodyLength, limit))
               : limit;
}

std::string Validator(const HttpExchange& exchange) {
    const std::string* value = FindHeader(exchange.response.headers, "ETag");
    if (value == nullptr || TrimBlanks(*value).empty())
        value = FindHeader(exchange.response.headers, "Last-Modified");
    if (value == nullptr)
        return {};
    return std::string(TrimBlanks(*value).substr(0, 512));
}

// A stream entry: one listed playlist and what its playlists told so far.
struct Stream {
    std::uint32_t id = 0;
    StreamKind kind = StreamKind::Hls;
    MediaReport report;  // url, headers, server, type, kind, variant: fixed at its sighting
    std::vector<StreamVariant> variants;
    bool live = false;
    bool drm = false;
    double durationSeconds = 0;
    std::uint64_t ownRangeBytes = 0;  // from the listed playlist itself
    // From the variant playlists seen, by their URL key.
    std::unordered_map<std::string, std::uint64_t> variantRangeBytes;
    std::uint64_t answeredBytes = 0;
    // What the last report said.
    std::uint64_t reportedSize = 0;
    double reportedSeconds = 0;
    std::string reportedDetail;
    bool reported = false;
    std::uint64_t copyId = 0;  // its copy in the copy sink, once opened
    // The playlists that named its URLs (Owner::source counts from 1 into it).
    std::vector<std::string> namers;

    std::uint32_t NamerIndex(const std::string& url) {
        for (std::size_t i = 0; i < namers.size(); ++i) {
            if (namers[i] == url)
                return static_cast<std::uint32_t>(i + 1);
        }
        if (namers.size() >= kMaxNamers)
            return 0;
        namers.push_back(url);
        return static_cast<std::uint32_t>(namers.size());
    }
    std::string Namer(std::uint32_t source) const {
        return source == 0 || source > namers.size() ? std::string() : namers[source - 1];
    }
    static constexpr std::size_t kMaxNamers = 2 * kMaxStreamVariants;

    std::uint64_t Size() const {
        for (const StreamVariant& variant : variants) {
            const auto it = variantRangeBytes.find(UrlKey(variant.url, false));
            if (it != variantRangeBytes.end())
                return it->second;
        }
        std::uint64_t best = ownRangeBytes;
        for (const auto& [key, bytes] : variantRangeBytes) best = std::max(best, bytes);
        return best > 0 ? best : answeredBytes;
    }

    std::string Detail() const {
        StreamPlaylist summary;
        summary.kind = kind;
        summary.variants = variants;
        summary.live = live;
        summary.drm = drm;
        return PlaylistDetail(summary);
    }
};

enum class Role : std::uint8_t { Segment, Playlist, Key };

struct Owner {
    std::uint32_t stream = 0;
    Role role = Role::Segment;
    std::uint32_t source = 0;  // the playlist that named it (Stream::namers), 0 unknown
};

// A set bounded in entries and bytes that forgets its oldest members first.
template <typename Value>
class BoundedMap {
public:
    BoundedMap(std::size_t maxEntries, std::size_t maxBytes)
        : m_maxEntries(maxEntries), m_maxBytes(maxBytes) {}

    Value* Find(const std::string& key) {
        const auto it = m_map.find(key);
        return it == m_map.end() ? nullptr : &it->second;
    }
    // Inserts or overwrites; the bounds are kept by forgetting the oldest keys.
    void Put(const std::string& key, Value value) {
        const auto [it, inserted] = m_map.insert_or_assign(key, std::move(value));
        if (!inserted)
            return;
        m_order.push_back(key);
        m_bytes += key.size();
        while (m_map.size() > m_maxEntries || m_bytes > m_maxBytes) {
            m_bytes -= m_order.front().size();
            m_map.erase(m_order.front());
            m_order.pop_front();
        }
    }
    std::size_t Size() const { return m_map.size(); }
    void Clear() {
        m_map.clear();
        m_order.clear();
        m_bytes = 0;
    }

private:
    std::size_t m_maxEntries;
    std::size_t m_maxBytes;
    std::size_t m_bytes = 0;
    std::unordered_map<std::string, Value> m_map;
    std::deque<std::string> m_order;
};

struct Pending {
    MediaReport report;
    bool sighting = false;  // asks the ignore check first
    bool ignored = false;
};

// What the exchange's body is to the copies.
struct CopyPlan {
    enum class Kind : std::uint8_t { None, File, Join, Stream, Playlist, Part };
    Kind kind = Kind::None;
    std::size_t report = SIZE_MAX;  // the pending report it goes with (File, Stream)
    MediaFileKey file;              // File
    std::uint32_t stream = 0;       // the rules' stream (Stream)
    std::uint64_t copyId = 0;       // the stream's copy (Playlist, Part)
    StreamPartRole role = StreamPartRole::Segment;
    std::string url;     // Stream, Playlist, Part
    std::string namer;   // Part
    std::uint64_t start = 0;
    std::optional<std::uint64_t> total;
    bool partial = false;
    bool coded = false;
    StreamKind streamKind = StreamKind::Hls;
};

}  // namespace

struct MessageMediaRules::State {
    std::deque<Stream> streams;  // oldest first
    std::uint32_t nextStream = 1;
    BoundedMap<Owner> owned{kMaxOwnedUrls, kMaxOwnedUrlBytes};
    std::deque<std::pair<SegmentPattern, Owner>> patterns;
    BoundedMap<bool> counted{kMaxCountedSegments, kMaxCountedSegments * 256};
    // Folder of a numbered run (URL key up to the last "/", and the container) -> the key of
    // its first member, which alone may be listed.
    BoundedMap<std::string> segmentFolders{kMaxSegmentFolders, kMaxSegmentFolders * 512};
    std::vector<Pending> pending;
    CopyPlan plan;

    Stream* FindStream(std::uint32_t id) {
        for (Stream& stream : streams) {
            if (stream.id == id)
                return &stream;
        }
        return nullptr;
    }

    Stream* FindStreamByUrl(const std::string& url) {
        for (Stream& stream : streams) {
            if (stream.report.url == url)
                return &stream;
        }
        return nullptr;
    }

    std::optional<Owner> FindOwner(const std::string& key) {
        if (const Owner* owner = owned.Find(key))
            return *owner;
        for (const auto& [pattern, owner] : patterns) {
            if (MatchesPattern(pattern, key))
                return owner;
        }
        return std::nullopt;
    }

    // What `playlist` (fetched from `namerUrl`) names belongs to the stream.
    void Own(const StreamPlaylist& playlist, std::uint32_t stream, const std::string& namerUrl) {
        Stream* owner = FindStream(stream);
        const std::uint32_t source = owner != nullptr ? owner->NamerIndex(namerUrl) : 0;
        for (const std::string& url : playlist.segmentUrls) {
            const std::string key = UrlKey(url, false);
            if (!key.empty() && owned.Find(key) == nullptr)
                owned.Put(key, {stream, Role::Segment, source});
        }
        for (const std::string& url : playlist.keyUrls) {
            const std::string key = UrlKey(url, false);
            if (!key.empty() && owned.Find(key) == nullptr)
                owned.Put(key, {stream, Role::Key, source});
        }
        for (const std::string& url : playlist.playlistUrls) {
            const std::string key = UrlKey(url, false);
            if (!key.empty())
                owned.Put(key, {stream, Role::Playlist, source});
        }
        for (const SegmentPattern& pattern : playlist.segmentPatterns) {
            const bool known = std::any_of(patterns.begin(), patterns.end(), [&](const auto& p) {
                return p.first.pieces == pattern.pieces;
            });
            if (known)
                continue;
            patterns.emplace_back(pattern, Owner{stream, Role::Segment, source});
            if (patterns.size() > kMaxOwnedPatterns)
                patterns.pop_front();
        }
    }

    void CountSegment(const Facts& facts, std::uint32_t streamId);
    // The answer to a URL a listed stream owns goes to the stream's copy.
    void PlanPart(const Facts& facts, const Owner& owner) {
        const Stream* stream = FindStream(owner.stream);
        if (stream == nullptr || stream->copyId == 0)
            return;
        plan.kind = CopyPlan::Kind::Part;
        plan.copyId = stream->copyId;
        plan.role = owner.role == Role::Key ? StreamPartRole::Key : StreamPartRole::Segment;
        plan.url = facts.url;
        plan.namer = stream->Namer(owner.source);
        plan.start = facts.start;
        plan.total = facts.copyTotal;
        plan.partial = facts.partial;
        plan.coded = facts.coded;
    }
    bool SiblingSegment(const Facts& facts, Container container);
    void HandleMedia(const HttpExchange& exchange, const Facts& facts, std::string_view prefix);
    void HandlePlaylist(const HttpExchange& exchange, const Facts& facts,
                        const StreamPlaylist& playlist);

    // Queues the stream's report when it says something new (or always, for a sighting).
    void ReportStream(Stream& stream, bool sighting) {
        const std::uint64_t size = stream.Size();
        std::string detail = stream.Detail();
        const bool changed = !stream.reported || size != stream.reportedSize ||
                             stream.durationSeconds != stream.reportedSeconds ||
                             detail != stream.reportedDetail;
        if (!changed && !sighting)
            return;
        stream.reported = true;
        stream.reportedSize = size;
        stream.reportedSeconds = stream.durationSeconds;
        stream.reportedDetail = detail;
        MediaReport report = stream.report;
        report.lengthText = std::to_string(size);
        report.detail = std::move(detail);
        report.durationSeconds = stream.durationSeconds;
        report.copyId = stream.copyId;
        pending.push_back({std::move(report), sighting});
    }
};

MessageMediaRules::MessageMediaRules() : m_state(std::make_unique<State>()) {}

MessageMediaRules::MessageMediaRules(ReportSink sink, IgnoreCheck ignore)
    : m_state(std::make_unique<State>()), m_sink(std::move(sink)), m_ignore(std::move(ignore)) {}

MessageMediaRules::~MessageMediaRules() = default;

void MessageMediaRules::SetReportSink(ReportSink sink) {
    std::lock_guard lock(m_mutex);
    m_sink = std::move(sink);
}

void MessageMediaRules::SetIgnoreCheck(IgnoreCheck ignore) {
    std::lock_guard lock(m_mutex);
    m_ignore = std::move(ignore);
}

void MessageMediaRules::Reset() {
    std::lock_guard lock(m_mutex);
    m_state = std::make_unique<State>();
}

std::size_t MessageMediaRules::OwnedCount() const {
    std::lock_guard lock(m_mutex);
    return m_state->owned.Size() + m_state->patterns.size();
}

// The answer to a URL a listed stream owns: its bytes count towards the stream's size, each
// segment once (a partial answer with a total counts the whole file once).
void MessageMediaRules::State::CountSegment(const Facts& facts, std::uint32_t streamId) {
    Stream* stream = FindStream(streamId);
    if (stream == nullptr)
        return;
    std::optional<std::uint64_t> bytes;
    std::string countKey = UrlKey(facts.url, true);
    if (facts.partial && facts.range && facts.range->total) {
        bytes = facts.range->total;
    } else if (facts.partial) {
        bytes = facts.bodyLength;
        countKey += "#" + std::to_string(facts.start);
    } else {
        bytes = facts.bodyLength;
    }
    if (!bytes || *bytes == 0 || counted.Find(countKey) != nullptr)
        return;
    counted.Put(countKey, true);
    stream->answeredBytes += std::min(*bytes, UINT64_MAX - stream->answeredBytes);
    ReportStream(*stream, false);
}

// The rule for numbered runs of transport stream or ADTS segments whose playlist was not seen:
// the first answer from a folder may be listed, the others are its siblings.
bool MessageMediaRules::State::SiblingSegment(const Facts& facts, Container container) {
    if (container != Container::Ts && container != Container::Aac)
        return false;
    const std::string folder =
        facts.key.substr(0, facts.key.rfind('/') + 1) + std::string(ContainerTypeText(container));
    if (const std::string* first = segmentFolders.Find(folder))
        return *first != facts.key;
    segmentFolders.Put(folder, facts.key);
    return false;
}

void MessageMediaRules::State::HandleMedia(const HttpExchange& exchange, const Facts& facts,
                                           std::string_view prefix) {
    const ContentClass c = facts.type.contentClass;
    bool anyType = false;
    const Container detected = prefix.empty() ? Container::None : DetectContainer(prefix, &anyType);
    if (detected == Container::Fragment)
        return;
    const std::size_t pathAt = facts.url.find('/', facts.url.find("://") + 3);
    if (pathAt != std::string::npos && HasSegmentOnlyExtension(facts.url.substr(pathAt)))
        return;
    bool media = false;
    if (c == ContentClass::Video || c == ContentClass::Audio)
        media = true;
    else if (c == ContentClass::Generic || c == ContentClass::Absent)
        media = detected != Container::None;
    else
        media = anyType;
    if (!media || !facts.size || *facts.size < MediaCatalogue::kMinimumSize)
        return;

    Container container = detected != Container::None ? detected : facts.type.container;
    // A Matroska header whose DocType lay past the bytes at hand: the type may tell webm.
    if (detected == Container::Mkv && facts.type.container == Container::Webm)
        container = Container::Webm;
    if (SiblingSegment(facts, container))
        return;
    std::string typeText(ContainerTypeText(container));
    if (typeText.empty())
        typeText = facts.type.subtype;

    MediaReport report;
    report.url = facts.url;
    report.requestHeaders = FetchHeaderBlock(exchange.request.headerBlock);
    report.lengthText = std::to_string(*facts.size);
    report.typeText = std::move(typeText);
    report.serverAddress = exchange.serverAddress;
    report.serverPort = exchange.serverPort;
    report.validator = Validator(exchange);
    report.ranged = facts.partial;
    plan = {};
    plan.kind = CopyPlan::Kind::File;
    plan.report = pending.size();
    plan.file = {report.url, report.validator, facts.copyTotal};
    plan.start = facts.start;
    plan.partial = facts.partial;
    plan.coded = facts.coded;
    pending.push_back({std::move(report), true});
}

void MessageMediaRules::State::HandlePlaylist(const HttpExchange& exchange, const Facts& facts,
                                              const StreamPlaylist& playlist) {
    if (const std::optional<Owner> owner = FindOwner(facts.key)) {
        // A playlist a listed stream named: a variant or rendition. It adds what it names,
        // its length and byte ranges, and is not listed itself.
        Own(playlist, owner->stream, facts.url);
        Stream* stream = FindStream(owner->stream);
        if (stream == nullptr || owner->role != Role::Playlist)
            return;
        if (stream->copyId != 0) {
            plan.kind = CopyPlan::Kind::Playlist;
            plan.copyId = stream->copyId;
            plan.url = facts.url;
        }
        if (playlist.byteRangeTotal > 0 && stream->variantRangeBytes.size() < kMaxStreamVariants)
            stream->variantRangeBytes[facts.key] = playlist.byteRangeTotal;
        stream->durationSeconds = std::max(stream->durationSeconds, playlist.durationSeconds);
        stream->live = stream->live || playlist.live;
        stream->drm = stream->drm || playlist.drm;
        ReportStream(*stream, false);
        return;
    }
    Stream* stream = FindStreamByUrl(facts.url);
    if (stream == nullptr) {
        streams.emplace_back();
        streams.back().id = nextStream++;
        if (streams.size() > kMaxStreams)
            streams.pop_front();
        stream = &streams.back();
    }
    stream->kind = playlist.kind;
    MediaReport& report = stream->report;
    report.url = facts.url;
    report.requestHeaders = FetchHeaderBlock(exchange.request.headerBlock);
    report.typeText = std::string(kStreamTypeTexts[static_cast<int>(playlist.kind)]);
    report.kind = report.typeText;
    report.serverAddress = exchange.serverAddress;
    report.serverPort = exchange.serverPort;
    report.variantUrl = BestVariantUrl(playlist);
    stream->variants = playlist.variants;
    stream->drm = stream->drm || playlist.drm;
    if (!playlist.master) {
        // A master's duration and liveness come from its variants' own playlists.
        stream->live = playlist.live;
        stream->durationSeconds = playlist.durationSeconds;
        stream->ownRangeBytes = playlist.byteRangeTotal;
    }
    if (playlist.kind == StreamKind::Dash) {
        stream->durationSeconds = playlist.durationSeconds;
        stream->ownRangeBytes = playlist.byteRangeTotal;
    }
    Own(playlist, stream->id, facts.url);
    ReportStream(*stream, true);
    // Its copy is opened once the sighting passed the ignore check (or it has one already).
    plan = {};
    plan.kind = CopyPlan::Kind::Stream;
    plan.report = pending.size() - 1;
    plan.stream = stream->id;
    plan.url = facts.url;
    plan.streamKind = playlist.kind;
}

struct MessageMediaRules::Decision {
    std::vector<Pending> reports;
    CopyPlan plan;
    // A playlist's decoded text and what it names (Stream, Playlist plans).
    std::string_view text;
    const StreamPlaylist* playlist = nullptr;
};

void MessageMediaRules::SetCopySink(MediaCopySink* copies) {
    std::lock_guard lock(m_mutex);
    m_copies = copies;
}

std::size_t MessageMediaRules::OnResponseHead(const HttpExchange& exchange) {
    return Start(exchange, false).prefix;
}

HttpExchangeSink::BodyRequest MessageMediaRules::OnResponseStart(const HttpExchange& exchange) {
    return Start(exchange, true);
}

HttpExchangeSink::BodyRequest MessageMediaRules::Start(const HttpExchange& exchange,
                                                       bool keepCopies) {
    if (m_headWatch)
        m_headWatch(exchange);
    const std::optional<Facts> facts = Examine(exchange);
    if (!facts)
        return {};
    std::size_t ask = 0;
    Decision decision;
    {
        std::lock_guard lock(m_mutex);
        State& state = *m_state;
        state.plan = {};
        if (const std::optional<Owner> owner = state.FindOwner(facts->key)) {
            if (owner->role == Role::Playlist) {
                if (facts->whole)
                    ask = PlaylistAsk(*facts);
            } else {
                if (owner->role == Role::Segment)
                    state.CountSegment(*facts, owner->stream);
                state.PlanPart(*facts, *owner);
            }
        } else if (facts->playlistCandidate) {
            ask = PlaylistAsk(*facts);
        } else if (facts->size && *facts->size >= MediaCatalogue::kMinimumSize) {
            if (facts->start == 0) {
                ask = facts->bodyLength ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                              *facts->bodyLength, kSniffBytes))
                                        : kSniffBytes;
            } else {
                // A later range: its bytes are no file's start, only its type can tell. One
                // its type does not tell may still belong to a medium whose copy is kept.
                state.HandleMedia(exchange, *facts, {});
                if (state.plan.kind == CopyPlan::Kind::None && facts->partial) {
                    state.plan.kind = CopyPlan::Kind::Join;
                    state.plan.file = {facts->url, Validator(exchange), facts->copyTotal};
                    state.plan.start = facts->start;
                    state.plan.coded = facts->coded;
                }
            }
        }
        decision.reports.swap(state.pending);
        decision.plan = std::move(state.plan);
    }
    BodyRequest request;
    request.prefix = ask;
    request.receiver = Settle(decision, keepCopies);
    return request;
}

void MessageMediaRules::OnResponseBody(const HttpExchange& exchange, std::string_view body,
                                       bool complete) {
    Prefix(exchange, body, complete, false);
}

std::unique_ptr<HttpBodyReceiver> MessageMediaRules::OnResponsePrefix(const HttpExchange& exchange,
                                                                      std::string_view body,
                                                                      bool complete,
                                                                      bool follows) {
    std::unique_ptr<HttpBodyReceiver> receiver = Prefix(exchange, body, complete, true);
    if (!receiver)
        return nullptr;
    // A file medium known by these bytes: its copy starts with them.
    if (!body.empty())
        receiver->OnBodyBytes(0, reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    if (follows)
        return receiver;
    receiver->OnBodyEnd(complete);
    return nullptr;
}

std::unique_ptr<HttpBodyReceiver> MessageMediaRules::Prefix(const HttpExchange& exchange,
                                                            std::string_view body, bool complete,
                                                            bool keepCopies) {
    const std::optional<Facts> facts = Examine(exchange);
    if (!facts)
        return nullptr;
    // Decoding runs outside the lock: it is the costly part.
    const std::size_t bound = facts->playlistCandidate ? kMaxPlaylistBytes : kSmallDecodeBytes;
    std::optional<DecodedBody> decoded = facts->encoding != nullptr
                                             ? DecodeContentCodings(*facts->encoding, body, bound)
                                             : DecodeContentCodings("", body, bound);
    std::string_view text = decoded ? std::string_view(decoded->bytes) : std::string_view();
    const bool cut = !complete || (decoded && decoded->cut);
    std::optional<StreamPlaylist> playlist;
    if (LooksLikeHls(text))
        playlist = ParseHlsPlaylist(text, facts->url, cut);
    else if (LooksLikeDash(text))
        playlist = ParseDashManifest(text, facts->url);
    if (playlist && cut) {
        // Part of a manifest: what it names is owned, but its byte total is no total.
        playlist->truncated = true;
        if (playlist->kind == StreamKind::Dash)
            playlist->byteRangeTotal = 0;
    }

    Decision decision;
    {
        std::lock_guard lock(m_mutex);
        State& state = *m_state;
        state.plan = {};
        if (playlist) {
            state.HandlePlaylist(exchange, *facts, *playlist);
        } else if (!state.FindOwner(facts->key)) {
            state.HandleMedia(exchange, *facts, text.substr(0, kSniffBytes));
        }
        decision.reports.swap(state.pending);
        decision.plan = std::move(state.plan);
    }
    if (playlist) {
        decision.text = text;
        decision.playlist = &*playlist;
    }
    return Settle(decision, keepCopies);
}

std::unique_ptr<HttpBodyReceiver> MessageMediaRules::Settle(Decision& decision, bool keepCopies) {
    for (Pending& pending : decision.reports) {
        pending.ignored =
            pending.sighting && m_ignore && m_ignore(WithoutScheme(pending.report.url));
    }
    std::unique_ptr<HttpBodyReceiver> receiver;
    CopyPlan& plan = decision.plan;
    const bool planned = keepCopies && plan.kind != CopyPlan::Kind::None &&
                         (plan.report >= decision.reports.size() ||
                          !decision.reports[plan.report].ignored);
    if (planned) {
        std::lock_guard lock(m_mutex);
        MediaCopySink* const copies = m_copies;
        if (copies != nullptr) {
            switch (plan.kind) {
                case CopyPlan::Kind::File: {
                    MediaCopySink::FileBody body =
                        copies->OpenFileBody(plan.file, plan.start, plan.partial, plan.coded);
                    if (plan.report < decision.reports.size())
                        decision.reports[plan.report].report.copyId = body.copyId;
                    receiver = std::move(body.receiver);
                    break;
                }
                case CopyPlan::Kind::Join:
                    receiver =
                        copies->JoinFileBody(plan.file, plan.start, plan.coded).receiver;
                    break;
                case CopyPlan::Kind::Stream: {
                    Stream* stream = m_state->FindStream(plan.stream);
                    if (stream != nullptr && stream->copyId == 0)
                        stream->copyId = copies->OpenStream(plan.url, plan.streamKind);
                    plan.copyId = stream != nullptr ? stream->copyId : 0;
                    if (plan.report < decision.reports.size())
                        decision.reports[plan.report].report.copyId = plan.copyId;
                    [[fallthrough]];
                }
                case CopyPlan::Kind::Playlist:
                    if (plan.copyId != 0 && decision.playlist != nullptr)
                        copies->KeepPlaylist(plan.copyId, plan.url, decision.text,
                                             *decision.playlist);
                    break;
                case CopyPlan::Kind::Part:
                    receiver =
                        copies->OpenStreamBody(plan.copyId, plan.url, plan.role, plan.namer,
                                               plan.start, plan.total, plan.partial, plan.coded);
                    break;
                case CopyPlan::Kind::None:
                    break;
            }
        }
    }
    for (Pending& pending : decision.reports) {
        if (!pending.ignored && m_sink)
            m_sink(std::move(pending.report));
    }
    return receiver;
}

void MessageMediaRules::OnExchange(const HttpExchange& exchange, std::string_view body,
                                   bool bodyComplete) {
    BodyRequest request = OnResponseStart(exchange);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(body.data());
    if (request.receiver) {
        if (!body.empty())
            request.receiver->OnBodyBytes(0, bytes, body.size());
        request.receiver->OnBodyEnd(bodyComplete);
    }
    if (request.prefix == 0)
        return;
    const std::size_t prefix = std::min(request.prefix, body.size());
    const bool follows = body.size() > request.prefix;
    std::unique_ptr<HttpBodyReceiver> receiver =
        OnResponsePrefix(exchange, body.substr(0, prefix), bodyComplete && !follows, follows);
    if (receiver) {
        receiver->OnBodyBytes(prefix, bytes + prefix, body.size() - prefix);
        receiver->OnBodyEnd(bodyComplete);
    }
}

std::string ExchangeUrl(const HttpExchange& exchange) {
    const HttpRequestHead& request = exchange.request;
    std::string scheme;
    for (const char c : request.scheme.substr(0, 6))
        scheme.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    if (scheme != "http" && scheme != "https")
        return {};
    const std::string_view target = request.target;
    if (target.size() > kMaxMediaUrlLength || !CleanUrlText(target))
        return {};
    // The absolute form, as a request through a proxy gives it.
    if (UrlKey(target, true).size() > 0)
        return std::string(target);
    if (target.empty() || target.front() != '/')
        return {};
    std::string authority = request.authority;
    if (authority.empty()) {
        const IpAddress& address = exchange.serverAddress;
        authority = address.IsIpv4() ? AddressText(address) : "[" + AddressText(address) + "]";
        const std::uint16_t defaultPort = scheme == "https" ? 443 : 80;
        if (exchange.serverPort != 0 && exchange.serverPort != defaultPort)
            authority += ":" + std::to_string(exchange.serverPort);
    }
    if (!CleanUrlText(authority) || authority.find_first_of("/?#@\\") != std::string::npos) {
        return {};
    }
    std::string url = scheme + "://" + authority + std::string(target);
    if (url.size() > kMaxMediaUrlLength)
        return {};
    return url;
}

std::string FetchHeaderBlock(std::string_view headerBlock) {
    std::string out;
    out.reserve(headerBlock.size());
    bool dropping = false;
    bool first = true;
    std::size_t position = 0;
    while (position < headerBlock.size()) {
        std::size_t end = headerBlock.find('\n', position);
        end = end == std::string_view::npos ? headerBlock.size() : end + 1;
        const std::string_view line = headerBlock.substr(position, end - position);
        position = end;
        if (first) {
            first = false;
            out.append(line);
            continue;
        }
        if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            if (!dropping)
                out.append(line);
            continue;  // a continuation of the header before
        }
        dropping = false;
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            const std::string_view name = TrimBlanks(line.substr(0, colon));
            for (const std::string_view drop : kPartialOrConditionalHeaders)
                dropping = dropping || EqualNoCase(name, drop);
        }
        if (!dropping)
            out.append(line);
    }
    return out;
}

std::optional<ContentRange> ParseContentRange(std::string_view value) {
    value = TrimBlanks(value);
    if (value.size() < 6 || !EqualNoCase(value.substr(0, 6), "bytes "))
        return std::nullopt;
    value = TrimBlanks(value.substr(6));
    const std::size_t dash = value.find('-');
    const std::size_t slash = value.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash)
        return std::nullopt;
    const auto first = ParseRangeNumber(TrimBlanks(value.substr(0, dash)));
    const auto last = ParseRangeNumber(TrimBlanks(value.substr(dash + 1, slash - dash - 1)));
    const std::string_view totalText = TrimBlanks(value.substr(slash + 1));
    if (!first || !last || *last < *first)
        return std::nullopt;
    ContentRange range{*first, *last, std::nullopt};
    if (totalText != "*") {
        range.total = ParseRangeNumber(totalText);
        if (!range.total || *range.total <= *last)
            return std::nullopt;
    }
    return range;
}
