// The program's front end without a window: decoding, detection and the catalogue's rules over
// a capture file (--read) or over live adapters (--watch), one accepted record per line.
#pragma once

#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "capture/PacketSniffer.h"
#include "catalogue/MediaCatalogue.h"
#include "frames/FrameDecoder.h"
#include "streams/StreamOptions.h"

class MediaCopySink;
struct SaveOptions;

// How records are printed: tab-separated text (RecordLine) or one JSON object per line
// (RecordJson).
enum class OutputFormat { Tsv, Json };

// When the arguments ask for a headless command, runs it and gives its exit status; otherwise
// gives nothing and the caller goes on to the window. Needs no display and no Qt. Messages on
// standard error start with `programName`.
std::optional<int> RunHeadlessCommand(int argc, char** argv, std::string_view programName);

// How a capture file or a HAR is read, and where what it holds goes.
struct MediaFileReading {
    // This machine's address in its family (see RunReadCommand).
    std::optional<IpAddress> localAddress;
    StreamOptions stream;
    // Each media report, with the time the file gives it (the packet's, the HAR entry's).
    std::function<void(MediaReport report, std::time_t when)> report;
    // A line for the user about the file as a whole (an unreadable key log, HTTP/3 seen), each
    // once; may be empty.
    std::function<void(const std::string& text)> notice;
    // When set, the reading ends early, without an error, soon after it turns true.
    const std::atomic<bool>* stop = nullptr;
    // Where the bodies of listed media go (the capture spool); null: none are kept.
    MediaCopySink* copies = nullptr;
};

// Reads a capture file (pcap or pcapng, Ethernet) or a browser's HAR export (known by its
// first bytes) with the rules --read uses, on the calling thread, handing each report on as it
// is made, marked as read from a file. False with `error` set ("cannot read capture file
// 'NAME': why", or the same of a HAR file) when the file cannot be read to its end; the
// reports before the fault were handed on. What is not a regular file (a FIFO, a device) is
// refused at once, without waiting in open().
bool ReadMediaFile(const std::string& fileName, const MediaFileReading& reading,
                   std::string& error);

// Lists the media in a capture file on `out`; errors go to `err` as one line. This machine's
// address in the family of `localAddress` is that address; in a family without one, it is the
// source of the first packet of that family carrying a GET request. With `stream` asking for
// the stream engine (a key log, or the rules streams), the engine reads the file beside the
// packet rules (or in their place), and each record is printed as it stands once the catalogue
// can no longer change it; so are the records of a HAR; otherwise each record is printed as it
// is accepted, and again (same number, new values; in JSON marked as an update) whenever the
// catalogue changes it. When `stop` turns true the reading ends soon, and the records found so
// far are printed (status 0). With `save`, every listed medium is written into its folder from
// the bytes the file holds (headless/MediaSaveSession.h), also when the reading was stopped.
int RunReadCommand(const std::string& fileName, std::optional<IpAddress> localAddress,
                   std::FILE* out, std::FILE* err, std::string_view programName = "pelnix",
                   const StreamOptions& stream = {}, const std::atomic<bool>* stop = nullptr,
                   OutputFormat format = OutputFormat::Tsv, const SaveOptions* save = nullptr);

// Captures on every usable adapter through the capture helper at `helperPath` (empty: the one
// beside the program or installed with it), with the stream engine as `stream` asks, and prints
// each accepted record, and each change of a listed one as an update line (a stream's size as
// its segments are seen), until SIGINT or SIGTERM, or until the helper ends on its own; the
// helper's notices go to `err`, each once. Then one line per adapter on `err` with the packets
// received, dropped by the kernel and dropped by the interface.
// With `save`, every listed medium is written into its folder from the capture's copy, which
// the helper keeps.
int RunWatchCommand(std::FILE* out, std::FILE* err, std::string_view programName = "pelnix",
                    std::string helperPath = {}, const StreamOptions& stream = {},
                    OutputFormat format = OutputFormat::Tsv, const SaveOptions* save = nullptr);

// The statistics line of one adapter at the end of a watch (with its line end), its name escaped
// as in RecordLine.
std::string StatisticsLine(std::string_view programName, std::string_view adapterName,
                           const CaptureStatistics& statistics);

// One record as a line: number, time sniffed, type, size in bytes, URL, tab-separated, with
// every byte that is not printable ASCII (network text) written as \xNN, so that a line stays
// one line and a terminal never receives a control.
std::string RecordLine(const SniffedMedia& record);

// One record as a JSON object on one line (with its line end): "number", "time" (the moment of
// sniffing, ISO 8601 in UTC), "type", "size" (bytes), "url", "kind" ("file", "ranged", "hls",
// "dash"), for a stream "variants" (its variants as the entry's tool tip describes them, best
// first; empty while none is known), and "update": true when `update`. Network text is
// escaped as JSON needs, and so that no control reaches a terminal: '"', '\\', C0 and C1
// controls and DEL as escapes; a byte that is not part of valid UTF-8 becomes U+FFFD.
std::string RecordJson(const SniffedMedia& record, bool update = false);

// The JSON string literal of `text`, quotes included, escaped as in RecordJson.
std::string JsonString(std::string_view text);

// "tsv" or "json"; nothing for any other text.
std::optional<OutputFormat> ParseOutputFormat(std::string_view text);

// The usage lines of the headless commands, for --help.
extern const char* const kHeadlessUsage;
