// The state of one copy in the capture spool, as the spool tells it and the record stream
// carries it: which medium it keeps (its id is the one its media reports carry), what is on
// disk, and why it stopped when it did.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class CopyKind : std::uint8_t {
    File = 1,    // one file: a whole answer, or the byte ranges of one URL and validator
    Stream = 2,  // an HLS or DASH stream: playlists, segments, initialisation sections, keys
};

enum class CopyState : std::uint8_t {
    Filling = 1,    // bodies are arriving
    Whole = 2,      // every byte of the medium is kept
    Holes = 3,      // nothing arrives, and some of the medium is missing
    Unchecked = 4,  // a stream whose playlists do not list every piece (DASH templates): what
                    // arrived is kept, whether it is all cannot be told
    Stopped = 5,    // the copy takes no more bytes (see CopyStop); what it kept stays
    Gone = 6,       // deleted: refused, off the list, or for the spool's size limit
};

enum class CopyStop : std::uint8_t {
    None = 0,
    DiskFull = 1,     // the file system had no room
    QueueFull = 2,    // the writer fell behind the capture
    Limit = 3,        // the spool's size limit (Stopped: this copy alone passed it; Gone:
                      // deleted, oldest first, to make room)
    Coded = 4,        // the server sent the medium content-coded (gzip, br, ...)
    WriteFailed = 5,  // the file could not be made or written
    Fragmented = 6,   // more separate byte ranges than a copy records
};

// A byte range kept: [first, end).
struct CopyInterval {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
    bool operator==(const CopyInterval&) const = default;
};

struct CopyStatus {
    // What a status carries of a file copy's intervals at most (the record stream stays
    // bounded); `intervalsCut` says that more were left out.
    static constexpr std::size_t kMaxIntervals = 512;

    std::uint64_t id = 0;
    CopyKind kind = CopyKind::File;
    CopyState state = CopyState::Filling;
    CopyStop stop = CopyStop::None;
    // Its name in the spool's folder: the file (file copies) or the folder (streams).
    std::string name;
    // File copies: the medium's size when known, and the byte ranges kept.
    std::optional<std::uint64_t> total;
    std::vector<CopyInterval> intervals;
    bool intervalsCut = false;
    // Bytes on disk (a stream: its pieces and playlists together).
    std::uint64_t keptBytes = 0;
    // Streams: the pieces kept, and of them those that are complete.
    std::uint32_t parts = 0;
    std::uint32_t wholeParts = 0;
};

// "whole", "holes", ..., and the stop's reason: for messages and the record stream's tests.
const char* CopyStateText(CopyState state);
const char* CopyStopText(CopyStop stop);
