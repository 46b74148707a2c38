// libFuzzer target: GIF splitting, frame decoding with Qt's readers and the animation's
// composition, through the picture control on the offscreen platform.
#include <QApplication>

#include <cstdint>
#include <cstdlib>

#include "widgets/AnimatedPicture.h"
#include "widgets/GifSplitter.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication application(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    // The splitter alone: every frame it yields must split again into exactly one frame.
    GifSplitter splitter(bytes);
    for (const GifFrame& frame : splitter.ExtractFrames(8)) {
        GifSplitter again(frame.gif);
        if (again.CountGraphicBlocks(2) != 1)
            std::abort();
    }
    static AnimatedPicture picture;
    if (picture.LoadFromMemory(bytes)) {
        picture.Display();
        // Two rounds of the loop: disposal, save and restore, the clear between loops.
        for (int i = 0; i < 2 * picture.FrameCount() && i < 64; ++i) picture.ShowNextFrame();
        picture.Stop();
    }
    return 0;
}
