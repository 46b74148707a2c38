#include "converter/SavePromptText.h"

#include <algorithm>

SavePromptText MakeSavePromptText(const std::string& extension) {
    // The filter was a fixed 50-character buffer: longer text is cut at 49 characters.
    constexpr std::size_t kFilterChars = 49;
    const bool anyFile = extension == "???";
    std::string display = extension.substr(0, kFilterChars);
    for (char& c : display) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    std::string filter = anyFile ? std::string("File (*.*)#*.*##")
                                 : display + " File (*." + extension + ")#*." + extension + "##";
    filter.resize(std::min(filter.size(), kFilterChars));

    SavePromptText text;
    // The description before the first "#" names its own pattern in parentheses, which is the
    // form the file dialog reads.
    text.filter = filter.substr(0, filter.find('#'));
    // File names differ in case here, and a desktop's own file dialog matches patterns as
    // written: "*.MP3" alone would hide the user's "song.mp3". The pattern with the other case
    // joins it when the filter is whole.
    std::string otherCase = extension;
    for (char& c : otherCase) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    const std::string own = "(*." + extension + ")";
    if (!anyFile && otherCase != extension && text.filter.size() >= own.size() &&
        text.filter.compare(text.filter.size() - own.size(), own.size(), own) == 0) {
        text.filter.insert(text.filter.size() - 1, " *." + otherCase);
    }
    text.folderKey = extension == "avi" ? "CurrentFilePath" : "ProjectFilePath";
    text.defaultSuffix = anyFile ? std::string() : extension;
    return text;
}
