#include "widgets/GifSplitter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::uint8_t kExtensionIntroducer = 0x21;
constexpr std::uint8_t kImageSeparator = 0x2C;
constexpr std::uint8_t kTrailer = 0x3B;
constexpr std::size_t kScreenDescriptorEnd = 13;  // header (6) + logical screen descriptor (7)

bool IsOtherExtension(GifBlockKind kind) {
    return kind == GifBlockKind::Application || kind == GifBlockKind::Comment ||
           kind == GifBlockKind::GraphicControl;
}

}  // namespace

std::chrono::milliseconds FrameDuration(unsigned delay) {
    return std::chrono::milliseconds(delay >= 5 ? delay * 10ull : 100ull);
}

GifSplitter::GifSplitter(std::span<const std::uint8_t> data) : m_data(data) {
    m_isGif = data.size() >= 6 && std::memcmp(data.data(), "GIF", 3) == 0 &&
              (std::memcmp(data.data() + 3, "87a", 3) == 0 ||
               std::memcmp(data.data() + 3, "89a", 3) == 0);
    if (!m_isGif || data.size() < kScreenDescriptorEnd)
        return;
    m_screenWidth = static_cast<int>(Word(6));
    m_screenHeight = static_cast<int>(Word(8));
    const std::uint8_t packed = data[10];
    if (packed & 0x80)
        m_tableSize = 3u << ((packed & 0x07) + 1);
}

unsigned GifSplitter::Word(std::size_t position) const {
    return m_data[position] | (static_cast<unsigned>(m_data[position + 1]) << 8);
}

GifBlockKind GifSplitter::BlockKindAt(std::size_t position) const {
    if (position >= m_data.size())
        return GifBlockKind::Unknown;
    const std::uint8_t first = m_data[position];
    if (first == kImageSeparator)
        return GifBlockKind::Image;
    if (first == kTrailer)
        return GifBlockKind::Trailer;
    if (first != kExtensionIntroducer || position + 1 >= m_data.size()) {
        return GifBlockKind::Unknown;
    }
    switch (m_data[position + 1]) {
        case 0xFF:
            return GifBlockKind::Application;
        case 0xFE:
            return GifBlockKind::Comment;
        case 0xF9:
            return GifBlockKind::GraphicControl;
        case 0x01:
            return GifBlockKind::PlainText;
        default:
            return GifBlockKind::Unknown;
    }
}

std::optional<std::size_t> GifSplitter::ChainLength(std::size_t start) const {
    // Size bytes each followed by that many data bytes, ended by a size byte of 0. The data says
    // nothing about how long the chain is: a chain whose end lies past the data has no length.
    std::size_t at = start;
    while (at < m_data.size()) {
        const std::size_t size = m_data[at];
        at += size + 1;
        if (size == 0)
            return at - start;
    }
    return std::nullopt;
}

std::optional<std::size_t> GifSplitter::BlockLengthAt(std::size_t position) const {
    std::size_t fixed = 0;
    bool chained = true;
    switch (BlockKindAt(position)) {
        case GifBlockKind::Application:
            fixed = 14;
            break;
        case GifBlockKind::Comment:
            fixed = 2;
            break;
        case GifBlockKind::GraphicControl:
            fixed = 8, chained = false;
            break;
        case GifBlockKind::PlainText:
            fixed = 15;
            break;
        case GifBlockKind::Image: {
            if (position + 10 > m_data.size())
                return std::nullopt;
            const std::uint8_t packed = m_data[position + 9];
            const std::size_t localTable = (packed & 0x80) ? (3u << ((packed & 0x07) + 1)) : 0;
            fixed = 11 + localTable;
            break;
        }
        case GifBlockKind::Trailer:
            fixed = 1, chained = false;
            break;
        case GifBlockKind::Unknown:
            return std::nullopt;
    }
    if (fixed > m_data.size() - position)
        return std::nullopt;
    std::size_t length = fixed;
    if (chained) {
        const auto chain = ChainLength(position + fixed);
        if (!chain)
            return std::nullopt;
        length += *chain;
    }
    if (length > m_data.size() - position)
        return std::nullopt;
    return length;
}

bool GifSplitter::SkipBlock() {
    const auto length = BlockLengthAt(m_position);
    if (!length)
        return false;
    m_position += *length;
    return true;
}

bool GifSplitter::SkipGraphicBlock() {
    for (;;) {
        switch (BlockKindAt(m_position)) {
            case GifBlockKind::Unknown:
            case GifBlockKind::Trailer:
                return false;
            case GifBlockKind::Application:
            case GifBlockKind::Comment:
                if (!SkipBlock())
                    return false;
                continue;
            case GifBlockKind::PlainText:
            case GifBlockKind::Image:
                return SkipBlock();
            case GifBlockKind::GraphicControl:
                if (!SkipBlock())
                    return false;
                for (;;) {
                    const GifBlockKind kind = BlockKindAt(m_position);
                    if (kind == GifBlockKind::Unknown || kind == GifBlockKind::Trailer) {
                        return false;
                    }
                    const bool frameBlock =
                        kind == GifBlockKind::Image || kind == GifBlockKind::PlainText;
                    if (!SkipBlock())
                        return false;
                    if (frameBlock)
                        return true;
                }
        }
    }
}

std::size_t GifSplitter::CountGraphicBlocks(std::size_t limit) {
    if (!m_isGif)
        return 0;
    m_position = FirstBlock();
    std::size_t count = 0;
    while (count < limit && SkipGraphicBlock()) ++count;
    return count;
}

std::optional<GifFrame> GifSplitter::ExtractGraphicBlock() {
    GifFrame frame;
    // Application and comment extensions between frames belong to no frame.
    GifBlockKind kind = BlockKindAt(m_position);
    while (kind == GifBlockKind::Application || kind == GifBlockKind::Comment) {
        if (!SkipBlock())
            return std::nullopt;
        kind = BlockKindAt(m_position);
    }
    if (kind == GifBlockKind::Trailer || kind == GifBlockKind::Unknown)
        return std::nullopt;

    const std::size_t start = m_position;
    if (kind == GifBlockKind::GraphicControl) {
        if (!BlockLengthAt(m_position))
            return std::nullopt;  // all 8 bytes must be there
        frame.delay = Word(m_position + 4);
        frame.disposal = (m_data[m_position + 3] >> 2) & 0x07;
        while (IsOtherExtension(kind)) {
            if (!SkipBlock())
                return std::nullopt;
            kind = BlockKindAt(m_position);
        }
        if (kind != GifBlockKind::Image && kind != GifBlockKind::PlainText)
            return std::nullopt;
    }
    if (kind == GifBlockKind::Image) {
        if (m_position + 10 > m_data.size())
            return std::nullopt;
        frame.isImage = true;
        frame.left = static_cast<int>(Word(m_position + 1));
        frame.top = static_cast<int>(Word(m_position + 3));
        frame.width = static_cast<int>(Word(m_position + 5));
        frame.height = static_cast<int>(Word(m_position + 7));
    }
    if (!SkipBlock())
        return std::nullopt;

    const std::size_t head = FirstBlock();  // header, screen descriptor, global colour table
    const std::size_t span = m_position - start;
    frame.gif.reserve(head + span + 1);
    frame.gif.insert(frame.gif.end(), m_data.begin(), m_data.begin() + head);
    frame.gif.insert(frame.gif.end(), m_data.begin() + start, m_data.begin() + m_position);
    frame.gif.push_back(kTrailer);
    return frame;
}

std::vector<GifFrame> GifSplitter::ExtractFrames(std::size_t limit) {
    std::vector<GifFrame> frames;
    if (!m_isGif)
        return frames;
    m_position = FirstBlock();
    while (frames.size() < limit) {
        auto frame = ExtractGraphicBlock();
        if (!frame)
            break;
        frames.push_back(std::move(*frame));
    }
    return frames;
}

bool ReadPictureFile(const std::string& path, std::uint64_t maxBytes,
                     std::vector<std::uint8_t>& out) {
    out.clear();
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it is refused below.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
              static_cast<std::uint64_t>(st.st_size) <= maxBytes;
    if (ok) {
        // The file may grow after fstat: read until its end, but never past the bound.
        out.reserve(static_cast<std::size_t>(st.st_size));
        std::uint8_t chunk[65536];
        for (;;) {
            const ssize_t got = read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                ok = got == 0;
                break;
            }
            if (static_cast<std::uint64_t>(got) > maxBytes - out.size()) {
                ok = false;
                break;
            }
            out.insert(out.end(), chunk, chunk + got);
        }
    }
    close(fd);
    if (!ok)
        out.clear();
    return ok;
}
