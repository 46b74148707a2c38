// Reads the capture files and HAR exports the user hands the window (dropped on it or named on
// the command line) one after another on a thread of its own, with the rules of --read, and
// hands their media reports on as the capture's are. Where the stream engine or the HAR reader
// reads a medium's bytes, they are kept in a spool of the worker's own (a private folder inside
// the folder it is given, removed with the worker), as the capture helper keeps its copies.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/MediaReport.h"
#include "spool/CaptureSpool.h"
#include "streams/StreamOptions.h"

class MediaFileWorker {
public:
    struct Callbacks {
        // Each media report, on the worker thread.
        std::function<void(MediaReport report)> report;
        // Why a file could not be read to its end ("cannot read capture file 'NAME': why"), on
        // the worker thread.
        std::function<void(const std::string& text)> failure;
        // A line for the user about a file as a whole (HTTP/3 seen, key log unreadable).
        std::function<void(const std::string& text)> notice;
        // Each change of a copy's state, on the spool's writer thread.
        std::function<void(const CopyStatus& status)> copyStatus;
    };

    // Captures are read with the stream engine as `stream` asks (the settings' key log). With a
    // `spoolParent`, the copies are kept in a private folder made inside it, under `spoolLimit`
    // bytes; a folder that cannot be made keeps none and says why in a notice.
    MediaFileWorker(StreamOptions stream, Callbacks callbacks, const std::string& spoolParent = {},
                    std::uint64_t spoolLimit = CaptureSpool::kDefaultLimitBytes);
    // Ends the reading at hand soon, drops the files still waiting and joins the thread; then the
    // spool writes what it has and its folder goes.
    ~MediaFileWorker();

    MediaFileWorker(const MediaFileWorker&) = delete;
    MediaFileWorker& operator=(const MediaFileWorker&) = delete;

    // Queues files to read after those already queued.
    void Read(const std::vector<std::string>& files);

    // Deletes a copy of the spool (its entry was refused or left the list). Any thread.
    void Discard(std::uint64_t copyId);
    // The spool's folder, open, and its path; -1 and empty when no copies are kept.
    int SpoolFolderFd() const { return m_spool ? m_spool->FolderFd() : -1; }
    const std::string& SpoolFolder() const { return m_spoolPath; }

private:
    void Run();

    const StreamOptions m_stream;
    const Callbacks m_callbacks;
    std::string m_spoolPath;
    std::unique_ptr<CaptureSpool> m_spool;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::string> m_queue;  // guarded by m_mutex
    std::thread m_thread;
};
