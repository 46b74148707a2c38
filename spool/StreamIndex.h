// The index of a stream's copy: a text file in the copy's folder that the spool's writer
// appends to as the copy grows, so that whoever reads the copy later (the --save writer, a
// local join of the segments) knows every piece without the process that wrote it:
//
//   pelnix-stream 1
//   stream  hls  URL                        the listed playlist
//   playlist  FILE  MASTER  URL             a playlist's latest text is FILE (0/1: a master)
//   part  N  ROLE  FILE  URL  NAMER         piece N (segment or key) is the answer to URL,
//                                           named by the playlist NAMER; in the order the
//                                           player fetched them
//   end  N  COMPLETE  BYTES  TOTAL          a body of piece N ended; the latest line counts
//
// Fields are tab-separated; URLs are written with every byte outside printable ASCII, and
// "%", as %XX, so that no field holds a tab or a line end. Reading it is bounded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mediarules/MediaCopySink.h"

inline constexpr std::string_view kStreamIndexName = "index";

struct StreamIndexPlaylist {
    std::string url;
    std::string file;
    bool master = false;
};

struct StreamIndexPart {
    std::uint32_t number = 0;
    StreamPartRole role = StreamPartRole::Segment;
    std::string file;
    std::string url;
    std::string namer;  // the playlist that named it; empty when not known
    bool complete = false;
    std::uint64_t bytes = 0;
    std::optional<std::uint64_t> total;
};

struct StreamIndex {
    StreamKind kind = StreamKind::Hls;
    std::string url;
    std::vector<StreamIndexPlaylist> playlists;  // each URL once, its latest file
    std::vector<StreamIndexPart> parts;          // in the order they were fetched

    const StreamIndexPart* FindPart(std::string_view url) const;
    const StreamIndexPlaylist* FindPlaylist(std::string_view url) const;
};

// The index's lines, with their line ends.
std::string StreamIndexHeader(StreamKind kind, std::string_view url);
std::string StreamIndexPlaylistLine(const StreamIndexPlaylist& playlist);
std::string StreamIndexPartLine(const StreamIndexPart& part);
std::string StreamIndexEndLine(const StreamIndexPart& part);

// Reads the index of the copy whose folder is open as `folderFd`. False with `error` set when
// it is missing or garbled; lines past a bound are left out.
bool ReadStreamIndex(int folderFd, StreamIndex& index, std::string& error);

// URL text as the index writes it, and back (nothing when it is garbled).
std::string EscapeIndexField(std::string_view text);
std::optional<std::string> UnescapeIndexField(std::string_view text);
