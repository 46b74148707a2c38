// Takes the pictures of downloaded videos for the list's tool tips on a thread of its own, one
// after another, and hands each to the GUI thread.
#pragma once

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class QObject;

class VideoPictures {
public:
    // How wide a picture is, in pixels.
    static constexpr int kWidth = 160;
    // The most pictures waiting to be taken; beyond it the oldest request is dropped.
    static constexpr std::size_t kMaxWaiting = 8;

    // `deliver` gets the record number and the picture (PNG bytes) of each video that has one,
    // through a queued call on `receiver`'s thread; nothing once `receiver` is gone.
    using Deliver = std::function<void(int number, const QByteArray& png)>;
    VideoPictures(QObject* receiver, Deliver deliver);
    // Stops the picture at hand (its converter is killed), drops those waiting, joins the thread.
    ~VideoPictures();

    VideoPictures(const VideoPictures&) = delete;
    VideoPictures& operator=(const VideoPictures&) = delete;

    // Asks for a picture of the local file `path` (listed with `type`) for record `number`, made
    // with the converter `ffmpegExe`. Returns at once.
    void Take(int number, std::string path, std::string type, std::string ffmpegExe);

private:
    struct Request {
        int number = 0;
        std::string path, type, ffmpegExe;
    };
    void Run();

    QObject* const m_receiver;
    const Deliver m_deliver;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Request> m_queue;  // guarded by m_mutex
    std::thread m_thread;         // started with the first request
};
