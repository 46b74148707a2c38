#include "widgets/AnimatedPicture.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>

#include "widgets/GifSplitter.h"

namespace {

bool SideInRange(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide;
}

// Decodes `data` with Qt's reader for `format` (or the one the content names when `format` is
// null), refusing a picture whose side is above the bound before any pixel is decoded.
QImage DecodePicture(std::span<const std::uint8_t> data, const char* format) {
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()),
                                               static_cast<qsizetype>(data.size()));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format ? QByteArray(format) : QByteArray());
    reader.setDecideFormatFromContent(format == nullptr);
    const QSize announced = reader.size();
    if (announced.isValid() && !SideInRange(announced.width(), announced.height()))
        return {};
    QImage image = reader.read();
    if (image.isNull() || !SideInRange(image.width(), image.height()))
        return {};
    return image;
}

}  // namespace

AnimatedPicture::AnimatedPicture(QWidget* parent) : ClickableLabel(parent) {
    m_frameTimer.setSingleShot(true);
    m_frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_frameTimer, &QTimer::timeout, this, &AnimatedPicture::ShowNextFrame);
}

AnimatedPicture::~AnimatedPicture() {
    Unload();
}

bool AnimatedPicture::LoadFromFile(const std::string& path) {
    std::vector<std::uint8_t> data;
    if (!ReadPictureFile(path, kMaxPictureFileBytes, data)) {
        Unload();
        return false;
    }
    return LoadFromMemory(data);
}

bool AnimatedPicture::LoadFromMemory(std::span<const std::uint8_t> data) {
    Unload();
    if (data.size() > kMaxPictureFileBytes)
        return false;
    GifSplitter gif(data);
    bool ok = false;
    if (!gif.IsGif()) {
        ok = LoadStill(data, nullptr);
    } else {
        m_isGif = true;
        m_width = gif.ScreenWidth();
        m_height = gif.ScreenHeight();
        if (SideInRange(m_width, m_height)) {
            const std::size_t blocks = gif.CountGraphicBlocks(2);
            // One graphic block is a still picture the size of the logical screen.
            if (blocks == 1)
                ok = LoadStill(data, "gif");
            if (blocks > 1)
                ok = LoadGif(data);
        }
    }
    ok = ok && MakeCanvas();
    if (!ok)
        Unload();
    return ok;
}

bool AnimatedPicture::LoadStill(std::span<const std::uint8_t> data, const char* format) {
    m_still = DecodePicture(data, format);
    if (m_still.isNull())
        return false;
    if (!m_isGif) {
        m_width = m_still.width();
        m_height = m_still.height();
    }
    return true;
}

bool AnimatedPicture::LoadGif(std::span<const std::uint8_t> data) {
    GifSplitter gif(data);
    std::uint64_t pixels = 0;
    bool anyImage = false;
    for (GifFrame& frame : gif.ExtractFrames(kMaxAnimationFrames)) {
        AnimationFrame decoded;
        decoded.delay = frame.delay;
        decoded.disposal = frame.disposal;
        decoded.left = frame.left;
        decoded.top = frame.top;
        decoded.width = frame.width;
        decoded.height = frame.height;
        if (frame.isImage) {
            // Qt decodes every frame onto an image of the logical screen's size: that is the
            // work and the memory a frame costs while it is decoded.
            pixels += static_cast<std::uint64_t>(m_width) * static_cast<std::uint64_t>(m_height);
            if (pixels > kMaxAnimationPixels)
                break;
            const QImage screen = DecodePicture(frame.gif, "gif");
            if (screen.isNull())
                continue;  // undecodable frames are dropped
            // Keep the frame's own rectangle (the part inside the screen), all it draws.
            const QRect area =
                QRect(frame.left, frame.top, frame.width, frame.height).intersected(screen.rect());
            decoded.picture =
                screen.copy(area).convertToFormat(QImage::Format_ARGB32_Premultiplied);
            anyImage = true;
        }
        // A plain text frame shows nothing of its own (Qt renders no GIF text) but keeps its
        // place and its delay in the animation.
        m_frames.push_back(std::move(decoded));
    }
    if (!anyImage) {
        m_frames.clear();
        return false;
    }
    if (m_frames.size() == 1) {
        // Only one frame survived: it is a still picture.
        const AnimationFrame& only = m_frames.front();
        m_still = QImage(m_width, m_height, QImage::Format_ARGB32_Premultiplied);
        m_still.fill(Qt::transparent);
        QPainter painter(&m_still);
        painter.drawImage(QPoint(only.left, only.top), only.picture);
        painter.end();
        m_frames.clear();
    }
    return true;
}

bool AnimatedPicture::MakeCanvas() {
    resize(m_width, m_height);
    m_canvas = QImage(m_width, m_height, QImage::Format_RGB32);
    if (m_canvas.isNull())
        return false;
    m_backgroundColour = palette().color(QPalette::Button);
    m_canvas.fill(palette().color(QPalette::Window));
    m_loaded = true;
    return true;
}

bool AnimatedPicture::Display() {
    if (!m_loaded)
        return false;
    if (m_frames.size() > 1) {
        m_playing = true;
        // The frame left current by an earlier Stop was drawn but not disposed of.
        DisposeCurrentFrame();
        DrawCurrentFrame();
        m_frameTimer.start(CurrentFrameDuration());
        return false;
    }
    if (m_still.isNull())
        return false;
    QPainter painter(&m_canvas);
    painter.drawImage(QPoint(0, 0), m_still);
    painter.end();
    update();
    return true;
}

std::chrono::milliseconds AnimatedPicture::CurrentFrameDuration() const {
    if (m_frames.empty())
        return std::chrono::milliseconds(0);
    return FrameDuration(m_frames[static_cast<std::size_t>(m_currentFrame)].delay);
}

void AnimatedPicture::ShowNextFrame() {
    if (m_frames.size() < 2)
        return;
    DisposeCurrentFrame();
    if (++m_currentFrame >= FrameCount()) {
        m_currentFrame = 0;
        m_canvas.fill(m_backgroundColour);
    }
    DrawCurrentFrame();
    if (m_playing)
        m_frameTimer.start(CurrentFrameDuration());
}

void AnimatedPicture::DrawCurrentFrame() {
    const AnimationFrame& frame = m_frames[static_cast<std::size_t>(m_currentFrame)];
    if (frame.disposal == 3) {
        // Only the part inside the canvas: a frame may claim up to 65535 x 65535 pixels.
        const QRect area =
            QRect(frame.left, frame.top, frame.width, frame.height).intersected(m_canvas.rect());
        m_saveArea = m_canvas.copy(area);
        m_saveOrigin = area.topLeft();
    }
    if (frame.picture.isNull())
        return;
    QPainter painter(&m_canvas);
    painter.drawImage(QPoint(frame.left, frame.top), frame.picture);
    painter.end();
    update();
}

void AnimatedPicture::DisposeCurrentFrame() {
    const AnimationFrame& frame = m_frames[static_cast<std::size_t>(m_currentFrame)];
    if (frame.disposal == 2) {
        QPainter painter(&m_canvas);
        painter.fillRect(QRect(frame.left, frame.top, frame.width, frame.height),
                         m_backgroundColour);
    } else if (frame.disposal == 3 && !m_saveArea.isNull()) {
        QPainter painter(&m_canvas);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(m_saveOrigin, m_saveArea);
        m_saveArea = QImage();
    }
}

void AnimatedPicture::Stop() {
    m_playing = false;
    m_frameTimer.stop();
}

void AnimatedPicture::Unload() {
    Stop();
    m_frames.clear();
    m_still = QImage();
    m_canvas = QImage();
    m_saveArea = QImage();
    m_width = m_height = 0;
    m_backgroundColour = Qt::white;
    m_isGif = false;
    m_loaded = false;
    m_currentFrame = 0;
    update();
}

void AnimatedPicture::paintEvent(QPaintEvent* event) {
    if (m_canvas.isNull()) {
        ClickableLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), m_canvas);
}
