// A file written under a temporary name in its target's folder and put in the target's place by
// one rename once it is whole. A failure, a cancel or a program killed half-way never leaves a
// half-written file under the target's name, and a file that was there stays until the new one
// is complete. What a killed program leaves is a hidden ".pelnix-" file, never a final name.
#pragma once

#include <cstddef>
#include <string>

// The mode a new file gets: 0666 less the process's umask.
unsigned NewFileMode();

class StagedFile {
public:
    StagedFile() = default;
    // Discards what is not committed.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates the temporary file beside `target`, new (O_EXCL) and private (mode 0600), its name
    // ending in the target's own name so that a program that goes by the extension sees the
    // right one. A target that exists and is not a regular file (a device such as /dev/null, a
    // pipe) is written directly instead. False with errno set when neither can be opened.
    bool Create(const std::string& target);

    // The open descriptor, -1 when none.
    int Fd() const { return m_fd; }
    // Where the bytes go: the temporary file, or the target when it is written directly.
    const std::string& Path() const { return m_path; }
    const std::string& Target() const { return m_target; }
    bool IsOpen() const { return m_fd >= 0; }

    // Closes the file, gives it `mode` (by default that of a new file: 0666 less the umask) and
    // renames it over the target. False with errno set when any step fails; the temporary file
    // is removed then.
    bool Commit(unsigned mode = NewFileMode());
    // Closes and removes the temporary file; the target is left as it was.
    void Discard();

    // Writes all of `length` bytes at the current offset; false with errno set on failure.
    bool WriteAll(const char* data, std::size_t length);

    // "<reason> (<path>)": what a failure on this file says, with the target's path (the name the
    // user knows).
    std::string FailureText(int error) const;

private:
    std::string m_target;
    std::string m_path;
    int m_fd = -1;
    bool m_direct = false;
};
