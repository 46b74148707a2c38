// Settings file reading, the per-user data folder, the file tests and the start-up checks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Longest value that a read returns: values are read into a 260-character buffer.
inline constexpr std::size_t kMaxSettingLength = 259;

// Reads one value from an INI file with private-profile semantics: section and key names match
// case-insensitively, blanks around names and values are trimmed, one pair of enclosing quotes
// (' or ") is stripped, the first matching section and key win, and the value is cut to
// kMaxSettingLength characters. Returns `fallback` (also cut) when the file, section or key is
// missing. The file is read with a bounded size; a larger file is read up to the bound.
std::string ReadSettingString(const std::string& file, std::string_view section,
                              std::string_view key, std::string_view fallback);

// Same rules, applied to text already in memory.
std::optional<std::string> FindSettingInText(std::string_view text, std::string_view section,
                                             std::string_view key);

// The per-user data folder for `product`: $XDG_CONFIG_HOME, else $HOME/.config, else the home
// folder from the password database plus "/.config", with "/<product>" appended. The folder is
// created (with missing parents) when it does not exist or is not a directory; a failure is
// ignored.
std::string GetUserDataFolder(std::string_view product);

// The folders for system-wide settings: the absolute entries of the colon-separated
// $XDG_CONFIG_DIRS in their order, without trailing "/"; "/etc/xdg" when it is unset or empty.
// Relative entries are not valid there and are skipped.
std::vector<std::string> SystemConfigFolders();

// The settings file start-up reads: `userFile` when it exists (as a regular file), else
// "<product>/<fileName>" in the first of SystemConfigFolders() that has one, else `userFile`,
// which then reads as missing so that messages name the file the user is expected to write.
std::string FindSettingsFile(const std::string& userFile, std::string_view product,
                             std::string_view fileName);

// The user's home folder: $HOME, else the password database's, else "/".
std::string HomeFolder();

// The work folder a TempDir value names. A value that starts with "~/" (or is "~") lies in the
// user's home folder, so that one system-wide file can give every user a private work folder;
// such a folder is made (mode 0700, with its parents) when missing. Other values are taken as
// they are.
std::string WorkFolderFromSetting(const std::string& value);

// True when `path` names a regular file of non-zero size (symbolic links are followed).
bool FileExistsNonEmpty(const std::string& path);

// True when `path` names an existing directory (symbolic links are followed).
bool DirectoryExists(const std::string& path);

// Folder part of the running executable's path, cut at the last "/".
std::string ExecutableFolder();

// The start-up checks of the four required keys. Returns 0 when all pass and stores the values
// in the g_ globals; otherwise the number (1..8) of the first failure, after storing the values
// of the keys that passed before it. Later keys are not read after a failure. Failure 8: the
// work folder belongs to another user or others may write it; `refusedFolder` receives it.
int CheckStartupSettings(const std::string& settingsFile, std::string* refusedFolder = nullptr);

// True when `path` is a folder of this user that nobody else may write.
bool IsPrivateFolder(const std::string& path);

// The text of start-up failure `number` (1..8) with the settings file path, and for 8 the work
// folder, filled in.
std::string StartupFailureText(int number, const std::string& settingsFile,
                               const std::string& tempDir = {});
