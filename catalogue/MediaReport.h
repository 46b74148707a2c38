// One media transfer as a detection rule reports it, before the catalogue's rules decide whether
// it is listed. The packet rules fill the first fields; the stream engine fills the rest too.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "frames/FrameDecoder.h"

struct MediaReport {
    std::string url;             // with its scheme: "http://host/path" or "https://host/path"
    std::string requestHeaders;  // the request's header block as it was sent
    std::string lengthText;      // the length as the answer gave it, e.g. "5242880\r\n"
    std::string typeText;        // the type text of the rule that matched, e.g. "x-flv\r\n"
    // Where the captured request went: a fetch that replays the request connects there and
    // nowhere else. Port in host order; 0 when unknown.
    IpAddress serverAddress;
    std::uint16_t serverPort = 0;

    // The stream engine's facts; empty or zero from the packet rules.
    // ETag or Last-Modified of a partial answer: with the URL it names one medium, so that the
    // ranges of one file join into one entry.
    std::string validator;
    // "" for a file; "hls" or "dash" for a playlist, listed whatever its size.
    std::string kind;
    // More about the entry, one item per line (a playlist's variants), for its tool tip.
    std::string detail;
    // The medium's duration when known (a playlist's), in seconds; 0 when unknown.
    double durationSeconds = 0;
    // A master playlist's best variant, with its scheme, when that variant's own playlist plays
    // alone (it carries the sound too): what a download of the stream fetches. Empty otherwise:
    // the download then takes the playlist itself.
    std::string variantUrl;
    // A partial answer (206): one range of the medium. Its other ranges join the medium's one
    // record, also once that record has left the list (MediaCatalogue remembers them).
    bool ranged = false;
    // Read from a capture file or a HAR, not sniffed: the file's addresses say nothing to
    // trust, so such an entry is fetched by its URL and never by replaying its request.
    bool fromFile = false;
    // The capture's copy of the medium's bytes (spool/), 0 when none is kept: the same for
    // every report of one medium (a ranged file's ranges, a stream's updates).
    std::uint64_t copyId = 0;
};

// A report of the four texts alone, as the packet rules give them.
inline MediaReport PlainReport(std::string url, std::string requestHeaders, std::string lengthText,
                               std::string typeText) {
    MediaReport report;
    report.url = std::move(url);
    report.requestHeaders = std::move(requestHeaders);
    report.lengthText = std::move(lengthText);
    report.typeText = std::move(typeText);
    return report;
}
