// A JSON reader that builds nothing: the caller walks a document value by value and keeps what
// it wants, a string only up to a bound it gives; everything else is checked and skipped as it
// is read. Over memory or an open file read in steps of kStep bytes, so that memory stays fixed
// whatever the document holds (a string of gigabytes, millions of members, deep nesting), the
// time is linear, and a stop request is seen at least once per step.
//
// The grammar is RFC 8259's; string bytes outside escapes are taken as they are (not checked
// as UTF-8), \u escapes are written as UTF-8 (surrogates in pairs only).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// A document that is not JSON, or a file that could not be read; what() says which and where.
class JsonScanError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// The stop flag turned true.
struct JsonScanStopped {};

class JsonScanner {
public:
    static constexpr std::size_t kStep = 1u << 20;
    // Longest key reported as it is; a longer one is reported empty (it matches no name).
    static constexpr std::size_t kMaxKeyBytes = 64;

    JsonScanner(std::string_view document, const std::atomic<bool>* stop);
    // Reads `fd` from its position; the descriptor stays the caller's.
    JsonScanner(int fd, const std::atomic<bool>* stop);
    JsonScanner(const JsonScanner&) = delete;
    JsonScanner& operator=(const JsonScanner&) = delete;

    // The first byte of the next value, blanks skipped, not taken; -1 at the end.
    int PeekValue();
    // Skips a UTF-8 byte order mark at the very start.
    void SkipByteOrderMark();
    // Throws unless only blanks are left.
    void ExpectEnd();

    // What String saw of the whole string.
    struct StringFacts {
        std::uint64_t length = 0;         // decoded bytes (saturating)
        std::uint64_t base64Symbols = 0;  // of them, base64 alphabet symbols (when counted)
    };
    // Reads a string value, appending its first `limit` decoded bytes to `kept` (null: none).
    StringFacts String(std::string* kept, std::size_t limit, bool countBase64 = false);
    // Reads a number; its value when it is an integer (saturating at the int64 range), nothing
    // for a fraction or an exponent.
    std::optional<std::int64_t> Number();
    // Reads and drops one value of any kind, without recursion: at most `maxDepth`
    // levels of nesting, deeper is an error.
    void Skip(std::size_t maxDepth);

    // Walks an object: `onMember(key)` must read the member's value (or Skip it).
    template <typename OnMember>
    void Object(OnMember&& onMember);
    // Walks an array: `onElement()` must read the element (or Skip it).
    template <typename OnElement>
    void Array(OnElement&& onElement);

    // Bytes taken so far (for messages).
    std::uint64_t Offset() const {
        return m_windowStart + static_cast<std::uint64_t>(m_at - m_begin);
    }

    [[noreturn]] void Fail(const char* what) const;

private:
    int Peek() {
        if (m_at == m_end && !Refill())
            return -1;
        return static_cast<unsigned char>(*m_at);
    }
    void SkipBlanks();
    void Expect(char c, const char* what);
    void Literal(std::string_view word);
    bool Refill();
    // Decodes the escape after a backslash into `out` (1 to 4 bytes); its length.
    std::size_t Escape(char* out);
    unsigned Hex4();

    std::string_view m_document;  // over memory
    int m_fd = -1;                // over a file
    std::unique_ptr<char[]> m_buffer;
    const std::atomic<bool>* m_stop;
    const char* m_begin = nullptr;  // the step at hand
    const char* m_at = nullptr;
    const char* m_end = nullptr;
    std::uint64_t m_windowStart = 0;  // offset of m_begin in the document
};

template <typename OnMember>
void JsonScanner::Object(OnMember&& onMember) {
    Expect('{', "an object");
    SkipBlanks();
    if (Peek() == '}') {
        ++m_at;
        return;
    }
    std::string key;
    for (;;) {
        key.clear();
        if (PeekValue() != '"')
            Fail("a member name is not a string");
        if (String(&key, kMaxKeyBytes).length > kMaxKeyBytes)
            key.clear();
        Expect(':', "a colon after a member name");
        onMember(std::string_view(key));
        SkipBlanks();
        const int next = Peek();
        if (next == '}') {
            ++m_at;
            return;
        }
        if (next != ',')
            Fail("an object member is followed by neither a comma nor its end");
        ++m_at;
    }
}

template <typename OnElement>
void JsonScanner::Array(OnElement&& onElement) {
    Expect('[', "an array");
    SkipBlanks();
    if (Peek() == ']') {
        ++m_at;
        return;
    }
    for (;;) {
        onElement();
        SkipBlanks();
        const int next = Peek();
        if (next == ']') {
            ++m_at;
            return;
        }
        if (next != ',')
            Fail("an array element is followed by neither a comma nor its end");
        ++m_at;
    }
}
