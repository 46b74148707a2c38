// The segments of one rendition of an HLS or DASH stream, in play order, as the stream fetcher
// fetches them: every URL, byte range, initialisation section and key it needs to put the
// rendition together from local files. The readers take hostile text and keep the bounds of
// Playlist.h; what they cannot enumerate whole they refuse with a reason, never in part.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// `length` bytes from `offset` of a resource; a length of 0 is the whole resource.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool operator==(const ByteRange&) const = default;
};

// An initialisation section (HLS EXT-X-MAP, DASH Initialization): bytes that the segments after
// it need in front of them.
struct InitSection {
    std::string url;
    ByteRange range;
    int key = -1;  // HLS: the key it is encrypted with (always with its own IV), -1 for none
};

// An AES-128 key (CBC, PKCS#7 padding) of HLS segments.
struct SegmentKey {
    std::string url;
    bool explicitIv = false;  // else the segment's media sequence number is the IV
    std::array<unsigned char, 16> iv{};
};

struct MediaSegment {
    std::string url;
    ByteRange range;
    double seconds = 0;
    // Where the segment stands in its rendition: the HLS media sequence number, or the DASH
    // segment's start in microseconds of the presentation; `next` is where the one after it
    // stands, so that a live playlist that skipped some shows the gap.
    std::uint64_t position = 0;
    std::uint64_t next = 0;
    int init = -1;               // index into MediaTrack::inits, -1 for none
    int key = -1;                // index into MediaTrack::keys, -1 when not encrypted
    bool discontinuity = false;  // the timestamps may start afresh here
};

// The segments of one rendition.
struct MediaTrack {
    std::vector<MediaSegment> segments;
    std::vector<InitSection> inits;
    std::vector<SegmentKey> keys;
    double seconds = 0;        // the segments' durations added up
    double targetSeconds = 0;  // HLS: EXT-X-TARGETDURATION; DASH: the longest segment
    bool live = false;         // more segments are to come (HLS without EXT-X-ENDLIST)
    // Why the rendition cannot be fetched whole (DRM, a gap, a bound, an addressing the reader
    // does not enumerate); empty when it can.
    std::string refusal;
};

// The segments of an HLS media playlist fetched from `playlistUrl`. Nothing when the text is no
// HLS playlist or is a multivariant one (it names variants, not segments).
std::optional<MediaTrack> ReadHlsSegments(std::string_view text, std::string_view playlistUrl);

// What a DASH manifest offers to fetch: the best picture representation of each period (with
// its sound when it carries it) and, when the sound is an adaptation set of its own, the best
// sound representation; their segments one track each, periods one after another.
struct DashTracks {
    MediaTrack main;
    std::optional<MediaTrack> audio;
    bool live = false;         // type="dynamic"
    double updateSeconds = 0;  // minimumUpdatePeriod, 0 when none
    std::string refusal;       // as MediaTrack::refusal, for the whole manifest
};

// Reads a DASH manifest fetched from `manifestUrl`. Nothing when its root is not MPD.
std::optional<DashTracks> ReadDashSegments(std::string_view text, std::string_view manifestUrl);

// The extension a segment (or an initialisation section, `init`) kept as a local file gets, by
// its first bytes (`head`, `size` of them): the converter's playlist reader opens only files
// whose names end as media do, and newer ones want the name to match the content.
std::string LocalSegmentExtension(const unsigned char* head, std::size_t size, bool init);
