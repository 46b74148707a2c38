#include "window/MediaFileWorker.h"

#include <exception>

#include "headless/HeadlessFrontEnd.h"

MediaFileWorker::MediaFileWorker(StreamOptions stream, Callbacks callbacks)
    : m_stream(std::move(stream)), m_callbacks(std::move(callbacks)) {
    m_thread = std::thread([this] { Run(); });
}

MediaFileWorker::~MediaFileWorker() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

void MediaFileWorker::Read(const std::vector<std::string>& files) {
    {
        std::lock_guard lock(m_mutex);
        m_queue.insert(m_queue.end(), files.begin(), files.end());
    }
    m_wake.notify_all();
}

void MediaFileWorker::Run() {
    MediaFileReading reading;
    reading.stream = m_stream;
    reading.stop = &m_stop;
    reading.report = [this](MediaReport report, std::time_t) {
        m_callbacks.report(std::move(report));
    };
    reading.notice = m_callbacks.notice;
    for (;;) {
        std::string file;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop.load() || !m_queue.empty(); });
            if (m_stop)
                return;
            file = std::move(m_queue.front());
            m_queue.pop_front();
        }
        std::string error;
        bool ok = false;
        try {
            ok = ReadMediaFile(file, reading, error);
        } catch (const std::exception& e) {
            // Out of memory, mostly: the file is given up, the window goes on.
            error = "cannot read file '" + file + "': " + e.what();
        }
        if (!ok && !m_stop)
            m_callbacks.failure(error);
    }
}
