#include "window/MediaFileWorker.h"

#include <fcntl.h>

#include <exception>

#include "headless/HeadlessFrontEnd.h"
#include "spool/SpoolFolder.h"
#include "window/CapturedCopy.h"

MediaFileWorker::MediaFileWorker(StreamOptions stream, Callbacks callbacks,
                                 const std::string& spoolParent, std::uint64_t spoolLimit)
    : m_stream(std::move(stream)), m_callbacks(std::move(callbacks)) {
    if (!spoolParent.empty()) {
        std::string error;
        m_spoolPath =
            MakePrivateFolder(spoolParent, WorkFolderPrefix("pelnix-files-spool-"), error);
        const int folderFd = m_spoolPath.empty() ? -1 : OpenPrivateFolder(m_spoolPath, error);
        if (folderFd >= 0) {
            CaptureSpool::Options options;
            options.limitBytes = spoolLimit;
            // A file waits for the disk rather than lose a copy.
            options.waitWhenFull = true;
            options.onStatus = m_callbacks.copyStatus;
            m_spool = CaptureSpool::Open(folderFd, m_spoolPath, std::move(options), error);
        }
        if (m_spool) {
            ListSpoolFolder(m_spoolPath);
        } else {
            if (!m_spoolPath.empty())
                RemoveSpoolFolder(m_spoolPath);
            m_spoolPath.clear();
            if (m_callbacks.notice)
                m_callbacks.notice("the files' media are not kept: " + error);
        }
    }
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
    m_spool.reset();
    if (!m_spoolPath.empty()) {
        UnlistSpoolFolder(m_spoolPath);
        RemoveSpoolFolder(m_spoolPath);
    }
}

void MediaFileWorker::Discard(std::uint64_t copyId) {
    if (m_spool && copyId != 0)
        m_spool->Discard(copyId);
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
    reading.copies = m_spool.get();
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
