// GIF files built byte by byte, with the frames a correct split gives. Shared by the splitter's
// core test and the widget test that decodes every split frame with Qt.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "widgets/GifBuilder.h"

struct ExpectedFrame {
    unsigned delay;
    int disposal;
    int left, top, width, height;
    bool isImage;
    int colour;  // colour index of every pixel of the frame (-1: a plain text frame)
};

struct GifCase {
    std::string name;
    std::vector<std::uint8_t> bytes;
    bool isGif;
    std::vector<ExpectedFrame> frames;
};

// Test listings name a case by its name, not by its bytes.
inline void PrintTo(const GifCase& c, std::ostream* os) {
    *os << c.name;
}

inline std::vector<GifCase> GifCases() {
    std::vector<GifCase> cases;
    cases.push_back({"one image",
                     GifBuilder(4, 3).Image(0, 0, 4, 3, 1).Trailer().bytes,
                     true,
                     {{0, 0, 0, 0, 4, 3, true, 1}}});
    cases.push_back(
        {"three frames with delays 10, 3 and 0",
         GifBuilder(6, 4)
             .Loop()
             .Control(10, 1)
             .Image(0, 0, 6, 4, 0)
             .Control(3, 2)
             .Image(1, 1, 2, 2, 1)
             .Comment("between frames")
             .Control(0, 3)
             .Image(3, 2, 3, 2, 2)
             .Trailer()
             .bytes,
         true,
         {{10, 1, 0, 0, 6, 4, true, 0}, {3, 2, 1, 1, 2, 2, true, 1}, {0, 3, 3, 2, 3, 2, true, 2}}});
    cases.push_back({"a comment between the control extension and the image",
                     GifBuilder(2, 2)
                         .Control(20, 0)
                         .Comment("inside the frame")
                         .Image(0, 0, 2, 2, 2)
                         .Control(30, 1)
                         .Image(0, 0, 2, 2, 3)
                         .Trailer()
                         .bytes,
                     true,
                     {{20, 0, 0, 0, 2, 2, true, 2}, {30, 1, 0, 0, 2, 2, true, 3}}});
    cases.push_back(
        {"a plain text frame",
         GifBuilder(2, 2).Control(7, 2).PlainText("text").Image(0, 0, 2, 2, 1).Trailer().bytes,
         true,
         {{7, 2, 0, 0, 0, 0, false, -1}, {0, 0, 0, 0, 2, 2, true, 1}}});
    cases.push_back({"version 88a is not split",
                     GifBuilder(2, 2, {0, 0, 0, 0}, "88a").Image(0, 0, 2, 2, 1).Trailer().bytes,
                     false,
                     {}});
    cases.push_back({"a trailer only", GifBuilder(2, 2).Trailer().bytes, true, {}});
    cases.push_back({"no trailer after the frames",
                     GifBuilder(2, 2).Image(0, 0, 2, 2, 0).Control(5, 0).Image(0, 0, 2, 2, 1).bytes,
                     true,
                     {{0, 0, 0, 0, 2, 2, true, 0}, {5, 0, 0, 0, 2, 2, true, 1}}});
    cases.push_back({"an unknown block ends the frames",
                     GifBuilder(2, 2).Image(0, 0, 2, 2, 0).Raw({0x99}).Image(0, 0, 2, 2, 1).bytes,
                     true,
                     {{0, 0, 0, 0, 2, 2, true, 0}}});
    {
        // The second image's sub-block chain announces 200 bytes where 3 remain.
        GifBuilder gif(2, 2);
        gif.Image(0, 0, 2, 2, 0).Control(5, 0).Image(0, 0, 2, 2, 1);
        gif.bytes.pop_back();  // its terminating zero
        gif.Raw({200, 1, 2, 3});
        cases.push_back({"a sub-block chain running past the end",
                         gif.bytes,
                         true,
                         {{0, 0, 0, 0, 2, 2, true, 0}}});
    }
    cases.push_back({"a comment chain running past the end",
                     GifBuilder(2, 2).Raw({0x21, 0xFE, 50, 'a', 'b'}).bytes,
                     true,
                     {}});
    cases.push_back({"a control extension cut short",
                     GifBuilder(2, 2).Image(0, 0, 2, 2, 3).Raw({0x21, 0xF9, 0x04, 0x00}).bytes,
                     true,
                     {{0, 0, 0, 0, 2, 2, true, 3}}});
    cases.push_back({"an image descriptor cut short",
                     GifBuilder(2, 2).Raw({0x2C, 0x00, 0x00, 0x02}).bytes,
                     true,
                     {}});
    cases.push_back(
        {"a header without a screen descriptor", {'G', 'I', 'F', '8', '9', 'a', 2}, true, {}});
    return cases;
}
