// How the media rules tell media from other bodies: the containers known by their first bytes,
// and what a Content-Type value says. Each is one table in MediaSignatures.cpp; nothing else
// compares media bytes or type names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum class Container : std::uint8_t {
    None,
    Flv,
    Mp3,
    Mp4,   // ISO base media file (ftyp first)
    Webm,  // Matroska whose DocType is webm
    Mkv,   // Matroska whose DocType is matroska, or whose DocType lies past the bytes at hand
    Ogg,
    Ts,   // MPEG transport stream
    Aac,  // ADTS
    Flac,
    Wav,
    // A piece of a stream that cannot play alone: a movie fragment (first box styp, moof, sidx,
    // emsg or prft), a Matroska cluster, or packed audio stamped for an HLS stream. Never a
    // medium of its own.
    Fragment,
};

// Enough of a body's start to settle every signature (the longest MPEG audio frame and its
// successor's header, three transport stream packets, a Matroska header with its DocType).
inline constexpr std::size_t kSignaturePrefixBytes = 4096;

// The container whose signature `prefix` (the first bytes of a body, as many as are at hand)
// carries; None when none does. Near misses are not media: text that starts with "ftyp", a
// single transport stream sync byte, one MPEG audio frame header followed by something else.
// `anyType` (when given) tells whether the signature makes media of a body of any content type
// (a body beginning "FLV" or "ID3").
Container DetectContainer(std::string_view prefix, bool* anyType = nullptr);

// The list's type text for a container: "mp4", "webm", "mkv", "ogg", "ts", "mp3", "aac",
// "flac", "wav", "flv"; empty for None and Fragment.
std::string_view ContainerTypeText(Container container);

enum class ContentClass : std::uint8_t {
    Absent,   // no Content-Type at all
    Generic,  // application/octet-stream, binary/octet-stream: media only by their bytes
    Video,    // any video/ type
    Audio,    // any audio/ type but the playlist ones
    Hls,      // an HLS playlist type
    Dash,     // a DASH manifest type
    Text,     // plain text or XML: a playlist may come so, media never
    Other,
};

struct ContentType {
    ContentClass contentClass = ContentClass::Absent;
    Container container = Container::None;  // what the type names, when it names one
    // The type's subtype, lower case, at most 16 characters of [a-z0-9.+-]: the type text of a
    // video or audio type that names no known container ("x-ms-wmv").
    std::string subtype;
};

// What a Content-Type header value says ("Video/MP4; codecs=avc1" is video, mp4). Null or
// blank gives Absent.
ContentType ClassifyContentType(const std::string* headerValue);

// Whether a URL path's last segment ends with an extension that only stream segments use
// (".m4s", ".cmfv", ...). `path` may carry a query, which is ignored.
bool HasSegmentOnlyExtension(std::string_view path);

// Whether a path names a playlist by its extension (".m3u8", ".m3u", ".mpd").
bool HasPlaylistExtension(std::string_view path);
