// What the save prompt shows for an extension; the prompt itself is a widget.
#pragma once

#include <string>

struct SavePromptText {
    std::string filter;         // one name filter, e.g. "MP3 File (*.MP3 *.mp3)"
    std::string folderKey;      // settings key of the start folder
    std::string defaultSuffix;  // empty for none
};

// "<EXTENSION> File (*.<extension>)" ("File (*.*)" for "???", which also has no default suffix),
// cut at 49 characters like the fixed buffer it was built in; a whole filter also matches the
// extension written with its letters' case swapped ("MP3 File (*.MP3 *.mp3)"). The start folder is
// the CurrentFilePath setting for "avi" and the ProjectFilePath setting otherwise.
SavePromptText MakeSavePromptText(const std::string& extension);
