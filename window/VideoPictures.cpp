#include "window/VideoPictures.h"

#include <QBuffer>
#include <QImage>
#include <QMetaObject>

#include "converter/VideoFrame.h"

namespace {

// A picture taller than this (a video of a strange shape) is scaled down to it.
constexpr int kMaxHeight = 3 * VideoPictures::kWidth;

// The converter's PNG checked by decoding it, and written again at a bounded size; empty when it
// is no picture.
QByteArray CheckedPicture(const std::string& png) {
    QImage image;
    if (!image.loadFromData(reinterpret_cast<const uchar*>(png.data()),
                            static_cast<int>(png.size()), "PNG") ||
        image.isNull())
        return {};
    if (image.width() > VideoPictures::kWidth || image.height() > kMaxHeight)
        image = image.scaled(VideoPictures::kWidth, kMaxHeight, Qt::KeepAspectRatio,
                             Qt::SmoothTransformation);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        return {};
    return bytes;
}

}  // namespace

VideoPictures::VideoPictures(QObject* receiver, Deliver deliver)
    : m_receiver(receiver), m_deliver(std::move(deliver)) {}

VideoPictures::~VideoPictures() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void VideoPictures::Take(int number, std::string path, std::string type, std::string ffmpegExe) {
    {
        std::lock_guard lock(m_mutex);
        if (m_queue.size() >= kMaxWaiting)
            m_queue.pop_front();
        m_queue.push_back({number, std::move(path), std::move(type), std::move(ffmpegExe)});
        if (!m_thread.joinable())
            m_thread = std::thread(&VideoPictures::Run, this);
    }
    m_wake.notify_one();
}

void VideoPictures::Run() {
    for (;;) {
        Request request;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop.load() || !m_queue.empty(); });
            if (m_stop)
                return;
            request = std::move(m_queue.front());
            m_queue.pop_front();
        }
        const std::string png =
            GrabVideoFrame(request.ffmpegExe, request.path, request.type, kWidth, m_stop);
        if (png.empty())
            continue;
        const QByteArray picture = CheckedPicture(png);
        if (picture.isEmpty() || m_stop)
            continue;
        // The receiver lives on the GUI thread and outlives this thread (its owner joins it
        // first): the queued call runs there, or is dropped with the receiver.
        QMetaObject::invokeMethod(
            m_receiver,
            [deliver = m_deliver, number = request.number, picture] { deliver(number, picture); },
            Qt::QueuedConnection);
    }
}
