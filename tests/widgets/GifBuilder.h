// Builds GIF files byte by byte for the tests: a four-colour global table, and images whose
// pixel data is real LZW (a clear code after every two pixels keeps the codes at 3 bits).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct GifBuilder {
    std::vector<std::uint8_t> bytes;

    // Header, logical screen of w x h and a global table of four colours (0xRRGGBB).
    GifBuilder(int w, int h,
               std::vector<std::uint32_t> colours = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF},
               const char* version = "89a") {
        Text(std::string("GIF") + version);
        Word(w), Word(h);
        bytes.push_back(0x80 | 0x01);  // global table of 2^(1+1) = 4 entries
        bytes.push_back(0), bytes.push_back(0);
        for (std::uint32_t c : colours) {
            bytes.push_back(static_cast<std::uint8_t>(c >> 16));
            bytes.push_back(static_cast<std::uint8_t>(c >> 8));
            bytes.push_back(static_cast<std::uint8_t>(c));
        }
    }
    GifBuilder& Control(unsigned delay, int disposal, int transparent = -1) {
        bytes.insert(bytes.end(), {0x21, 0xF9, 0x04});
        bytes.push_back(static_cast<std::uint8_t>((disposal << 2) | (transparent >= 0 ? 1 : 0)));
        Word(delay);
        bytes.push_back(static_cast<std::uint8_t>(transparent >= 0 ? transparent : 0));
        bytes.push_back(0);
        return *this;
    }
    GifBuilder& Comment(const std::string& text) {
        bytes.insert(bytes.end(), {0x21, 0xFE});
        return SubBlocks(std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    // The looping extension browsers write.
    GifBuilder& Loop() {
        bytes.insert(bytes.end(), {0x21, 0xFF, 0x0B});
        Text("NETSCAPE2.0");
        bytes.insert(bytes.end(), {0x03, 0x01, 0x00, 0x00, 0x00});
        return *this;
    }
    GifBuilder& PlainText(const std::string& text) {
        bytes.insert(bytes.end(), {0x21, 0x01, 0x0C});
        for (int i = 0; i < 12; ++i) bytes.push_back(0);
        return SubBlocks(std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    // An image of w x h at (left, top) whose every pixel has colour index `colour`.
    GifBuilder& Image(int left, int top, int w, int h, int colour) {
        return Image(left, top, w, h,
                     std::vector<std::uint8_t>(static_cast<std::size_t>(w * h),
                                               static_cast<std::uint8_t>(colour)));
    }
    GifBuilder& Image(int left, int top, int w, int h, const std::vector<std::uint8_t>& pixels) {
        bytes.push_back(0x2C);
        Word(left), Word(top), Word(w), Word(h);
        bytes.push_back(0);  // no local table, not interlaced
        bytes.push_back(2);  // LZW minimum code size
        std::vector<unsigned> codes{4};
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            if (i > 0 && i % 2 == 0)
                codes.push_back(4);
            codes.push_back(pixels[i] & 3);
        }
        codes.push_back(5);
        std::vector<std::uint8_t> packed;
        unsigned bits = 0, count = 0;
        for (unsigned code : codes) {
            bits |= code << count;
            count += 3;
            while (count >= 8) {
                packed.push_back(static_cast<std::uint8_t>(bits));
                bits >>= 8;
                count -= 8;
            }
        }
        if (count > 0)
            packed.push_back(static_cast<std::uint8_t>(bits));
        return SubBlocks(packed);
    }
    GifBuilder& Trailer() {
        bytes.push_back(0x3B);
        return *this;
    }
    GifBuilder& Raw(std::initializer_list<std::uint8_t> raw) {
        bytes.insert(bytes.end(), raw);
        return *this;
    }

    GifBuilder& SubBlocks(const std::vector<std::uint8_t>& data) {
        for (std::size_t at = 0; at < data.size(); at += 255) {
            const std::size_t n = std::min<std::size_t>(255, data.size() - at);
            bytes.push_back(static_cast<std::uint8_t>(n));
            bytes.insert(bytes.end(), data.begin() + static_cast<long>(at),
                         data.begin() + static_cast<long>(at + n));
        }
        bytes.push_back(0);
        return *this;
    }
    void Word(unsigned v) {
        bytes.push_back(static_cast<std::uint8_t>(v));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void Text(const std::string& text) { bytes.insert(bytes.end(), text.begin(), text.end()); }
};
