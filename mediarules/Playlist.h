// HLS playlists and DASH manifests as the media rules read them: which variants a stream
// offers, how long it is, which URLs belong to it, and whether it can be fetched at all. The
// parsers take hostile text: every count, line and name is bounded, and a playlist past a
// bound is read as far as the bound and marked `truncated`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class StreamKind : std::uint8_t { Hls, Dash };

// Bounds of one playlist.
inline constexpr std::size_t kMaxPlaylistBytes = 8u << 20;  // decoded text
inline constexpr std::size_t kMaxPlaylistLineBytes = 16u << 10;
inline constexpr std::size_t kMaxPlaylistUrls = 50000;  // segments and named playlists
inline constexpr std::size_t kMaxStreamVariants = 256;
inline constexpr std::size_t kMaxSegmentPatterns = 256;

// One variant (HLS) or representation (DASH) of a stream.
struct StreamVariant {
    std::string url;              // HLS: the variant's own playlist; DASH: empty
    std::string id;               // DASH: the representation id
    std::uint64_t bandwidth = 0;  // bits per second, 0 when not given
    int width = 0;
    int height = 0;
    std::string codecs;      // printable ASCII, at most 64 characters
    bool audioOnly = false;  // no picture: an audio rendition or an audio-only variant
    // HLS: the AUDIO group the variant plays with, when that group has playlists of its own
    // (the variant's playlist then carries no sound).
    bool separateAudio = false;
    // HLS: that group's playlist (its DEFAULT=YES rendition, else its first one) when
    // separateAudio; empty otherwise.
    std::string audioUrl;
};

// A DASH segment template resolved against its base URL: the literal pieces between which
// $Number$ or $Time$ stand (digits). A URL belongs to it when its key (UrlKey without query)
// is the pieces with one or more digits between each pair.
struct SegmentPattern {
    std::vector<std::string> pieces;
};

struct StreamPlaylist {
    StreamKind kind = StreamKind::Hls;
    // HLS: a multivariant playlist (it names variants, not segments). DASH: always false.
    bool master = false;
    bool live = false;  // HLS without EXT-X-ENDLIST (and not VOD), DASH type="dynamic"
    bool drm = false;   // SAMPLE-AES, a key format other than identity, ContentProtection
    bool truncated = false;
    double durationSeconds = 0;  // EXTINF sum, mediaPresentationDuration or Period sum
    // Variants, best first: largest picture, then highest bandwidth; audio-only last.
    std::vector<StreamVariant> variants;
    // The bytes of the stream's segments when the playlist gives them all as byte ranges (HLS
    // EXT-X-BYTERANGE; DASH mediaRange, the best representation of each adaptation set); 0
    // when it does not.
    std::uint64_t byteRangeTotal = 0;
    std::size_t segmentCount = 0;
    // Absolute http(s) URLs the playlist names: media segments and initialisation sections,
    // and playlists (variants, renditions, reports). Each list without repeats.
    std::vector<std::string> segmentUrls;
    std::vector<std::string> playlistUrls;
    // HLS: the keys of AES-128 segments (EXT-X-KEY URI).
    std::vector<std::string> keyUrls;
    std::vector<SegmentPattern> segmentPatterns;
};

// Whether a decoded body is an HLS playlist (begins "#EXTM3U", after an optional byte order
// mark) or a DASH manifest (its root element is MPD).
bool LooksLikeHls(std::string_view text);
bool LooksLikeDash(std::string_view text);

// Reads an HLS playlist fetched from `playlistUrl` (against which its URIs resolve). Nothing
// when the text does not begin with #EXTM3U. `cut`: the text is a prefix, so its last line may
// be incomplete and is left out.
std::optional<StreamPlaylist> ParseHlsPlaylist(std::string_view text, std::string_view playlistUrl,
                                               bool cut = false);

// Reads a DASH manifest fetched from `manifestUrl`. Nothing when its root is not MPD or the XML
// is beyond the bounds before the root was read.
std::optional<StreamPlaylist> ParseDashManifest(std::string_view text,
                                                std::string_view manifestUrl);

// Whether `urlKey` (UrlKey without query) matches the pattern.
bool MatchesPattern(const SegmentPattern& pattern, std::string_view urlKey);

// The variant that a download takes: the best one when it plays alone (HLS: its playlist
// carries the sound too), else none (a download then takes the playlist itself and lets the
// converter choose). Empty for DASH.
std::string BestVariantUrl(const StreamPlaylist& playlist);

// The detail line of a live stream.
inline constexpr std::string_view kLiveNote = "Live stream";

// The text that says a stream cannot be fetched.
inline constexpr std::string_view kDrmNote = "DRM-protected: cannot be downloaded";

// The tool-tip lines of a stream entry: one per variant (at most 12, best first), "Live
// stream" for a live one, the DRM note. Lines end with "\n"; network text is printable ASCII.
std::string PlaylistDetail(const StreamPlaylist& playlist);

// Whether `a` comes before `b`: picture before sound alone, then the larger picture, then the
// higher bandwidth. Sorts variants best first (see StreamPlaylist::variants).
bool BetterVariant(const StreamVariant& a, const StreamVariant& b);
void SortVariants(std::vector<StreamVariant>& variants);
