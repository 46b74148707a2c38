// The work files of one download in the work folder, named from the record's index and size.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The media file keeps the form users know; the note and the script have forms of their own
// with a second dot, which no type can reach (an extension is letters and digits only), so that
// no Content-Type names the download like the script or the note.
struct WorkFiles {
    std::string urlNote;  // Sniffer_<index>_<size>.url.txt: the URL and a line end
    std::string script;   // Sniffer_<index>_<size>.convert.bat: the converter command
    std::string media;    // Sniffer_<index>_<size>.<extension>: the downloaded media
    std::string type;     // the record's type the media's name was made from
};

// The type text of a record made safe as a file-name extension: the type up to its first character
// that is not an ASCII letter or digit, at most 16 characters, "bin" when nothing is left ("mp4;
// codecs=..." gives "mp4", "../x" gives "bin"). The type comes from the network.
std::string WorkFileExtension(std::string_view type);

WorkFiles MakeWorkFiles(const std::string& folder, int index, std::uint64_t size,
                        std::string_view type);

// Whether the file at `path` is MP3 by its first bytes (an ID3 tag, or MPEG audio frames), as the
// media rules tell it: what the server called it does not count.
bool HoldsMp3(const std::string& path);

// Puts the downloaded work file `from` at the user's `to`, whole or not at all: renamed there
// when they share a file system and `to` is a regular file or nothing, otherwise copied beside
// `to` under a temporary name that then takes its place; `from` is gone afterwards. On failure
// `failure` says why (with the path the user chose) and a file that was at `to` stays.
bool PlaceWorkFile(const std::string& from, const std::string& to, std::string& failure);
