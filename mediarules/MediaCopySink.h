// Where the media rules send the bodies of what they list, so that a listed medium can later be
// written from the bytes the capture already saw: the capture spool (spool/) implements it. The
// rules tell it which body belongs to which medium; it decides what it keeps.
//
// Its calls come from the capture threads (several at once, each under no lock of the rules)
// and must never block them for long: a copy that cannot keep up stops, the capture goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "httpmsg/HttpExchange.h"
#include "mediarules/Playlist.h"

// One medium that is one file: its URL and validator (ETag, else Last-Modified; may be empty)
// and its total size when the answer gave it. Bodies of one key are byte ranges of one file.
struct MediaFileKey {
    std::string url;
    std::string validator;
    std::optional<std::uint64_t> total;
};

// What a body of a stream is to the stream.
enum class StreamPartRole : std::uint8_t {
    Segment,  // a media segment or an initialisation section
    Key,      // the key of AES-128 segments
};

class MediaCopySink {
public:
    struct FileBody {
        std::uint64_t copyId = 0;  // 0: no copy is kept of this medium
        // Gets the body's bytes from its first (null: nothing more is wanted of it).
        std::unique_ptr<HttpBodyReceiver> receiver;
    };

    virtual ~MediaCopySink() = default;

    // A body of the file medium `key`, lying at `start` in it (a range's first byte, 0 for a
    // whole answer). `partial`: the answer is a range (206), so its end is not the medium's.
    // `coded`: the body has a content coding (a medium is not kept coded). Every body of one
    // key while its copy lives gives the same copy.
    virtual FileBody OpenFileBody(const MediaFileKey& key, std::uint64_t start, bool partial,
                                  bool coded) = 0;
    // The same for a body the rules cannot tell a medium by (a later range sent with a
    // generic type): it joins the copy of `key` when there is one, else nothing is kept.
    virtual FileBody JoinFileBody(const MediaFileKey& key, std::uint64_t start, bool coded) = 0;

    // A stream the rules list (its playlist at `playlistUrl`): its copy, 0 when none is kept.
    virtual std::uint64_t OpenStream(std::string_view playlistUrl, StreamKind kind) = 0;
    // A playlist of stream copy `copyId` (the listed one, a variant's or a rendition's): its
    // decoded text (whole unless `parsed.truncated`) and what it names.
    virtual void KeepPlaylist(std::uint64_t copyId, std::string_view url, std::string_view text,
                              const StreamPlaylist& parsed) = 0;
    // A body of stream copy `copyId`: the answer to `url`, named by the playlist at
    // `playlistUrl` (empty when not known), lying at `start` of the resource (a byte range's
    // first byte; `partial` for a range), `total` its whole size when known. Its receiver, or
    // null.
    virtual std::unique_ptr<HttpBodyReceiver> OpenStreamBody(
        std::uint64_t copyId, std::string_view url, StreamPartRole role,
        std::string_view playlistUrl, std::uint64_t start, std::optional<std::uint64_t> total,
        bool partial, bool coded) = 0;
};
