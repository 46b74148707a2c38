// HLS playlists (RFC 8216): the tags that say what a stream is made of.
#include <charconv>
#include <cmath>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "mediarules/Playlist.h"
#include "mediarules/PlaylistText.h"
#include "mediarules/UrlReference.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Longest duration one segment may claim; a larger or odd value is not counted.
constexpr double kMaxSegmentSeconds = 7 * 86400.0;

// The tags the reader understands.
struct Tags {
    std::string_view header = "#EXTM3U";
    std::string_view streamInf = "#EXT-X-STREAM-INF:";
    std::string_view iFrameStreamInf = "#EXT-X-I-FRAME-STREAM-INF:";
    std::string_view media = "#EXT-X-MEDIA:";
    std::string_view segmentInfo = "#EXTINF:";
    std::string_view byteRange = "#EXT-X-BYTERANGE:";
    std::string_view map = "#EXT-X-MAP:";
    std::string_view key = "#EXT-X-KEY:";
    std::string_view sessionKey = "#EXT-X-SESSION-KEY:";
    std::string_view endList = "#EXT-X-ENDLIST";
    std::string_view playlistType = "#EXT-X-PLAYLIST-TYPE:";
    std::string_view part = "#EXT-X-PART:";
    std::string_view preloadHint = "#EXT-X-PRELOAD-HINT:";
    std::string_view renditionReport = "#EXT-X-RENDITION-REPORT:";
};
constexpr Tags kTags;

// Codec names that carry sound only.
constexpr std::string_view kAudioCodecs[] = {"mp4a", "ac-3", "ec-3", "opus", "flac",
                                             "fLaC", "mp3",  "alac", "dtsc", "ac-4"};
// Key methods that only a DRM system can undo.
constexpr std::string_view kDrmMethods[] = {"SAMPLE-AES", "SAMPLE-AES-CTR", "SAMPLE-AES-CENC"};

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::uint64_t ParseCount(std::string_view text) {
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            break;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return UINT64_MAX;
        value = value * 10 + digit;
    }
    return value;
}

int ParseSide(std::string_view text) {
    const std::uint64_t value = ParseCount(text);
    return value > 100000 ? 0 : static_cast<int>(value);
}

// The length of a byte range "n[@o]".
std::uint64_t RangeLength(std::string_view text) {
    return ParseCount(HlsTrimLine(text.substr(0, text.find('@'))));
}

std::string PrintableCodecs(std::string_view codecs) {
    std::string out;
    for (const char c : codecs.substr(0, 64)) {
        if (c > 0x20 && c < 0x7F)
            out.push_back(c);
    }
    return out;
}

bool AudioOnlyCodecs(std::string_view codecs) {
    if (codecs.empty())
        return false;
    std::size_t start = 0;
    while (start <= codecs.size()) {
        std::size_t end = codecs.find(',', start);
        if (end == std::string_view::npos)
            end = codecs.size();
        const std::string_view codec = HlsTrimLine(codecs.substr(start, end - start));
        bool audio = false;
        for (const std::string_view name : kAudioCodecs) audio = audio || StartsWith(codec, name);
        if (!codec.empty() && !audio)
            return false;
        start = end + 1;
    }
    return true;
}

// Adds resolved URLs to a playlist's lists, each once, within the bound.
class UrlCollector {
public:
    UrlCollector(StreamPlaylist& playlist, std::string_view base)
        : m_playlist(playlist), m_base(base) {}

    // The resolved URL (empty when it resolves to nothing fetchable).
    std::string Add(std::string_view reference, bool playlist) {
        std::string url = ResolveReference(m_base, reference);
        if (url.empty())
            return url;
        if (m_seen.size() >= kMaxPlaylistUrls) {
            m_playlist.truncated = true;
            return url;
        }
        if (m_seen.insert(url).second)
            (playlist ? m_playlist.playlistUrls : m_playlist.segmentUrls).push_back(url);
        return url;
    }

    // A key's URL (AES-128): owned like a segment, kept apart so that it counts for no size.
    void AddKey(std::string_view reference) {
        std::string url = ResolveReference(m_base, reference);
        if (url.empty())
            return;
        if (m_seen.size() >= kMaxPlaylistUrls) {
            m_playlist.truncated = true;
            return;
        }
        if (m_seen.insert(url).second)
            m_playlist.keyUrls.push_back(std::move(url));
    }

private:
    StreamPlaylist& m_playlist;
    std::string_view m_base;
    std::unordered_set<std::string> m_seen;
};

}  // namespace

std::string_view HlsTrimLine(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

std::optional<std::string_view> HlsAttribute(std::string_view list, std::string_view name) {
    std::size_t i = 0;
    while (i < list.size()) {
        const std::size_t equals = list.find('=', i);
        if (equals == std::string_view::npos)
            return std::nullopt;
        const std::string_view attributeName = HlsTrimLine(list.substr(i, equals - i));
        std::size_t end = equals + 1;
        std::string_view value;
        if (end < list.size() && list[end] == '"') {
            const std::size_t close = list.find('"', end + 1);
            if (close == std::string_view::npos)
                return std::nullopt;
            value = list.substr(end + 1, close - end - 1);
            end = list.find(',', close);
        } else {
            const std::size_t comma = list.find(',', end);
            value = HlsTrimLine(
                list.substr(end, comma == std::string_view::npos ? comma : comma - end));
            end = comma;
        }
        if (attributeName == name)
            return value;
        if (end == std::string_view::npos)
            return std::nullopt;
        i = end + 1;
    }
    return std::nullopt;
}

double HlsSeconds(std::string_view text) {
    double value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    (void)end;
    if (error != std::errc() || !std::isfinite(value) || value < 0 || value > kMaxSegmentSeconds)
        return -1;
    return value;
}

bool LooksLikeHls(std::string_view text) {
    if (StartsWith(text, kByteOrderMark))
        text.remove_prefix(kByteOrderMark.size());
    return StartsWith(text, kTags.header);
}

std::optional<StreamPlaylist> ParseHlsPlaylist(std::string_view text, std::string_view playlistUrl,
                                               bool cut) {
    if (!LooksLikeHls(text))
        return std::nullopt;
    text = text.substr(0, kMaxPlaylistBytes);
    StreamPlaylist playlist;
    playlist.kind = StreamKind::Hls;
    UrlCollector urls(playlist, playlistUrl);

    bool endList = false;
    bool vod = false;
    bool streamInfPending = false;
    StreamVariant pendingVariant;
    std::string pendingAudioGroup;
    std::vector<std::string> variantAudioGroups;
    // The playlist of each AUDIO group: its DEFAULT=YES rendition's, else its first one's.
    std::unordered_map<std::string, std::pair<std::string, bool>> audioGroupUrls;
    double pendingSeconds = -1;
    // The byte range of the segment to come (EXT-X-BYTERANGE), when one was given.
    bool rangePending = false;
    std::uint64_t pendingRange = 0;
    bool everySegmentRanged = true;
    std::uint64_t rangeSum = 0;
    double seconds = 0;

    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = text.find('\n', position);
        if (end == std::string_view::npos) {
            if (cut) {
                playlist.truncated = true;
                break;  // the last line may be incomplete
            }
            end = text.size();
        }
        const std::string_view raw = text.substr(position, end - position);
        position = end + 1;
        if (raw.size() > kMaxPlaylistLineBytes) {
            // Too long to be a line of a playlist; whatever it was waiting for is lost.
            playlist.truncated = true;
            streamInfPending = false;
            pendingSeconds = -1;
            rangePending = false;
            continue;
        }
        const std::string_view line = HlsTrimLine(raw);
        if (line.empty())
            continue;
        if (line.front() != '#') {
            if (streamInfPending) {
                streamInfPending = false;
                pendingVariant.url = urls.Add(line, true);
                if (!pendingVariant.url.empty() && playlist.variants.size() < kMaxStreamVariants) {
                    playlist.variants.push_back(pendingVariant);
                    variantAudioGroups.push_back(pendingAudioGroup);
                }
                continue;
            }
            ++playlist.segmentCount;
            if (pendingSeconds >= 0)
                seconds += pendingSeconds;
            if (rangePending)
                rangeSum += std::min<std::uint64_t>(pendingRange, UINT64_MAX - rangeSum);
            else
                everySegmentRanged = false;
            urls.Add(line, false);
            pendingSeconds = -1;
            rangePending = false;
            continue;
        }
        if (StartsWith(line, kTags.streamInf)) {
            const std::string_view list = line.substr(kTags.streamInf.size());
            streamInfPending = true;
            pendingVariant = {};
            pendingVariant.bandwidth = ParseCount(HlsAttribute(list, "BANDWIDTH").value_or(""));
            if (const auto resolution = HlsAttribute(list, "RESOLUTION")) {
                const std::size_t x = resolution->find_first_of("xX");
                if (x != std::string_view::npos) {
                    pendingVariant.width = ParseSide(resolution->substr(0, x));
                    pendingVariant.height = ParseSide(resolution->substr(x + 1));
                }
            }
            pendingVariant.codecs = PrintableCodecs(HlsAttribute(list, "CODECS").value_or(""));
            pendingVariant.audioOnly =
                pendingVariant.width == 0 && AudioOnlyCodecs(pendingVariant.codecs);
            pendingAudioGroup =
                std::string(HlsAttribute(list, "AUDIO").value_or("").substr(0, 256));
        } else if (StartsWith(line, kTags.iFrameStreamInf) ||
                   StartsWith(line, kTags.renditionReport)) {
            if (const auto uri = HlsAttribute(line.substr(line.find(':') + 1), "URI"))
                urls.Add(*uri, true);
        } else if (StartsWith(line, kTags.media)) {
            const std::string_view list = line.substr(kTags.media.size());
            if (const auto uri = HlsAttribute(list, "URI")) {
                std::string url = urls.Add(*uri, true);
                if (HlsAttribute(list, "TYPE").value_or("") == "AUDIO" && !url.empty() &&
                    audioGroupUrls.size() < kMaxStreamVariants) {
                    const bool preferred = HlsAttribute(list, "DEFAULT").value_or("") == "YES";
                    auto [known, added] = audioGroupUrls.try_emplace(
                        std::string(HlsAttribute(list, "GROUP-ID").value_or("").substr(0, 256)),
                        url, preferred);
                    if (!added && preferred && !known->second.second)
                        known->second = {std::move(url), true};
                }
            }
        } else if (StartsWith(line, kTags.segmentInfo)) {
            const std::string_view value = line.substr(kTags.segmentInfo.size());
            pendingSeconds = HlsSeconds(HlsTrimLine(value.substr(0, value.find(','))));
        } else if (StartsWith(line, kTags.byteRange)) {
            rangePending = true;
            pendingRange = RangeLength(line.substr(kTags.byteRange.size()));
        } else if (StartsWith(line, kTags.map)) {
            const std::string_view list = line.substr(kTags.map.size());
            if (const auto uri = HlsAttribute(list, "URI"))
                urls.Add(*uri, false);
            if (const auto range = HlsAttribute(list, "BYTERANGE"))
                rangeSum += std::min<std::uint64_t>(RangeLength(*range), UINT64_MAX - rangeSum);
        } else if (StartsWith(line, kTags.key) || StartsWith(line, kTags.sessionKey)) {
            const std::string_view list = line.substr(line.find(':') + 1);
            const std::string_view method = HlsAttribute(list, "METHOD").value_or("NONE");
            for (const std::string_view drm : kDrmMethods) playlist.drm |= method == drm;
            if (method != "NONE") {
                const auto format = HlsAttribute(list, "KEYFORMAT");
                playlist.drm |= format.has_value() && *format != "identity";
            }
            if (method == "AES-128") {
                if (const auto uri = HlsAttribute(list, "URI"))
                    urls.AddKey(*uri);
            }
        } else if (StartsWith(line, kTags.endList)) {
            endList = true;
        } else if (StartsWith(line, kTags.playlistType)) {
            vod = vod || HlsTrimLine(line.substr(kTags.playlistType.size())) == "VOD";
        } else if (StartsWith(line, kTags.part) || StartsWith(line, kTags.preloadHint)) {
            if (const auto uri = HlsAttribute(line.substr(line.find(':') + 1), "URI"))
                urls.Add(*uri, false);
        }
    }

    for (std::size_t i = 0; i < playlist.variants.size(); ++i) {
        const auto group = variantAudioGroups[i].empty()
                               ? audioGroupUrls.end()
                               : audioGroupUrls.find(variantAudioGroups[i]);
        if (group != audioGroupUrls.end()) {
            playlist.variants[i].separateAudio = true;
            playlist.variants[i].audioUrl = group->second.first;
        }
    }
    playlist.master = !playlist.variants.empty();
    SortVariants(playlist.variants);
    if (!playlist.master) {
        playlist.live = !endList && !vod;
        playlist.durationSeconds = seconds;
        if (playlist.segmentCount > 0 && everySegmentRanged && !playlist.truncated)
            playlist.byteRangeTotal = rangeSum;
    }
    return playlist;
}
