#include "mediarules/JsonScanner.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

namespace {

bool IsJsonBlank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool IsJsonDigit(int c) {
    return c >= '0' && c <= '9';
}

// The symbols of both base64 alphabets (the standard one and the URL-safe one).
struct Base64SymbolTable {
    bool symbol[256] = {};
    constexpr Base64SymbolTable() {
        for (int c = 'A'; c <= 'Z'; ++c) symbol[c] = true;
        for (int c = 'a'; c <= 'z'; ++c) symbol[c] = true;
        for (int c = '0'; c <= '9'; ++c) symbol[c] = true;
        symbol[static_cast<unsigned char>('+')] = true;
        symbol[static_cast<unsigned char>('/')] = true;
        symbol[static_cast<unsigned char>('-')] = true;
        symbol[static_cast<unsigned char>('_')] = true;
    }
};
constexpr Base64SymbolTable kBase64Symbols;

std::uint64_t CountBase64Symbols(const char* bytes, std::size_t size) {
    std::uint64_t count = 0;
    for (std::size_t i = 0; i < size; ++i)
        count += kBase64Symbols.symbol[static_cast<unsigned char>(bytes[i])];
    return count;
}

std::uint64_t AddSaturating64(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

}  // namespace

JsonScanner::JsonScanner(std::string_view document, const std::atomic<bool>* stop)
    : m_document(document), m_stop(stop) {
    m_begin = m_at = m_end = document.data();
}

JsonScanner::JsonScanner(int fd, const std::atomic<bool>* stop)
    : m_fd(fd), m_buffer(new char[kStep]), m_stop(stop) {
    m_begin = m_at = m_end = m_buffer.get();
}

bool JsonScanner::Refill() {
    if (m_stop != nullptr && m_stop->load(std::memory_order_relaxed))
        throw JsonScanStopped{};
    m_windowStart += static_cast<std::uint64_t>(m_end - m_begin);
    if (m_fd < 0) {
        const std::size_t taken = static_cast<std::size_t>(m_end - m_document.data());
        const std::size_t step = std::min(kStep, m_document.size() - taken);
        m_begin = m_at = m_end;
        m_end += step;
        return step > 0;
    }
    ssize_t got;
    do {
        got = ::read(m_fd, m_buffer.get(), kStep);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        throw JsonScanError(std::strerror(errno));
    m_begin = m_at = m_buffer.get();
    m_end = m_begin + got;
    return got > 0;
}

void JsonScanner::Fail(const char* what) const {
    throw JsonScanError("not JSON at byte " + std::to_string(Offset()) + ": " + what);
}

void JsonScanner::SkipBlanks() {
    for (;;) {
        while (m_at != m_end && IsJsonBlank(static_cast<unsigned char>(*m_at))) ++m_at;
        if (m_at != m_end || !Refill())
            return;
    }
}

int JsonScanner::PeekValue() {
    SkipBlanks();
    return Peek();
}

void JsonScanner::SkipByteOrderMark() {
    static constexpr std::string_view kMark = "\xEF\xBB\xBF";
    if (Offset() != 0 || Peek() != 0xEF)
        return;
    // The mark is never split: a step is longer, and the first one starts at the file's start.
    if (static_cast<std::size_t>(m_end - m_at) >= kMark.size() &&
        std::string_view(m_at, kMark.size()) == kMark) {
        m_at += kMark.size();
    }
}

void JsonScanner::ExpectEnd() {
    SkipBlanks();
    if (Peek() != -1)
        Fail("more text after the document");
}

void JsonScanner::Expect(char c, const char* what) {
    SkipBlanks();
    if (Peek() != static_cast<unsigned char>(c)) {
        std::string message = std::string("expected ") + what;
        Fail(message.c_str());
    }
    ++m_at;
}

void JsonScanner::Literal(std::string_view word) {
    for (const char c : word) {
        if (Peek() != static_cast<unsigned char>(c))
            Fail("not a value");
        ++m_at;
    }
}

unsigned JsonScanner::Hex4() {
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
        const int c = Peek();
        int digit;
        if (IsJsonDigit(c))
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            Fail("a \\u escape without four hex digits");
        ++m_at;
        value = value << 4 | static_cast<unsigned>(digit);
    }
    return value;
}

std::size_t JsonScanner::Escape(char* out) {
    const int c = Peek();
    if (c == -1)
        Fail("the document ends inside a string");
    ++m_at;
    switch (c) {
        case '"':
        case '\\':
        case '/':
            out[0] = static_cast<char>(c);
            return 1;
        case 'b':
            out[0] = '\b';
            return 1;
        case 'f':
            out[0] = '\f';
            return 1;
        case 'n':
            out[0] = '\n';
            return 1;
        case 'r':
            out[0] = '\r';
            return 1;
        case 't':
            out[0] = '\t';
            return 1;
        case 'u':
            break;
        default:
            Fail("an unknown escape in a string");
    }
    unsigned code = Hex4();
    if (code >= 0xDC00 && code <= 0xDFFF)
        Fail("a \\u escape of a lone low surrogate");
    if (code >= 0xD800 && code <= 0xDBFF) {
        if (Peek() != '\\')
            Fail("a \\u escape of a high surrogate without its low one");
        ++m_at;
        if (Peek() != 'u')
            Fail("a \\u escape of a high surrogate without its low one");
        ++m_at;
        const unsigned low = Hex4();
        if (low < 0xDC00 || low > 0xDFFF)
            Fail("a \\u escape of a high surrogate without its low one");
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    if (code < 0x80) {
        out[0] = static_cast<char>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<char>(0xC0 | code >> 6);
        out[1] = static_cast<char>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<char>(0xE0 | code >> 12);
        out[1] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        out[2] = static_cast<char>(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | code >> 18);
    out[1] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out[2] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out[3] = static_cast<char>(0x80 | (code & 0x3F));
    return 4;
}

JsonScanner::StringFacts JsonScanner::String(std::string* kept, std::size_t limit,
                                             bool countBase64) {
    Expect('"', "a string");
    StringFacts facts;
    const auto take = [&](const char* bytes, std::size_t size) {
        if (kept != nullptr && facts.length < limit) {
            const std::size_t room = limit - static_cast<std::size_t>(facts.length);
            kept->append(bytes, std::min(room, size));
        }
        facts.length = AddSaturating64(facts.length, size);
        if (countBase64)
            facts.base64Symbols += CountBase64Symbols(bytes, size);
    };
    for (;;) {
        // The run of plain bytes in the step at hand.
        const char* run = m_at;
        while (m_at != m_end) {
            const auto c = static_cast<unsigned char>(*m_at);
            if (c == '"' || c == '\\' || c < 0x20)
                break;
            ++m_at;
        }
        if (m_at != run)
            take(run, static_cast<std::size_t>(m_at - run));
        const int c = Peek();
        if (c == -1)
            Fail("the document ends inside a string");
        if (c == '"') {
            ++m_at;
            return facts;
        }
        if (c == '\\') {
            ++m_at;
            char decoded[4];
            take(decoded, Escape(decoded));
        } else if (c < 0x20) {
            Fail("a control character in a string");
        }
    }
}

std::optional<std::int64_t> JsonScanner::Number() {
    SkipBlanks();
    bool negative = false;
    if (Peek() == '-') {
        negative = true;
        ++m_at;
    }
    if (!IsJsonDigit(Peek()))
        Fail("not a value");
    // Magnitudes past int64 saturate; the sign is applied at the end.
    constexpr std::uint64_t kLimit =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
    std::uint64_t magnitude = 0;
    const bool leadingZero = Peek() == '0';
    std::size_t digits = 0;
    while (IsJsonDigit(Peek())) {
        const auto digit = static_cast<std::uint64_t>(*m_at - '0');
        magnitude = magnitude > (kLimit - digit) / 10 ? kLimit : magnitude * 10 + digit;
        ++digits;
        ++m_at;
    }
    if (leadingZero && digits > 1)
        Fail("a number with a leading zero");
    bool integer = true;
    if (Peek() == '.') {
        integer = false;
        ++m_at;
        if (!IsJsonDigit(Peek()))
            Fail("a number without digits after its point");
        while (IsJsonDigit(Peek())) ++m_at;
    }
    if (Peek() == 'e' || Peek() == 'E') {
        integer = false;
        ++m_at;
        if (Peek() == '+' || Peek() == '-')
            ++m_at;
        if (!IsJsonDigit(Peek()))
            Fail("a number without digits in its exponent");
        while (IsJsonDigit(Peek())) ++m_at;
    }
    if (!integer)
        return std::nullopt;
    if (negative)
        return magnitude >= kLimit ? std::numeric_limits<std::int64_t>::min()
                                   : -static_cast<std::int64_t>(magnitude);
    return magnitude >= kLimit ? std::numeric_limits<std::int64_t>::max()
                               : static_cast<std::int64_t>(magnitude);
}

void JsonScanner::Skip(std::size_t maxDepth) {
    // One bit per open level: set for an object, clear for an array.
    std::vector<std::uint64_t> objects;
    std::size_t depth = 0;
    const auto inObject = [&] {
        return (objects[(depth - 1) / 64] >> ((depth - 1) % 64) & 1) != 0;
    };
    const auto open = [&](bool object) {
        if (depth == maxDepth)
            Fail("nested too deeply");
        if (depth / 64 == objects.size())
            objects.push_back(0);
        const std::uint64_t bit = std::uint64_t{1} << (depth % 64);
        objects[depth / 64] = object ? objects[depth / 64] | bit : objects[depth / 64] & ~bit;
        ++depth;
        ++m_at;
    };
    for (;;) {
        // A value.
        const int c = PeekValue();
        bool opened = false;
        if (c == '{') {
            open(true);
            SkipBlanks();
            if (Peek() == '}') {
                ++m_at;
                --depth;
            } else {
                String(nullptr, 0);
                Expect(':', "a colon after a member name");
                opened = true;
            }
        } else if (c == '[') {
            open(false);
            SkipBlanks();
            if (Peek() == ']') {
                ++m_at;
                --depth;
            } else {
                opened = true;
            }
        } else if (c == '"') {
            String(nullptr, 0);
        } else if (c == 't') {
            Literal("true");
        } else if (c == 'f') {
            Literal("false");
        } else if (c == 'n') {
            Literal("null");
        } else if (c == '-' || IsJsonDigit(c)) {
            Number();
        } else if (c == -1) {
            Fail("the document ends where a value should be");
        } else {
            Fail("not a value");
        }
        if (opened)
            continue;  // the first member's or element's value comes next
        // After a value: the next member or element, or the ends of the levels it closes.
        for (;;) {
            if (depth == 0)
                return;
            SkipBlanks();
            const int next = Peek();
            const bool object = inObject();
            if (next == ',') {
                ++m_at;
                if (object) {
                    String(nullptr, 0);
                    Expect(':', "a colon after a member name");
                }
                break;
            }
            if (next == (object ? '}' : ']')) {
                ++m_at;
                --depth;
                continue;
            }
            Fail(object ? "an object member is followed by neither a comma nor its end"
                        : "an array element is followed by neither a comma nor its end");
        }
    }
}
