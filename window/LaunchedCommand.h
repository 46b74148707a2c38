// A program the window starts for the user (`pelnix --launch COMMAND [ARGS...]`) with
// SSLKEYLOGFILE set to a key log of its own: a new file, private to the user, in the user's
// runtime folder, that the capture follows. The key log holds live secrets: it is created,
// handed to the capture helper by name and deleted here, never copied; it is read only to learn
// whether a key arrived at all (KeyLogHoldsAKey), by the capture's parser, which wipes what it
// read.
//
// The command must not outlive the window, however the window ends: it would go on writing
// secrets into a file nobody reads. A small guard process, forked when the launch is prepared,
// starts the command as its own child (in a process group of its own) and holds the key log's
// name. It ends the command's group and deletes the key log when the window asks (a close, a
// stop signal, the loss of the display) and also when the window dies any other way (SIGKILL, a
// crash): it notices that its end of a socket shared with the window closed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// How long a launched command is given to end after SIGTERM before its group is killed.
inline constexpr std::chrono::milliseconds kLaunchEndGrace{2000};

// A launched command that ends this soon after its start without a key in its key log most
// likely handed its work to a running instance of itself (a browser already open).
inline constexpr std::chrono::seconds kLaunchQuickEnd{10};

// The user's runtime folder ($XDG_RUNTIME_DIR) when it is one the key log may go into: an
// absolute path to a folder (not a symbolic link) owned by this user that nobody else may
// enter. Otherwise empty, with `problem` saying why.
std::string PrivateRuntimeFolder(std::string& problem);

// Prepares the launch of `command` (argv[0] looked up on PATH, no shell): creates an empty key
// log with a name of its own in the runtime folder (new, mode 0600, never through a symbolic
// link) and the guard that will start the command and, in the end, delete the key log. Gives
// the key log's path, or empty with `problem` set (nothing is left behind then).
std::string PrepareLaunch(const std::vector<std::string>& command, std::string& problem);

// Has the guard start the prepared command, with SSLKEYLOGFILE naming the key log and the
// signal dispositions of a fresh process. Gives its process id, or -1 with `problem` set when it
// could not be started (the launch is then ended: the key log is gone).
// A command that cannot be found reads "no program named 'NAME' in PATH".
pid_t StartLaunchedCommand(std::string& problem);

// After a successful start: a descriptor (non-blocking, close-on-exec) that becomes readable
// once the command has ended (its guard writes a byte; the guard's own end closes it too). The
// caller owns it and closes it; -1 when there is no launch or it was taken already.
int TakeLaunchEndDescriptor();

// Whether the key log at `path` holds at least one key line (read by the capture's parser,
// bounded, its secrets wiped). False for a missing or empty file.
bool KeyLogHoldsAKey(const std::string& path);

// --launch-own-profile: `command` with the arguments that make a browser use a profile of its
// own, in a folder kept for it under ${XDG_CACHE_HOME:-~/.cache}/Pelnix/profiles/NAME (NAME is
// the command's base name; the folder and profiles/ are created as needed and made mode 0700).
// Chromium family (chromium, chromium-browser, google-chrome*, brave*, microsoft-edge*,
// vivaldi*, opera*): --user-data-dir=FOLDER; Firefox family (firefox, firefox-esr,
// librewolf): -no-remote -profile FOLDER; both right after the program's name. Empty with
// `problem` set for another command or a folder that cannot be made private.
std::vector<std::string> OwnProfileCommand(const std::vector<std::string>& command,
                                           std::string& problem);

// Ends what --launch left: the command's process group is asked to end (SIGTERM), given
// kLaunchEndGrace, then killed (SIGKILL to the group); only then is the key log deleted, and
// once more after the command was reaped and its group has gone, so that nothing of it can
// create the file again. Waits for the guard at most kLaunchEndGrace plus two seconds (a
// command that ends on SIGTERM takes milliseconds). Safe to call more than once, on any thread.
void EndLaunch();
