// A program the window starts for the user (`pelnix --launch COMMAND [ARGS...]`) with
// SSLKEYLOGFILE set to a key log of its own: a new file, private to the user, in the user's
// runtime folder, that the capture follows. The key log holds live secrets: it is only created,
// handed to the capture helper by name and deleted here, never read or copied.
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
pid_t StartLaunchedCommand(std::string& problem);

// Ends what --launch left: the command's process group is asked to end (SIGTERM), given
// kLaunchEndGrace, then killed (SIGKILL to the group); only then is the key log deleted, and
// once more after the command was reaped and its group has gone, so that nothing of it can
// create the file again. Waits for the guard at most kLaunchEndGrace plus two seconds (a
// command that ends on SIGTERM takes milliseconds). Safe to call more than once, on any thread.
void EndLaunch();
