// The capture's copies of listed media as the window uses them: where a copy lies (the capture
// helper's spool or the spool of the files the user gave the window), what its state says to a
// user, and the copy of a whole one into a download's work file, with no second fetch.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "spool/CopyStatus.h"

// The window takes copies from more than one spool, each numbering its copies from 1: the list
// knows a copy by the spool's id with the spool's tag in the bits above kCopyIdBits. The capture
// helper's spool is tagged with the helper's start (a helper started again opens the folder anew
// and removes what the one before kept), the files' spool with kFileCopyTag.
inline constexpr unsigned kCopyIdBits = 48;
inline constexpr std::uint64_t kFileCopyTag = 0x8000;
inline constexpr std::uint64_t kMaxHelperCopyTag = 0x7FFF;

// The spool's `copyId` tagged with `tag`; 0 (no copy) for 0 or an id too large to tag.
std::uint64_t TagCopyId(std::uint64_t copyId, std::uint64_t tag);
inline std::uint64_t CopyTag(std::uint64_t taggedId) {
    return taggedId >> kCopyIdBits;
}
inline std::uint64_t SpoolCopyId(std::uint64_t taggedId) {
    return taggedId & ((std::uint64_t{1} << kCopyIdBits) - 1);
}

// "1,202,270 bytes".
std::string CopyByteCount(std::uint64_t bytes);

// Whether `status` is a file copy holding every byte of its medium, under a name the spool made
// (one name in its folder, no path).
bool IsWholeFileCopy(const CopyStatus& status);

// The tool tip's line on a copy: "Captured: whole (1,202,270 bytes)", "Captured: 3,145,728 of
// 7,340,032 bytes", "Captured: stopped (the disk is full), 1,048,576 of 7,340,032 bytes", a
// stream's pieces; empty for a copy that is gone.
std::string CopyStateLine(const CopyStatus& status);

// Copies the whole file copy `status` from the spool folder `folderFd` into `to` (staged: `to`
// holds the whole copy or is left as it was). The copy must be a regular file of the medium's
// size. `progress` is told the bytes copied so far; `abort` ends the copy early. False with
// `failure` set when it cannot (an aborted copy says so).
bool CopyCapturedFile(int folderFd, const CopyStatus& status, const std::string& to,
                      const std::atomic<bool>& abort,
                      const std::function<void(std::uint64_t done, std::uint64_t total)>& progress,
                      std::string& failure);

// The spool folders the window keeps while it runs. A program that ends by a stop signal or by
// the loss of its display leaves no destructor to remove them: its end removes those still
// listed (RemoveListedSpoolFolders), so that no copy of what was captured outlives it.
void ListSpoolFolder(const std::string& path);
void UnlistSpoolFolder(std::string_view path);
void RemoveListedSpoolFolders();

// The start of the name of a folder the window makes in the work folder ("pelnix-spool-4711-"):
// `kind` and this process's id, so that a later start can tell the folders of a window that is
// gone (killed, it removed nothing) from those of one still running.
std::string WorkFolderPrefix(std::string_view kind);
// Removes from `workFolder` the copies' and joins' folders of windows whose process is gone.
void RemoveFoldersOfEndedWindows(const std::string& workFolder);
