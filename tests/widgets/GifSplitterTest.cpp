#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "TempFolder.h"
#include "widgets/GifCases.h"
#include "widgets/GifSplitter.h"

namespace {

std::size_t Occurrences(const std::vector<std::uint8_t>& data, const std::string& text) {
    std::size_t n = 0;
    for (auto it = data.begin();; ++it) {
        it = std::search(it, data.end(), text.begin(), text.end());
        if (it == data.end())
            return n;
        ++n;
    }
}

class GifSplitterCases : public testing::TestWithParam<GifCase> {};

TEST_P(GifSplitterCases, SplitsIntoSingleFrameGifs) {
    const GifCase& c = GetParam();
    GifSplitter splitter(c.bytes);
    ASSERT_EQ(splitter.IsGif(), c.isGif);
    EXPECT_EQ(splitter.CountGraphicBlocks(100), c.frames.size());
    EXPECT_EQ(splitter.CountGraphicBlocks(1), std::min<std::size_t>(1, c.frames.size()));
    const std::vector<GifFrame> frames = splitter.ExtractFrames(100);
    ASSERT_EQ(frames.size(), c.frames.size());
    const std::size_t head = 13 + splitter.ColourTableSize();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const GifFrame& f = frames[i];
        const ExpectedFrame& e = c.frames[i];
        EXPECT_EQ(f.delay, e.delay);
        EXPECT_EQ(f.disposal, e.disposal);
        EXPECT_EQ(f.isImage, e.isImage);
        EXPECT_EQ(std::vector<int>({f.left, f.top, f.width, f.height}),
                  std::vector<int>({e.left, e.top, e.width, e.height}));
        // The file's header, screen and table; one contiguous span of the file; a trailer.
        ASSERT_GT(f.gif.size(), head + 1);
        EXPECT_TRUE(
            std::equal(f.gif.begin(), f.gif.begin() + static_cast<long>(head), c.bytes.begin()));
        EXPECT_EQ(f.gif.back(), 0x3B);
        const auto spanBegin = f.gif.begin() + static_cast<long>(head), spanEnd = f.gif.end() - 1;
        EXPECT_NE(std::search(c.bytes.begin(), c.bytes.end(), spanBegin, spanEnd), c.bytes.end());
        // The split frame is itself a GIF with exactly one graphic block.
        GifSplitter again(f.gif);
        EXPECT_EQ(again.CountGraphicBlocks(100), 1u);
        // Comments between frames belong to none; one inside a frame is kept once.
        EXPECT_EQ(Occurrences(f.gif, "between frames"), 0u);
    }
    if (c.name == "a comment between the control extension and the image") {
        EXPECT_EQ(Occurrences(frames[0].gif, "inside the frame"), 1u);
        EXPECT_EQ(frames[0].gif.size(), 13 + 12 + 8 + (2 + 1 + 16 + 1) + 16 + 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Gifs, GifSplitterCases, testing::ValuesIn(GifCases()),
                         [](const testing::TestParamInfo<GifCase>& info) {
                             std::string name;
                             for (char ch : info.param.name) name += std::isalnum(ch) ? ch : '_';
                             return name;
                         });

TEST(GifSplitter, FrameLimitStopsTheSplit) {
    GifBuilder gif(2, 2);
    for (int i = 0; i < 10; ++i) gif.Control(5, 0).Image(0, 0, 2, 2, i % 4);
    GifSplitter splitter(gif.Trailer().bytes);
    EXPECT_EQ(splitter.CountGraphicBlocks(4), 4u);
    EXPECT_EQ(splitter.ExtractFrames(4).size(), 4u);
    EXPECT_EQ(splitter.ExtractFrames(100).size(), 10u);
}

TEST(GifSplitter, FrameDurations) {
    const std::pair<unsigned, long> table[] = {{0, 100},  {3, 100},  {4, 100},       {5, 50},
                                               {10, 100}, {50, 500}, {65535, 655350}};
    for (const auto& [delay, ms] : table) {
        EXPECT_EQ(FrameDuration(delay).count(), ms) << "delay " << delay;
    }
}

TEST(GifSplitter, PictureFilesAreReadWithinTheBound) {
    TempFolder dir;
    const std::string small = (dir.path / "small.gif").string(),
                      large = (dir.path / "large.gif").string(),
                      fifo = (dir.path / "fifo.gif").string();
    std::ofstream(small) << "GIF89a";
    std::ofstream(large) << std::string(1001, 'x');
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Row {
        std::string path;
        bool ok;
        std::size_t size;
    };
    const Row rows[] = {{small, true, 6},
                        {large, false, 0},
                        {fifo, false, 0},  // would wait for a writer
                        {"/dev/zero", false, 0},
                        {dir.path.string(), false, 0},
                        {(dir.path / "missing.gif").string(), false, 0}};
    for (const Row& row : rows) {
        std::vector<std::uint8_t> data{1, 2, 3};
        EXPECT_EQ(ReadPictureFile(row.path, 1000, data), row.ok) << row.path;
        EXPECT_EQ(data.size(), row.size) << row.path;
    }
}

}  // namespace
