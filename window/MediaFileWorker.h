// Reads the capture files and HAR exports the user hands the window (dropped on it or named on
// the command line) one after another on a thread of its own, with the rules of --read, and
// hands their media reports on as the capture's are.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/MediaReport.h"
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
    };

    // Captures are read with the stream engine as `stream` asks (the settings' key log).
    MediaFileWorker(StreamOptions stream, Callbacks callbacks);
    // Ends the reading at hand soon, drops the files still waiting and joins the thread.
    ~MediaFileWorker();

    MediaFileWorker(const MediaFileWorker&) = delete;
    MediaFileWorker& operator=(const MediaFileWorker&) = delete;

    // Queues files to read after those already queued.
    void Read(const std::vector<std::string>& files);

private:
    void Run();

    const StreamOptions m_stream;
    const Callbacks m_callbacks;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::string> m_queue;  // guarded by m_mutex
    std::thread m_thread;
};
