// The record stream between the capture helper and the program that started it: what the
// helper tells (its sessions, each media record, notices, statistics) on its standard output,
// and the parent's commands (ignore a URL, stop) on its standard input.
//
// Each direction starts with a stream header (magic "PXRS", version, two zero bytes), then
// frames of type (1 byte), payload length (4 bytes, big-endian) and payload. Every length is
// bounded before anything is allocated for it, and a payload must be used up exactly by its
// type's fields. A media record and a copy's state carry their fields tagged (tag, length,
// bytes), so that later fields can be added: a reader skips tags it does not know. Frame types
// from 128 up may be skipped: a reader that does not know one passes over it (within the
// payload bound), so that later messages can be added too; the copies' frames are of them. Both sides treat the other's bytes
// as hostile: the parent holds no rights but decodes pictures and network text, the helper
// holds capture handles; neither may be able to make the other misbehave with its stream.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "capture/PacketSniffer.h"
#include "catalogue/MediaReport.h"
#include "spool/CopyStatus.h"

inline constexpr std::array<char, 4> kRecordStreamMagic = {'P', 'X', 'R', 'S'};
inline constexpr std::uint16_t kRecordStreamVersion = 1;
inline constexpr std::size_t kStreamHeaderBytes = 8;
inline constexpr std::size_t kFrameHeaderBytes = 5;
// The longest text of any field: an adapter name, an error text, a URL, a request's header
// block, a notice.
inline constexpr std::size_t kMaxTextBytes = 256 << 10;
// The number of texts a media record carries.
inline constexpr std::size_t kMediaTexts = 8;
// The longest payload of any frame: a media record with every text at its longest fits, with
// its session, tags, lengths and fixed fields.
inline constexpr std::size_t kMaxPayloadBytes = kMediaTexts * (kMaxTextBytes + 5) + 64;
// The most copies of one URL a single ignore command may ask for, and the most entries a
// session's ignore list takes from commands.
inline constexpr std::uint32_t kMaxIgnoreCount = 64;
inline constexpr std::size_t kMaxIgnoreEntries = 4096;

// Helper to parent.
struct SessionOpened {  // a session opened its adapter and captures
    std::uint32_t session = 0;
    std::string adapterName;
};
struct SessionFailed {  // a session could not open its adapter, and why
    std::uint32_t session = 0;
    std::string adapterName;
    std::string errorText;
};
struct SessionsListed {};  // every session has been told; records may follow
struct MediaRecord {
    std::uint32_t session = 0;
    MediaReport report;
};
struct UrlIgnored {  // an ignore-list entry suppressed a sighting of this URL
    std::uint32_t session = 0;
    std::string url;
};
struct IgnoreEntriesDropped {  // the session's ignore list let its `count` oldest entries go
    std::uint32_t session = 0;
    std::uint32_t count = 0;
};
struct Notice {  // a line for the user about the capture as a whole
    std::string text;
};
struct SessionStatistics {  // the capture library's counts of a session, once it stopped
    std::uint32_t session = 0;
    CaptureStatistics statistics;
};
struct StreamEnd {};  // the helper stops; nothing follows
struct CopyChanged {  // the state of a copy in the spool the helper writes (--spool-fd)
    CopyStatus status;
};

// Parent to helper.
struct IgnoreCommand {  // the session's next `count` sightings of `url` are not reported
    std::uint32_t session = 0;
    std::string url;
    std::uint32_t count = 0;
};
struct StopCommand {};
struct DiscardCopyCommand {  // the copy's entry was refused or left the list: delete it
    std::uint64_t copyId = 0;
};

using StreamMessage =
    std::variant<SessionOpened, SessionFailed, SessionsListed, MediaRecord, UrlIgnored,
                 IgnoreEntriesDropped, Notice, SessionStatistics, StreamEnd, IgnoreCommand,
                 StopCommand, CopyChanged, DiscardCopyCommand>;

// The two directions of the stream; each takes only its own messages.
enum class StreamDirection { FromHelper, ToHelper };

// The header that starts a stream.
std::string RecordStreamHeader();

// Appends one framed message to `out`. False, appending nothing, when a text is longer than
// kMaxTextBytes, an ignore count is 0 or above kMaxIgnoreCount, a count of dropped entries is
// 0, or a duration is not a finite number of at least 0.
bool EncodeMessage(const StreamMessage& message, std::string& out);

// Cuts every text of a report to kMaxTextBytes, so that it can always be encoded.
void FitForRecordStream(MediaReport& report);

// Reads a stream incrementally: bytes may arrive split anywhere. The first fault ends the
// stream for good.
class RecordStreamDecoder {
public:
    explicit RecordStreamDecoder(StreamDirection direction) : m_direction(direction) {}

    enum class Status { Message, NeedMore, Failed };

    // Adds bytes as they arrived. Nothing is decoded until Next.
    void Feed(std::string_view bytes);
    // The next whole message, or NeedMore, or Failed (see Failure). A frame whose header
    // announces more than the bound fails at once, before its payload arrives. A skippable
    // frame of a type this side does not know is passed over.
    Status Next(StreamMessage& message);
    // Why the stream failed.
    const std::string& Failure() const { return m_failure; }
    // Whether the stream may end here: its header was read and no frame is cut.
    bool AtMessageBoundary() const;

private:
    Status Fail(std::string reason);
    std::size_t Buffered() const { return m_buffer.size() - m_offset; }

    StreamDirection m_direction;
    std::string m_buffer;
    std::size_t m_offset = 0;
    bool m_headerRead = false;
    std::string m_failure;
};
