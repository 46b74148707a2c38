// The segments of an HLS media playlist (RFC 8216, section 4.3.2), for the stream fetcher.
#include <cstring>
#include <limits>

#include "base/Text.h"
#include "mediarules/Playlist.h"
#include "mediarules/PlaylistText.h"
#include "mediarules/StreamSegments.h"
#include "mediarules/UrlReference.h"

namespace {

constexpr std::string_view kDrmRefusal = "DRM-protected streams cannot be saved.";

bool HlsTag(std::string_view line, std::string_view tag) {
    return line.substr(0, tag.size()) == tag;
}

// A decimal count of an HLS tag, saturating.
std::uint64_t HlsCount(std::string_view text) {
    std::size_t digits = 0;
    return LeadingDecimal(HlsTrimLine(text), digits);
}

// "n[@o]": the length, and the offset when one is given.
std::uint64_t HlsRange(std::string_view text, std::optional<std::uint64_t>& offset) {
    const std::size_t at = text.find('@');
    offset.reset();
    if (at != std::string_view::npos)
        offset = HlsCount(text.substr(at + 1));
    return HlsCount(text.substr(0, at));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// An IV attribute: "0x" and at most 32 hexadecimal digits, right-aligned in 16 bytes.
bool ParseIv(std::string_view text, std::array<unsigned char, 16>& iv) {
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return false;
    text.remove_prefix(2);
    if (text.size() > 32)
        return false;
    iv.fill(0);
    std::size_t nibble = 0;
    for (std::size_t i = text.size(); i-- > 0; ++nibble) {
        const int digit = HexDigit(text[i]);
        if (digit < 0)
            return false;
        const std::size_t byte = 15 - nibble / 2;
        iv[byte] = static_cast<unsigned char>(iv[byte] | (nibble % 2 ? digit << 4 : digit));
    }
    return true;
}

}  // namespace

std::optional<MediaTrack> ReadHlsSegments(std::string_view text, std::string_view playlistUrl) {
    if (!LooksLikeHls(text))
        return std::nullopt;
    MediaTrack track;
    if (text.size() > kMaxPlaylistBytes) {
        track.refusal = "The playlist is larger than 8 MiB.";
        return track;
    }
    bool endList = false;
    bool vod = false;
    std::uint64_t sequence = 0;
    double pendingSeconds = -1;
    bool rangePending = false;
    std::uint64_t pendingLength = 0;
    std::optional<std::uint64_t> pendingOffset;
    bool discontinuityPending = false;
    int key = -1;
    int init = -1;
    // Where the last byte range ended, in which resource: a range without an offset goes on
    // from there.
    std::string lastRangeUrl;
    std::uint64_t lastRangeEnd = 0;
    const auto refuse = [&track](std::string why) {
        track.refusal = std::move(why);
        return track;
    };

    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = text.find('\n', position);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view raw = text.substr(position, end - position);
        position = end + 1;
        if (raw.size() > kMaxPlaylistLineBytes)
            return refuse("The playlist has a line longer than 16 KiB.");
        const std::string_view line = HlsTrimLine(raw);
        if (line.empty())
            continue;
        if (line.front() != '#') {
            const std::size_t number = track.segments.size() + 1;
            if (track.segments.size() >= kMaxPlaylistUrls)
                return refuse("The playlist names more than 50000 segments.");
            MediaSegment segment;
            segment.url = ResolveReference(playlistUrl, line);
            if (segment.url.empty()) {
                return refuse("Segment " + std::to_string(number) +
                              " of the playlist has no http or https address.");
            }
            if (rangePending) {
                if (!pendingOffset && segment.url != lastRangeUrl) {
                    return refuse("The byte range of segment " + std::to_string(number) +
                                  " has no start.");
                }
                segment.range.offset = pendingOffset.value_or(lastRangeEnd);
                segment.range.length = pendingLength;
                if (pendingLength == 0 ||
                    segment.range.offset >
                        std::numeric_limits<std::uint64_t>::max() - pendingLength)
                    return refuse("The byte range of segment " + std::to_string(number) +
                                  " is not a range.");
                lastRangeUrl = segment.url;
                lastRangeEnd = segment.range.offset + segment.range.length;
            } else {
                lastRangeUrl.clear();
            }
            segment.seconds = pendingSeconds > 0 ? pendingSeconds : 0;
            segment.position = sequence;
            segment.next =
                sequence == std::numeric_limits<std::uint64_t>::max() ? sequence : sequence + 1;
            sequence = segment.next;
            segment.init = init;
            segment.key = key;
            segment.discontinuity = discontinuityPending;
            track.seconds += segment.seconds;
            track.segments.push_back(std::move(segment));
            pendingSeconds = -1;
            rangePending = false;
            discontinuityPending = false;
            continue;
        }
        if (HlsTag(line, "#EXT-X-STREAM-INF:") || HlsTag(line, "#EXT-X-I-FRAME-STREAM-INF:"))
            return std::nullopt;  // a multivariant playlist
        if (HlsTag(line, "#EXTINF:")) {
            const std::string_view value = line.substr(8);
            pendingSeconds = HlsSeconds(HlsTrimLine(value.substr(0, value.find(','))));
        } else if (HlsTag(line, "#EXT-X-BYTERANGE:")) {
            rangePending = true;
            pendingLength = HlsRange(line.substr(17), pendingOffset);
        } else if (HlsTag(line, "#EXT-X-TARGETDURATION:")) {
            track.targetSeconds =
                static_cast<double>(std::min<std::uint64_t>(HlsCount(line.substr(22)), 86400));
        } else if (HlsTag(line, "#EXT-X-MEDIA-SEQUENCE:")) {
            if (track.segments.empty())
                sequence = HlsCount(line.substr(22));
        } else if (line == "#EXT-X-DISCONTINUITY") {
            discontinuityPending = true;
        } else if (HlsTag(line, "#EXT-X-GAP")) {
            return refuse("The playlist says that some of its segments are missing.");
        } else if (HlsTag(line, "#EXT-X-KEY:")) {
            const std::string_view list = line.substr(11);
            const std::string_view method = HlsAttribute(list, "METHOD").value_or("NONE");
            if (method == "NONE") {
                key = -1;
                continue;
            }
            const auto format = HlsAttribute(list, "KEYFORMAT");
            if (method != "AES-128" || (format && *format != "identity"))
                return refuse(std::string(kDrmRefusal));
            if (track.keys.size() >= kMaxPlaylistUrls)
                return refuse("The playlist names more than 50000 keys.");
            SegmentKey segmentKey;
            segmentKey.url = ResolveReference(playlistUrl, HlsAttribute(list, "URI").value_or(""));
            if (segmentKey.url.empty())
                return refuse("A key of the playlist has no http or https address.");
            if (const auto iv = HlsAttribute(list, "IV")) {
                if (!ParseIv(*iv, segmentKey.iv))
                    return refuse("A key of the playlist has an IV that is not 128 bits.");
                segmentKey.explicitIv = true;
            }
            track.keys.push_back(std::move(segmentKey));
            key = static_cast<int>(track.keys.size() - 1);
        } else if (HlsTag(line, "#EXT-X-MAP:")) {
            const std::string_view list = line.substr(11);
            if (track.inits.size() >= kMaxPlaylistUrls)
                return refuse("The playlist names more than 50000 initialisation sections.");
            InitSection section;
            section.url = ResolveReference(playlistUrl, HlsAttribute(list, "URI").value_or(""));
            if (section.url.empty())
                return refuse("An initialisation section has no http or https address.");
            if (const auto range = HlsAttribute(list, "BYTERANGE")) {
                std::optional<std::uint64_t> offset;
                section.range.length = HlsRange(*range, offset);
                section.range.offset = offset.value_or(0);
                if (section.range.length == 0 ||
                    section.range.offset >
                        std::numeric_limits<std::uint64_t>::max() - section.range.length)
                    return refuse("The byte range of an initialisation section is not a range.");
            }
            if (key >= 0 && !track.keys[static_cast<std::size_t>(key)].explicitIv)
                return refuse("An encrypted initialisation section has no IV.");
            section.key = key;
            track.inits.push_back(std::move(section));
            init = static_cast<int>(track.inits.size() - 1);
        } else if (line == "#EXT-X-ENDLIST") {
            endList = true;
        } else if (HlsTag(line, "#EXT-X-PLAYLIST-TYPE:")) {
            vod = vod || HlsTrimLine(line.substr(21)) == "VOD";
        }
    }
    track.live = !endList && !vod;
    if (track.segments.empty() && !track.live)
        return refuse("The playlist names no segment.");
    return track;
}

std::string LocalSegmentExtension(const unsigned char* head, std::size_t size, bool init) {
    if (size >= 1 && head[0] == 0x47)
        return "ts";
    for (const char* type : {"ftyp", "styp", "moof", "sidx", "moov", "emsg", "prft", "free"}) {
        if (size >= 8 && std::memcmp(head + 4, type, 4) == 0)
            return init ? "mp4" : "m4s";
    }
    if (size >= 3 && std::memcmp(head, "ID3", 3) == 0)
        return "aac";  // HLS packed audio begins with its timestamp tag
    if (size >= 2 && head[0] == 0xFF && (head[1] & 0xF6) == 0xF0)
        return "aac";
    if (size >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0)
        return "mp3";
    if (size >= 4 && std::memcmp(head, "\x1A\x45\xDF\xA3", 4) == 0)
        return "mkv";
    return init ? "mp4" : "ts";
}
