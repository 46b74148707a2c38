// The spool's folder and the names in it: a folder of this user's that nobody else may enter,
// reached through a descriptor; files made there are new (never through a name that exists or a
// link planted at it) and private.
#pragma once

#include <string>
#include <string_view>

// Empty when the open folder `fd` is a folder owned by this process's user with no rights for
// group or others (mode 0700 or less); otherwise why not, naming `shownAs`.
std::string CheckPrivateFolder(int fd, std::string_view shownAs);

// Opens `path` as a private folder (CheckPrivateFolder), without following a link at its last
// name. -1 with `error` set when it cannot be opened or is not private.
int OpenPrivateFolder(const std::string& path, std::string& error);

// Makes a new private folder inside `parent` whose name begins `prefix`, and gives its path;
// empty with `error` set when it cannot.
std::string MakePrivateFolder(const std::string& parent, std::string_view prefix,
                              std::string& error);

// Removes `name` inside the folder `dirFd`: a file, or a folder with the files directly in it
// (what the spool makes). Links are removed, never followed. False when something stayed.
bool RemoveSpoolEntry(int dirFd, const std::string& name);

// Removes a spool's folder: the copies in it, then itself.
bool RemoveSpoolFolder(const std::string& path);
