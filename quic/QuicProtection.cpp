#include "quic/QuicProtection.h"

#include <cstring>
#include <string_view>
#include <vector>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace {

constexpr std::uint8_t kSaltVersion1[20] = {0x38, 0x76, 0x2C, 0xF7, 0xF5, 0x59, 0x34,
                                            0xB3, 0x4D, 0x17, 0x9A, 0xE6, 0xA4, 0xC8,
                                            0x0C, 0xAD, 0xCC, 0xBB, 0x7F, 0x0A};
constexpr std::uint8_t kSaltVersion2[20] = {0x0D, 0xED, 0xE3, 0xDE, 0xF7, 0x00, 0xA6,
                                            0xDB, 0x81, 0x93, 0x81, 0xBE, 0x6E, 0x26,
                                            0x9D, 0xCB, 0xF9, 0xBD, 0x2E, 0xD9};
constexpr std::uint8_t kRetryKeyVersion1[16] = {0xBE, 0x0C, 0x69, 0x0B, 0x9F, 0x66, 0x57, 0x5A,
                                                0x1D, 0x76, 0x6B, 0x54, 0xE3, 0x68, 0xC8, 0x4E};
constexpr std::uint8_t kRetryNonceVersion1[12] = {0x46, 0x15, 0x99, 0xD3, 0x5D, 0x63,
                                                  0x2B, 0xF2, 0x23, 0x98, 0x25, 0xBB};
constexpr std::uint8_t kRetryKeyVersion2[16] = {0x8F, 0xB4, 0xB0, 0x1B, 0x56, 0xAC, 0x48, 0xE2,
                                                0x60, 0xFB, 0xCB, 0xCE, 0xAD, 0x7C, 0xCC, 0x92};
constexpr std::uint8_t kRetryNonceVersion2[12] = {0xD8, 0x69, 0x69, 0xBC, 0x2D, 0x7C,
                                                  0x6D, 0x99, 0x90, 0xEF, 0xB0, 0x4A};

// The labels of a version (HkdfExpandLabel puts "tls13 " in front).
struct Labels {
    std::string_view key;
    std::string_view iv;
    std::string_view hp;
    std::string_view ku;
};

const Labels& LabelsOf(std::uint32_t version) {
    static const Labels one{"quic key", "quic iv", "quic hp", "quic ku"};
    static const Labels two{"quicv2 key", "quicv2 iv", "quicv2 hp", "quicv2 ku"};
    return version == kQuicVersion2 ? two : one;
}

// Fetched once, as the AEAD ciphers are: AES-ECB of one block.
const EVP_CIPHER* HeaderCipher(TlsAead aead) {
    static EVP_CIPHER* const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    static EVP_CIPHER* const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
    switch (aead) {
        case TlsAead::Aes128Gcm:
            return aes128;
        case TlsAead::Aes256Gcm:
            return aes256;
        case TlsAead::ChaCha20Poly1305:
            break;
    }
    return nullptr;
}

std::uint32_t LoadLittle32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

std::uint32_t Rotate(std::uint32_t value, int bits) {
    return value << bits | value >> (32 - bits);
}

// The first five bytes of the ChaCha20 block (RFC 8439, 2.3) of `key` whose counter and
// nonce are the sample's 16 bytes (RFC 9001, 5.4.4). The state stays in registers.
void ChaChaMask(const std::uint32_t* key, const std::uint8_t* sample, std::uint8_t* mask) {
    constexpr std::uint32_t c0 = 0x61707865, c1 = 0x3320646E, c2 = 0x79622D32, c3 = 0x6B206574;
    std::uint32_t x0 = c0, x1 = c1, x2 = c2, x3 = c3;
    std::uint32_t x4 = key[0], x5 = key[1], x6 = key[2], x7 = key[3];
    std::uint32_t x8 = key[4], x9 = key[5], x10 = key[6], x11 = key[7];
    std::uint32_t x12 = LoadLittle32(sample), x13 = LoadLittle32(sample + 4);
    std::uint32_t x14 = LoadLittle32(sample + 8), x15 = LoadLittle32(sample + 12);
#define PELNIX_QUARTER(a, b, c, d) \
    a += b;                        \
    d = Rotate(d ^ a, 16);         \
    c += d;                        \
    b = Rotate(b ^ c, 12);         \
    a += b;                        \
    d = Rotate(d ^ a, 8);          \
    c += d;                        \
    b = Rotate(b ^ c, 7)
    for (int round = 0; round < 10; ++round) {
        PELNIX_QUARTER(x0, x4, x8, x12);
        PELNIX_QUARTER(x1, x5, x9, x13);
        PELNIX_QUARTER(x2, x6, x10, x14);
        PELNIX_QUARTER(x3, x7, x11, x15);
        PELNIX_QUARTER(x0, x5, x10, x15);
        PELNIX_QUARTER(x1, x6, x11, x12);
        PELNIX_QUARTER(x2, x7, x8, x13);
        PELNIX_QUARTER(x3, x4, x9, x14);
    }
#undef PELNIX_QUARTER
    const std::uint32_t first = x0 + c0;
    const std::uint32_t second = x1 + c1;
    for (int i = 0; i < 4; ++i) mask[i] = static_cast<std::uint8_t>(first >> (8 * i));
    mask[4] = static_cast<std::uint8_t>(second);
}

// Wiped when it goes: key material on the stack.
struct Scratch {
    std::uint8_t bytes[64] = {};
    ~Scratch() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

}  // namespace

QuicPacketType LongHeaderType(std::uint32_t version, std::uint8_t first) {
    const unsigned bits = (first >> 4) & 0x03;
    if (version == kQuicVersion2) {
        constexpr QuicPacketType types[4] = {QuicPacketType::Retry, QuicPacketType::Initial,
                                             QuicPacketType::ZeroRtt, QuicPacketType::Handshake};
        return types[bits];
    }
    return static_cast<QuicPacketType>(bits);
}

std::uint8_t LongHeaderTypeBits(std::uint32_t version, QuicPacketType type) {
    unsigned bits = static_cast<unsigned>(type);
    if (version == kQuicVersion2)
        bits = (bits + 1) & 0x03;
    return static_cast<std::uint8_t>(bits << 4);
}

bool QuicInitialSecrets(std::uint32_t version, const std::uint8_t* connectionId,
                        std::size_t connectionIdSize, TlsSecret& client, TlsSecret& server) {
    if (!IsKnownQuicVersion(version))
        return false;
    const std::uint8_t* salt = version == kQuicVersion2 ? kSaltVersion2 : kSaltVersion1;
    TlsSecret initial;
    Scratch secret;
    if (!HkdfExtract(kQuicInitialSuite, salt, sizeof kSaltVersion1, connectionId,
                     connectionIdSize, initial) ||
        !HkdfExpandLabel(kQuicInitialSuite, initial, "client in", secret.bytes, 32))
        return false;
    client = TlsSecret(secret.bytes, 32);
    if (!HkdfExpandLabel(kQuicInitialSuite, initial, "server in", secret.bytes, 32))
        return false;
    server = TlsSecret(secret.bytes, 32);
    return true;
}

bool QuicNextSecret(const TlsSuite& suite, std::uint32_t version, const TlsSecret& secret,
                    TlsSecret& next) {
    Scratch bytes;
    const std::size_t size = TlsHashSize(suite);
    if (secret.Size() != size || !HkdfExpandLabel(suite, secret, LabelsOf(version).ku,
                                                  bytes.bytes, size))
        return false;
    next = TlsSecret(bytes.bytes, size);
    return true;
}

QuicHeaderKey::QuicHeaderKey() : m_context(EVP_CIPHER_CTX_new()) {}

QuicHeaderKey::~QuicHeaderKey() {
    EVP_CIPHER_CTX_free(m_context);
    OPENSSL_cleanse(m_chachaKey, sizeof m_chachaKey);
}

bool QuicHeaderKey::Set(TlsAead aead, const std::uint8_t* key) {
    Clear();
    m_aead = aead;
    if (aead == TlsAead::ChaCha20Poly1305) {
        for (int i = 0; i < 8; ++i) m_chachaKey[i] = LoadLittle32(key + 4 * i);
        m_hasKey = true;
        return true;
    }
    const EVP_CIPHER* cipher = HeaderCipher(aead);
    if (!m_context || !cipher || EVP_EncryptInit_ex(m_context, cipher, nullptr, key, nullptr) != 1)
        return false;
    EVP_CIPHER_CTX_set_padding(m_context, 0);
    m_hasKey = true;
    return true;
}

void QuicHeaderKey::Clear() {
    if (m_hasKey && m_context && m_aead != TlsAead::ChaCha20Poly1305)
        EVP_CIPHER_CTX_reset(m_context);
    OPENSSL_cleanse(m_chachaKey, sizeof m_chachaKey);
    m_hasKey = false;
}

bool QuicHeaderKey::Mask(const std::uint8_t* sample, std::uint8_t* mask) {
    if (!m_hasKey)
        return false;
    if (m_aead == TlsAead::ChaCha20Poly1305) {
        ChaChaMask(m_chachaKey, sample, mask);
        return true;
    }
    std::uint8_t block[kQuicSampleSize];
    int length = 0;
    if (EVP_EncryptUpdate(m_context, block, &length, sample, kQuicSampleSize) != 1)
        return false;
    std::memcpy(mask, block, 5);
    return true;
}

QuicPayloadKey::~QuicPayloadKey() {
    OPENSSL_cleanse(m_iv, sizeof m_iv);
}

bool QuicPayloadKey::Set(TlsAead aead, const std::uint8_t* key, const std::uint8_t* iv,
                         AeadKey::Use use) {
    if (!m_key.Set(aead, key, use))
        return false;
    std::memcpy(m_iv, iv, sizeof m_iv);
    return true;
}

void QuicPayloadKey::Clear() {
    m_key.Clear();
    OPENSSL_cleanse(m_iv, sizeof m_iv);
}

void QuicPayloadKey::Nonce(std::uint64_t packetNumber, std::uint8_t* nonce) const {
    std::memcpy(nonce, m_iv, sizeof m_iv);
    for (int i = 0; i < 8; ++i)
        nonce[4 + i] ^= static_cast<std::uint8_t>(packetNumber >> (56 - 8 * i));
}

bool QuicPayloadKey::Open(std::uint64_t packetNumber, const std::uint8_t* header,
                          std::size_t headerSize, const std::uint8_t* payload, std::size_t size,
                          std::uint8_t* out) {
    if (size < AeadKey::kTagSize)
        return false;
    std::uint8_t nonce[AeadKey::kNonceSize];
    Nonce(packetNumber, nonce);
    const std::size_t cipherSize = size - AeadKey::kTagSize;
    return m_key.Open(nonce, header, headerSize, payload, cipherSize, payload + cipherSize, out);
}

bool QuicPayloadKey::Seal(std::uint64_t packetNumber, const std::uint8_t* header,
                          std::size_t headerSize, const std::uint8_t* payload, std::size_t size,
                          std::uint8_t* out) {
    std::uint8_t nonce[AeadKey::kNonceSize];
    Nonce(packetNumber, nonce);
    return m_key.Seal(nonce, header, headerSize, payload, size, out, out + size);
}

bool SetQuicPayloadKey(QuicPayloadKey& key, const TlsSuite& suite, std::uint32_t version,
                       const TlsSecret& secret, AeadKey::Use use) {
    const Labels& labels = LabelsOf(version);
    Scratch bytes;
    std::uint8_t* aeadKey = bytes.bytes;
    std::uint8_t* iv = bytes.bytes + 32;
    return HkdfExpandLabel(suite, secret, labels.key, aeadKey, TlsKeySize(suite.aead)) &&
           HkdfExpandLabel(suite, secret, labels.iv, iv, AeadKey::kNonceSize) &&
           key.Set(suite.aead, aeadKey, iv, use);
}

bool SetQuicHeaderKey(QuicHeaderKey& key, const TlsSuite& suite, std::uint32_t version,
                      const TlsSecret& secret) {
    Scratch hp;
    return HkdfExpandLabel(suite, secret, LabelsOf(version).hp, hp.bytes,
                           TlsKeySize(suite.aead)) &&
           key.Set(suite.aead, hp.bytes);
}

bool SetQuicKeys(QuicKeys& keys, const TlsSuite& suite, std::uint32_t version,
                 const TlsSecret& secret, AeadKey::Use use) {
    keys.Clear();
    return SetQuicPayloadKey(keys.payload, suite, version, secret, use) &&
           SetQuicHeaderKey(keys.header, suite, version, secret);
}

std::uint64_t DecodePacketNumber(std::int64_t largest, std::uint64_t truncated, std::size_t size) {
    const std::uint64_t expected = static_cast<std::uint64_t>(largest + 1);
    const std::uint64_t window = std::uint64_t{1} << (size * 8);
    const std::uint64_t half = window / 2;
    const std::uint64_t mask = window - 1;
    const std::uint64_t candidate = (expected & ~mask) | truncated;
    // Packet numbers stop at 2^62 - 1.
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 62;
    if (candidate + half <= expected && candidate < kLimit - window)
        return candidate + window;
    if (candidate > expected + half && candidate >= window)
        return candidate - window;
    return candidate;
}

bool RemoveHeaderProtection(QuicHeaderKey& key, const std::uint8_t* packet, std::size_t size,
                            std::size_t numberOffset, bool longHeader, std::uint8_t* header,
                            std::size_t& numberSize, std::uint64_t& truncated) {
    // The sample starts four bytes after the packet number's start, whatever its size.
    if (numberOffset > size || size - numberOffset < kQuicMaxPacketNumberSize + kQuicSampleSize)
        return false;
    std::uint8_t mask[5];
    if (!key.Mask(packet + numberOffset + kQuicMaxPacketNumberSize, mask))
        return false;
    std::memcpy(header, packet, numberOffset);
    header[0] = static_cast<std::uint8_t>(packet[0] ^ (mask[0] & (longHeader ? 0x0F : 0x1F)));
    numberSize = static_cast<std::size_t>(header[0] & 0x03) + 1;
    truncated = 0;
    for (std::size_t i = 0; i < numberSize; ++i) {
        header[numberOffset + i] = packet[numberOffset + i] ^ mask[1 + i];
        truncated = truncated << 8 | header[numberOffset + i];
    }
    return true;
}

bool SealQuicPacket(QuicKeys& keys, std::uint8_t* packet, std::size_t numberOffset,
                    std::size_t numberSize, std::uint64_t packetNumber, std::size_t payloadSize) {
    const std::size_t headerSize = numberOffset + numberSize;
    if (numberSize == 0 || numberSize > kQuicMaxPacketNumberSize ||
        !keys.payload.Seal(packetNumber, packet, headerSize, packet + headerSize, payloadSize,
                           packet + headerSize))
        return false;
    const std::size_t size = headerSize + payloadSize + AeadKey::kTagSize;
    if (size - numberOffset < kQuicMaxPacketNumberSize + kQuicSampleSize)
        return false;
    std::uint8_t mask[5];
    if (!keys.header.Mask(packet + numberOffset + kQuicMaxPacketNumberSize, mask))
        return false;
    const bool longHeader = (packet[0] & 0x80) != 0;
    packet[0] ^= mask[0] & (longHeader ? 0x0F : 0x1F);
    for (std::size_t i = 0; i < numberSize; ++i) packet[numberOffset + i] ^= mask[1 + i];
    return true;
}

bool QuicRetryTag(std::uint32_t version, const std::uint8_t* originalConnectionId,
                  std::size_t originalConnectionIdSize, const std::uint8_t* retry,
                  std::size_t retrySize, std::uint8_t* tag) {
    if (!IsKnownQuicVersion(version) || originalConnectionIdSize > 20 || retrySize > 65536)
        return false;
    // The pseudo-packet: the original Destination Connection ID with its length, then the Retry.
    std::vector<std::uint8_t> pseudo(1 + originalConnectionIdSize + retrySize);
    pseudo[0] = static_cast<std::uint8_t>(originalConnectionIdSize);
    std::memcpy(pseudo.data() + 1, originalConnectionId, originalConnectionIdSize);
    std::memcpy(pseudo.data() + 1 + originalConnectionIdSize, retry, retrySize);
    AeadKey key;
    const bool two = version == kQuicVersion2;
    std::uint8_t nothing[1] = {};
    return key.Set(TlsAead::Aes128Gcm, two ? kRetryKeyVersion2 : kRetryKeyVersion1,
                   AeadKey::Use::Seal) &&
           key.Seal(two ? kRetryNonceVersion2 : kRetryNonceVersion1, pseudo.data(),
                    pseudo.size(), nothing, 0, nothing, tag);
}
