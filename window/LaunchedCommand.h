// A program the window starts for the user (`pelnix --launch COMMAND [ARGS...]`) with
// SSLKEYLOGFILE set to a key log of its own: a new file, private to the user, in the user's
// runtime folder, that the capture follows and that is deleted when the window goes (also when
// the program is stopped by a signal or loses its display). The key log holds live secrets: it
// is only created, handed to the capture helper by name and deleted here, never read or copied.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The user's runtime folder ($XDG_RUNTIME_DIR) when it is one the key log may go into: an
// absolute path to a folder (not a symbolic link) owned by this user that nobody else may
// enter. Otherwise empty, with `problem` saying why.
std::string PrivateRuntimeFolder(std::string& problem);

// Creates an empty key log with a name of its own in the runtime folder (new, mode 0600, never
// through a symbolic link) and remembers it for DeleteLaunchKeyLog. Gives its path, or empty
// with `problem` set.
std::string CreateLaunchKeyLog(std::string& problem);

// Starts `command` (argv[0] looked up on PATH, no shell) in a process group of its own, with
// SSLKEYLOGFILE set to `keyLog` and the signal dispositions of a fresh process. Gives its
// process id, or -1 with `problem` set when it could not be started.
pid_t StartLaunchedCommand(const std::vector<std::string>& command, const std::string& keyLog,
                           std::string& problem);

// Reaps the launched command if it has ended, without waiting. True once it has been reaped.
bool ReapLaunchedCommand(pid_t pid);

// Ends what --launch left: asks the launched command's process group, if it still runs, to
// terminate (it would otherwise go on writing secrets), and deletes the key log. Safe to call
// more than once, on any thread.
void EndLaunch();
