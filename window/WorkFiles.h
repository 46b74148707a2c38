// The work files of one download in the work folder, named from the record's index and size.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct WorkFiles {
    std::string urlNote;  // Sniffer_<index>_<size>.txt: the URL and a line end
    std::string script;   // Sniffer_<index>_<size>.bat: the converter command
    std::string media;    // Sniffer_<index>_<size>.<extension>: the downloaded media
};

// The type text of a record made safe as a file-name extension: the type up to its first character
// that is not an ASCII letter or digit, at most 16 characters, "bin" when nothing is left ("mp4;
// codecs=..." gives "mp4", "../x" gives "bin"). The type comes from the network.
std::string WorkFileExtension(std::string_view type);

WorkFiles MakeWorkFiles(const std::string& folder, int index, std::uint64_t size,
                        std::string_view type);
