// The program's front end without a window: decoding, detection and the catalogue's rules over
// a capture file (--read) or over live adapters (--watch), one accepted record per line.
#pragma once

#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "capture/FrameDecoder.h"
#include "capture/MediaCatalogue.h"

// When the arguments ask for a headless command, runs it and gives its exit status; otherwise
// gives nothing and the caller goes on to the window. Needs no display and no Qt.
std::optional<int> RunHeadlessCommand(int argc, char** argv);

// Lists the media in a capture file on `out`; errors go to `err` as one line. The local address
// is `localAddress`, or else the source of the first packet carrying a GET request.
int RunReadCommand(const std::string& fileName, std::optional<Ipv4Address> localAddress,
                   std::FILE* out, std::FILE* err);

// Captures on every usable adapter and prints each accepted record until SIGINT or SIGTERM.
int RunWatchCommand(std::FILE* out, std::FILE* err);

// One record as a line: number, time sniffed, type, size in bytes, URL, tab-separated, with
// control bytes (network text) written as \xNN so that a line stays one line and a terminal
// never receives them.
std::string RecordLine(const SniffedMedia& record);

// The usage lines of the headless commands, for --help.
extern const char* const kHeadlessUsage;
