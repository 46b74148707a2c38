// A static control that shows a picture file and plays an animated GIF.
//
// The GIF is split into single-frame GIFs by GifSplitter and each frame is decoded once, at load
// time, by Qt's image readers; the frames are then composed into an off-screen canvas following
// the GIF disposal rules, and painting copies the canvas to the control. Any other format Qt
// reads (JPEG, PNG, BMP), and a GIF with one frame, is shown as a still picture.
//
// The frames are driven by a timer on the GUI thread: the canvas is drawn and painted on the
// same thread, so it needs no lock, and `Stop` returns at once whatever the frame's delay.
#pragma once

#include <QImage>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "widgets/ClickableLabel.h"

class AnimatedPicture : public ClickableLabel {
    Q_OBJECT
public:
    explicit AnimatedPicture(QWidget* parent = nullptr);
    ~AnimatedPicture() override;

    // Reads the whole file (at most kMaxPictureFileBytes) and loads it. False, with the control
    // empty, when the file cannot be read or does not load.
    bool LoadFromFile(const std::string& path);
    // Unloads, then splits and decodes `data`. The control keeps no reference to `data`.
    // False, with the control empty, when nothing can be shown: an unknown format, a GIF with no
    // graphic block or whose frames all fail to decode, a canvas of no pixels or of a side
    // above kMaxPictureSide.
    bool LoadFromMemory(std::span<const std::uint8_t> data);
    // Starts the animation of a GIF with more than one frame (false), or draws the still
    // picture (true). Does nothing (false) when nothing is loaded.
    bool Display();
    // Stops the animation; the current frame is kept for the next `Display`.
    void Stop();
    // Stops and forgets the picture: the control is empty again.
    void Unload();

    bool IsLoaded() const { return m_loaded; }
    bool IsPlaying() const { return m_playing; }
    int FrameCount() const { return static_cast<int>(m_frames.size()); }
    int CurrentFrame() const { return m_currentFrame; }
    // The picture's (and the canvas's) size.
    QSize PictureSize() const { return QSize(m_width, m_height); }
    const QImage& Canvas() const { return m_canvas; }
    // The colour that clears a frame's area (disposal 2) and the canvas between two loops.
    QColor BackgroundColour() const { return m_backgroundColour; }
    // How long the frame now shown stays (the frame timer's interval).
    std::chrono::milliseconds CurrentFrameDuration() const;

    // The frame timer's work: disposes of the current frame, moves to the next (clearing the
    // canvas when the loop starts again) and draws it. Public so that a test can step the
    // animation itself instead of waiting for the timer.
    void ShowNextFrame();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct AnimationFrame {
        QImage picture;  // the frame's own pixels, null for a plain text frame
        int width = 0, height = 0, left = 0, top = 0;
        unsigned delay = 0;  // hundredths of a second
        int disposal = 0;
    };

    bool LoadGif(std::span<const std::uint8_t> data);
    bool LoadStill(std::span<const std::uint8_t> data, const char* format);
    bool MakeCanvas();
    void DrawCurrentFrame();
    void DisposeCurrentFrame();

    int m_width = 0;
    int m_height = 0;
    QColor m_backgroundColour = Qt::white;
    bool m_isGif = false;
    bool m_playing = false;
    bool m_loaded = false;
    QImage m_canvas;
    QImage m_saveArea;  // what lay under a frame whose disposal is 3
    QPoint m_saveOrigin;
    QImage m_still;
    int m_currentFrame = 0;
    std::vector<AnimationFrame> m_frames;
    QTimer m_frameTimer;
};
