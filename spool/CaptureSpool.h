// The capture spool: a copy of every listed medium's bytes as the stream engine read them, so
// that a download can come from the capture rather than a second fetch.
//
// The media rules hand it each body of a medium they list (MediaCopySink); it keeps them in
// files it names inside its folder (a private folder of this user's, reached through a
// descriptor): a file medium as one file with its bytes at their offsets (a whole answer, or
// the byte ranges of one URL, validator and total, overlapping or out of order) and the byte
// ranges it holds; a stream as a folder of its pieces (segments, initialisation sections, keys),
// its playlists' decoded texts and an index (spool/StreamIndex.h) that says which piece is the
// answer to which URL, named by which playlist, in the order the player fetched them.
//
// The capture never waits for the disk: capture threads copy each piece into a bounded queue
// and one writer thread writes it. When the queue is full or the disk is, that copy stops and
// says so, and the capture goes on (reading a file may wait instead: Options::waitWhenFull).
// Everything it keeps stays under a size limit: to make room, whole copies are deleted oldest
// first. A copy whose entry is refused or leaves the list is deleted by Discard.
//
// Each copy's state (CopyStatus) is told on the writer thread whenever it changes (a copy
// opened, a body ended, it became whole, stopped, or went), once the bytes it speaks of are
// written.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "mediarules/MediaCopySink.h"
#include "spool/CopyStatus.h"

class CaptureSpool final : public MediaCopySink {
public:
    static constexpr std::uint64_t kDefaultLimitBytes = std::uint64_t{2048} << 20;
    static constexpr std::size_t kDefaultQueueBytes = 32u << 20;
    // Separate byte ranges one file copy (or one piece of a stream) records; past it the copy
    // stops (Fragmented).
    static constexpr std::size_t kMaxIntervals = 4096;
    // Pieces and playlists of one stream copy.
    static constexpr std::size_t kMaxParts = 65536;
    static constexpr std::size_t kMaxPlaylists = 1024;
    // URLs the spool remembers of all playlists together, to tell whether a stream is whole.
    static constexpr std::size_t kMaxPlaylistNames = 1u << 20;

    struct Options {
        std::uint64_t limitBytes = kDefaultLimitBytes;
        // Bytes waiting for the writer, all copies together.
        std::size_t queueBytes = kDefaultQueueBytes;
        // A full queue makes the capture thread wait for room instead of stopping the copy:
        // for reading a file, which no one else is waiting for.
        bool waitWhenFull = false;
        // Each change of a copy's state, on the writer thread.
        std::function<void(const CopyStatus&)> onStatus;
    };

    // Takes the descriptor of the spool's folder (closed with the spool). Null with `error`
    // set when the folder is not one of this user's that nobody else may enter (`shownAs`
    // names it in the message). Files of an earlier run under the names the spool makes are
    // removed. The spool must outlive every engine that feeds it.
    static std::unique_ptr<CaptureSpool> Open(int folderFd, std::string_view shownAs,
                                              Options options, std::string& error);
    // Writes what is queued, then stops the writer. Copies stay on disk.
    ~CaptureSpool() override;
    CaptureSpool(const CaptureSpool&) = delete;
    CaptureSpool& operator=(const CaptureSpool&) = delete;

    FileBody OpenFileBody(const MediaFileKey& key, std::uint64_t start, bool partial,
                          bool coded) override;
    FileBody JoinFileBody(const MediaFileKey& key, std::uint64_t start, bool coded) override;
    std::uint64_t OpenStream(std::string_view playlistUrl, StreamKind kind) override;
    void KeepPlaylist(std::uint64_t copyId, std::string_view url, std::string_view text,
                      const StreamPlaylist& parsed) override;
    std::unique_ptr<HttpBodyReceiver> OpenStreamBody(std::uint64_t copyId, std::string_view url,
                                                     StreamPartRole role,
                                                     std::string_view playlistUrl,
                                                     std::uint64_t start,
                                                     std::optional<std::uint64_t> total,
                                                     bool partial, bool coded) override;

    // Deletes a copy: its entry was refused or left the list. Nothing more is kept of it.
    void Discard(std::uint64_t copyId);
    // Waits until every piece queued so far is written and every change told.
    void Flush();
    // The copy's state now; nothing once it is gone and forgotten.
    std::optional<CopyStatus> Status(std::uint64_t copyId) const;
    // The spool's folder (owned by the spool).
    int FolderFd() const { return m_folderFd; }
    // Bytes of the live copies on disk and queued, against the limit.
    std::uint64_t BytesHeld() const;

    class Receiver;
    struct Copy;

private:
    struct Job;

    CaptureSpool(int folderFd, Options options);
    // From a receiver: false when the copy takes no more bytes.
    bool Put(std::uint64_t copyId, std::uint32_t part, std::uint64_t offset,
             const std::uint8_t* data, std::size_t size);
    void EndBody(std::uint64_t copyId, std::uint32_t part, std::uint64_t start, std::uint64_t end,
                 bool complete, bool partial);

    // Under m_mutex.
    Copy* Find(std::uint64_t copyId) const;
    Copy& NewCopy(CopyKind kind);
    FileBody FileBodyOf(Copy& copy, std::uint64_t start, bool partial, bool coded);
    bool Room(std::unique_lock<std::mutex>& lock, std::uint64_t copyId, std::size_t size,
              Copy*& copy);
    bool MakeRoom(const Copy& keep, std::size_t size);
    void Stop(Copy& copy, CopyStop why);
    void Drop(Copy& copy, CopyStop why);
    void Changed(Copy& copy);
    void Wake();
    void Evaluate(Copy& copy);
    CopyStatus Describe(const Copy& copy) const;

    // The writer thread.
    void Run();
    void Process(std::unique_lock<std::mutex>& lock, Job& job);
    void WriteBytes(std::unique_lock<std::mutex>& lock, Copy& copy, Job& job);
    void WritePlaylist(std::unique_lock<std::mutex>& lock, Copy& copy, Job& job);
    void FinishBody(Copy& copy, const Job& job);
    void DeleteFiles(std::unique_lock<std::mutex>& lock, Copy& copy);
    void TellChanges(std::unique_lock<std::mutex>& lock);
    bool OpenTarget(Copy& copy, std::uint32_t part, CopyStop& why);
    void AppendIndex(Copy& copy, const std::string& line);
    void CloseIdleFiles(Copy& copy);

    const int m_folderFd;
    const Options m_options;

    mutable std::mutex m_mutex;
    std::condition_variable m_work;  // the writer: jobs, deletions or the stop
    std::condition_variable m_room;  // waiting capture threads: the queue shrank
    std::condition_variable m_idle;  // Flush: the writer has nothing left
    std::deque<Job> m_jobs;
    std::size_t m_queueBytes = 0;
    std::uint64_t m_liveBytes = 0;  // of live copies: on disk and queued
    std::unordered_map<std::uint64_t, std::unique_ptr<Copy>> m_copies;
    std::unordered_map<std::string, std::uint64_t> m_fileCopies;  // live file copies by key
    std::deque<std::uint64_t> m_order;                             // oldest first
    std::vector<std::uint64_t> m_changed;
    std::vector<std::uint64_t> m_deletions;
    std::size_t m_playlistNames = 0;
    std::uint64_t m_nextId = 0;
    bool m_busy = false;           // the writer is working outside the lock
    bool m_writerWaiting = false;  // the writer sleeps until woken
    std::size_t m_roomWaiters = 0;  // capture threads waiting for room (waitWhenFull)
    bool m_stopping = false;
    std::thread m_writer;
};
