// Splits a GIF file into single-frame GIF images, one per graphic block, each with the frame's
// delay, disposal, position and size, so that any still-image decoder can decode the frames one
// by one. Works on bytes only: every read is checked against the data's end, and a block that
// runs past the end ends the usable part of the file.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Bounds on a picture file. A picture comes from the network or from a file anybody may have
// replaced, so it never decides alone how much memory the program spends on it.
inline constexpr std::uint64_t kMaxPictureFileBytes = 8u << 20;  // the whole file
inline constexpr int kMaxPictureSide = 2048;                     // canvas width and height
inline constexpr std::size_t kMaxAnimationFrames = 512;          // frames kept of one GIF
// Pixels decoded for the frames of one GIF in all (each frame is decoded at the screen's size).
inline constexpr std::uint64_t kMaxAnimationPixels = 32u << 20;

enum class GifBlockKind {
    Application,
    Comment,
    GraphicControl,
    PlainText,
    Image,
    Trailer,
    Unknown
};

// One graphic block, as a GIF file of its own.
struct GifFrame {
    // Header, logical screen descriptor and global colour table of the whole file, then the
    // frame's graphic control extension, the extensions after it and its image (or plain text
    // extension), then the trailer.
    std::vector<std::uint8_t> gif;
    unsigned delay = 0;  // hundredths of a second; 0 without a graphic control extension
    int disposal = 0;    // 0..7, from the graphic control extension
    // From the image descriptor; all 0 for a plain text frame, which carries no image.
    int left = 0, top = 0, width = 0, height = 0;
    bool isImage = false;
};

// How long a frame is shown: its delay when that is 5 hundredths or more, else 100 ms (browsers
// treat tiny delays the same way, and a frame without a delay gets the same).
std::chrono::milliseconds FrameDuration(unsigned delay);

class GifSplitter {
public:
    // Keeps a view of `data`, which must outlive the splitter.
    explicit GifSplitter(std::span<const std::uint8_t> data);

    // "GIF87a" or "GIF89a": the data is split here; anything else is not GIF to this splitter.
    bool IsGif() const { return m_isGif; }
    // The logical screen's size (0 x 0 when the file is too short to have one).
    int ScreenWidth() const { return m_screenWidth; }
    int ScreenHeight() const { return m_screenHeight; }
    std::size_t ColourTableSize() const { return m_tableSize; }

    // Counts the graphic blocks from the first block after the colour table, stopping at
    // `limit`, at the trailer, at an unknown block or at a block that runs past the data.
    std::size_t CountGraphicBlocks(std::size_t limit);

    // Extracts at most `limit` graphic blocks as single-frame GIFs, in file order.
    std::vector<GifFrame> ExtractFrames(std::size_t limit);

    // The kind of the block at `position`, and its length in bytes (nothing for an unknown
    // block, or one whose fixed part or sub-block chain runs past the data).
    GifBlockKind BlockKindAt(std::size_t position) const;
    std::optional<std::size_t> BlockLengthAt(std::size_t position) const;

private:
    std::size_t FirstBlock() const { return 13 + m_tableSize; }
    bool SkipBlock();
    bool SkipGraphicBlock();
    std::optional<GifFrame> ExtractGraphicBlock();
    std::optional<std::size_t> ChainLength(std::size_t start) const;
    unsigned Word(std::size_t position) const;

    std::span<const std::uint8_t> m_data;
    std::size_t m_position = 0;
    std::size_t m_tableSize = 0;
    int m_screenWidth = 0;
    int m_screenHeight = 0;
    bool m_isGif = false;
};

// Reads a whole regular file of at most `maxBytes` bytes into `out`. False when it cannot be
// opened, is not a regular file (a FIFO or a device would block or never end), is larger than
// the bound, or a read fails.
bool ReadPictureFile(const std::string& path, std::uint64_t maxBytes,
                     std::vector<std::uint8_t>& out);
