#include "tls/TlsHello.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint16_t kExtServerName = 0;
constexpr std::uint16_t kExtAlpn = 16;
constexpr std::uint16_t kExtEarlyData = 42;
constexpr std::uint16_t kExtSupportedVersions = 43;

constexpr std::size_t kMaxAlpnNames = 32;
constexpr std::size_t kMaxHostName = 253;

// SHA-256("HelloRetryRequest"): the random of a HelloRetryRequest.
constexpr std::uint8_t kHelloRetryRandom[32] = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

// Bounded reads over one handshake structure; any read past the end makes it fail.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Ok() const { return m_ok; }
    bool AtEnd() const { return m_size == 0; }
    std::size_t Left() const { return m_size; }

    const std::uint8_t* Bytes(std::size_t size) {
        if (!m_ok || size > m_size) {
            m_ok = false;
            return nullptr;
        }
        const std::uint8_t* bytes = m_data;
        m_data += size;
        m_size -= size;
        return bytes;
    }
    std::uint32_t Number(std::size_t width) {
        const std::uint8_t* bytes = Bytes(width);
        std::uint32_t value = 0;
        for (std::size_t i = 0; bytes && i < width; ++i) value = value << 8 | bytes[i];
        return value;
    }
    std::uint8_t U8() { return static_cast<std::uint8_t>(Number(1)); }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Number(2)); }
    // A vector with a length prefix of `width` bytes.
    Reader Vector(std::size_t width) {
        const std::size_t size = Number(width);
        const std::uint8_t* bytes = Bytes(size);
        return bytes ? Reader(bytes, size) : Failed();
    }

private:
    static Reader Failed() {
        Reader reader(nullptr, 0);
        reader.m_ok = false;
        return reader;
    }
    const std::uint8_t* m_data;
    std::size_t m_size;
    bool m_ok = true;
};

// The protocol names of an ALPN extension body.
bool ReadAlpn(Reader extension, std::vector<std::string>& names) {
    Reader list = extension.Vector(2);
    while (list.Ok() && !list.AtEnd()) {
        Reader name = list.Vector(1);
        if (!name.Ok() || name.AtEnd())
            return false;
        const std::size_t size = name.Left();
        const std::uint8_t* bytes = name.Bytes(size);
        if (names.size() < kMaxAlpnNames)
            names.emplace_back(reinterpret_cast<const char*>(bytes), size);
    }
    return list.Ok() && extension.AtEnd();
}

bool IsHostNameCharacter(std::uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

// The first host name of a server_name extension body, when it is a plain host name.
bool ReadServerName(Reader extension, std::string& hostName) {
    Reader list = extension.Vector(2);
    while (list.Ok() && !list.AtEnd()) {
        const std::uint8_t type = list.U8();
        Reader name = list.Vector(2);
        if (!name.Ok())
            return false;
        if (type != 0 || !hostName.empty())
            continue;
        const std::size_t size = name.Left();
        const std::uint8_t* bytes = name.Bytes(size);
        if (size > 0 && size <= kMaxHostName &&
            std::all_of(bytes, bytes + size, IsHostNameCharacter))
            hostName.assign(reinterpret_cast<const char*>(bytes), size);
    }
    return list.Ok() && extension.AtEnd();
}

}  // namespace

bool ReadClientHello(const std::uint8_t* body, std::size_t size, TlsClientHello& hello) {
    Reader in(body, size);
    in.U16();  // legacy version
    const std::uint8_t* random = in.Bytes(32);
    const Reader sessionId = in.Vector(1);
    const Reader suites = in.Vector(2);
    const Reader compression = in.Vector(1);
    if (!in.Ok() || sessionId.Left() > 32 || suites.Left() < 2 || suites.Left() % 2 != 0 ||
        compression.AtEnd())
        return false;
    if (!in.AtEnd()) {
        Reader extensions = in.Vector(2);
        if (!in.Ok() || !in.AtEnd())
            return false;
        while (!extensions.AtEnd()) {
            const std::uint16_t extensionType = extensions.U16();
            Reader extension = extensions.Vector(2);
            if (!extensions.Ok())
                return false;
            if (extensionType == kExtServerName && !ReadServerName(extension, hello.serverName))
                return false;
            if (extensionType == kExtAlpn && !ReadAlpn(extension, hello.alpn))
                return false;
            if (extensionType == kExtEarlyData)
                hello.earlyData = true;
        }
    }
    std::memcpy(hello.random.data(), random, 32);
    return true;
}

bool ReadServerHello(const std::uint8_t* body, std::size_t size, TlsServerHello& hello) {
    Reader in(body, size);
    hello.version = in.U16();  // the legacy version, until supported_versions says otherwise
    const std::uint8_t* random = in.Bytes(32);
    const Reader sessionId = in.Vector(1);
    hello.suite = in.U16();
    hello.compression = in.U8();
    if (!in.Ok() || sessionId.Left() > 32)
        return false;
    if (!in.AtEnd()) {
        Reader extensions = in.Vector(2);
        if (!in.Ok() || !in.AtEnd())
            return false;
        while (!extensions.AtEnd()) {
            const std::uint16_t extensionType = extensions.U16();
            Reader extension = extensions.Vector(2);
            bool ok = extensions.Ok();
            if (ok && extensionType == kExtSupportedVersions) {
                hello.version = extension.U16();
                ok = extension.Ok() && extension.AtEnd();
            }
            if (ok && extensionType == kExtAlpn)
                ok = ReadAlpn(extension, hello.alpn) && hello.alpn.size() == 1;
            if (!ok)
                return false;
        }
    }
    std::memcpy(hello.random, random, 32);
    hello.helloRetry = std::memcmp(random, kHelloRetryRandom, 32) == 0;
    return true;
}

bool ReadEncryptedExtensions(const std::uint8_t* body, std::size_t size,
                             TlsEncryptedExtensions& result) {
    Reader message(body, size);
    Reader extensions = message.Vector(2);
    if (!message.Ok() || !message.AtEnd())
        return false;
    while (!extensions.AtEnd()) {
        const std::uint16_t extensionType = extensions.U16();
        Reader extension = extensions.Vector(2);
        if (!extensions.Ok())
            return false;
        if (extensionType == kExtAlpn) {
            std::vector<std::string> alpn;
            if (!ReadAlpn(extension, alpn) || alpn.size() != 1)
                return false;
            result.alpn = std::move(alpn.front());
        }
        if (extensionType == kExtEarlyData)
            result.earlyData = true;
    }
    return true;
}
