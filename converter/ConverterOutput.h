// What the program reads from the converter's output and writes into its scripts. Free functions
// over text, so they are tested on recorded output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Seconds after the last " time=" in `chunk` whose value is complete (something follows it):
// either a decimal number of seconds or the HH:MM:SS.ss form. 0 when there is none (time=N/A
// counts as none).
double ParseProgressTime(std::string_view chunk);

// Seconds of the first "Duration: HH:MM:SS.ss" in the converter's report, 0 when there is none
// or it is not a time (Duration: N/A). Never reads past the end of `output`.
double ParseDuration(std::string_view output);

// `path` quoted for sh so that nothing in it is expanded: single quotes, each ' written '\''.
std::string ShellQuote(std::string_view path);

// The duration-query script: the converter run on the input alone, no line end. The script
// execs the converter, so that the run's process and exit status are the converter's own.
// `inputArguments` go before the input as in ConversionCommand.
std::string DurationQueryCommand(std::string_view ffmpegExe, std::string_view inputPath,
                                 const std::vector<std::string>& inputArguments = {});

// The conversion script line (ending in one line end), exec'ing the converter as above.
// `options` is the trusted FFMpegAud setting and goes in unquoted; every path is quoted.
// `inputArguments` (options of the input, such as the request headers of a stream) go before
// the input, each quoted.
std::string ConversionCommand(std::string_view ffmpegExe, std::string_view inputPath,
                              std::string_view options, std::string_view outputPath,
                              const std::vector<std::string>& inputArguments = {});

// The input options of a downloaded file the converter reads: the file protocol alone, so that
// nothing in the file makes the converter open a URL, and a reader of one medium. The reader is
// the one the file's first bytes `start` show (its signature: mov for an MP4 whatever its type
// says), else the one its type names ("flv", "mp4", "webm", "ts", ...), else one the converter
// chooses among the readers of single media files: never one that opens the files a playlist
// or a list names (hls, dash, concat, ...).
std::vector<std::string> LocalInputArguments(std::string_view start, std::string_view type);

// The readers of single media files a file that tells nothing may be read with.
inline constexpr const char* kSingleMediaReaders =
    "flv,mov,matroska,mpegts,mp3,aac,ogg,flac,wav,avi,asf,mpeg";

// Up to `limit` bytes from the start of the regular file `path`; empty when it cannot be read
// (a pipe or a device is not read, and never blocks).
std::string ReadFileStart(const std::string& path, std::size_t limit);

// The part of the report that follows the converter's banner: the lines after the first line that
// holds "built with" (or "built on", older converters) read from the file `path`, in pieces of
// at most 4095 bytes like a 4096-byte line reader. Empty when no such line exists. When the file
// cannot be opened, `fallback` (the whole output) is the report.
std::string ConversionFailureText(const std::string& path, const std::string& fallback);

// What the failure report shows in its message box: the last `maxLines` lines of `report` as a
// terminal shows them (a line's text before its last carriage return is overwritten), each cut
// to its last `maxLineBytes` bytes. The whole report goes into the box's detail part.
std::string LastReportLines(std::string_view report, std::size_t maxLines = 20,
                            std::size_t maxLineBytes = 300);

// Writes the work file `path` (a note or a script) afresh with `text`. Work files are the user's
// own (mode 0600); a link planted at their name is never followed, and the file appears under
// its name only whole. False with errno set when it cannot be written whole.
bool WriteWorkFile(const std::string& path, std::string_view text);

// WriteWorkFile of `text` and one line end.
bool WriteTextFile(const std::string& path, std::string_view text);

// What a work file that cannot be written says: its path and the system's reason.
std::string WorkFileFailureText(const std::string& path, int error);
