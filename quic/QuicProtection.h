// The packet protection of QUIC versions 1 and 2: the versions' Initial secrets, packet keys
// derived from a TLS secret (and the next ones at a key update), header protection, the
// packet number, the payload's AEAD and the Retry integrity tag. Built on tls/TlsCipher
// (HKDF and the AEAD keys of libcrypto).
//
// Protection is symmetric: the same keys seal what they open. The reader opens packets; the
// capture generator and the tests seal them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tls/KeyLog.h"
#include "tls/TlsCipher.h"

inline constexpr std::uint32_t kQuicVersion1 = 0x00000001;
inline constexpr std::uint32_t kQuicVersion2 = 0x6B3343CF;

// Whether packets of `version` can be read here (1 and 2).
inline bool IsKnownQuicVersion(std::uint32_t version) {
    return version == kQuicVersion1 || version == kQuicVersion2;
}

enum class QuicPacketType : std::uint8_t { Initial, ZeroRtt, Handshake, Retry };

// The type of a long header whose first byte is `first`, in `version` (2 numbers them anew).
QuicPacketType LongHeaderType(std::uint32_t version, std::uint8_t first);
// The type bits (already in place: 0x00, 0x10, 0x20 or 0x30) of `type` in `version`.
std::uint8_t LongHeaderTypeBits(std::uint32_t version, QuicPacketType type);

// The suite of Initial packets: AES-128-GCM with SHA-256.
inline constexpr TlsSuite kQuicInitialSuite{0x1301, TlsAead::Aes128Gcm, false};

// The two Initial secrets of a connection, from the Destination Connection ID of the client's
// first Initial (or the one a Retry chose).
bool QuicInitialSecrets(std::uint32_t version, const std::uint8_t* connectionId,
                        std::size_t connectionIdSize, TlsSecret& client, TlsSecret& server);

// The secret after a key update ("quic ku").
bool QuicNextSecret(const TlsSuite& suite, std::uint32_t version, const TlsSecret& secret,
                    TlsSecret& next);

inline constexpr std::size_t kQuicSampleSize = 16;
inline constexpr std::size_t kQuicMaxPacketNumberSize = 4;

// Header protection of one direction at one level: the mask from a sample of the ciphertext
// (AES-ECB, or ChaCha20 with the sample as counter and nonce). One key for all of the level,
// key updates included. ChaCha20's one block is computed here: through libcrypto, setting a
// new counter and nonce for every packet costs more than the block itself.
class QuicHeaderKey {
public:
    QuicHeaderKey();
    ~QuicHeaderKey();
    QuicHeaderKey(const QuicHeaderKey&) = delete;
    QuicHeaderKey& operator=(const QuicHeaderKey&) = delete;

    bool Set(TlsAead aead, const std::uint8_t* key);
    void Clear();
    bool HasKey() const { return m_hasKey; }
    // Five bytes of mask from kQuicSampleSize bytes of sample.
    bool Mask(const std::uint8_t* sample, std::uint8_t* mask);

private:
    EVP_CIPHER_CTX* m_context = nullptr;
    std::uint32_t m_chachaKey[8] = {};
    TlsAead m_aead = TlsAead::Aes128Gcm;
    bool m_hasKey = false;
};

// Payload protection under one key: the AEAD key and the IV that each packet's number is mixed
// into.
class QuicPayloadKey {
public:
    QuicPayloadKey() = default;
    ~QuicPayloadKey();
    QuicPayloadKey(const QuicPayloadKey&) = delete;
    QuicPayloadKey& operator=(const QuicPayloadKey&) = delete;

    bool Set(TlsAead aead, const std::uint8_t* key, const std::uint8_t* iv, AeadKey::Use use);
    void Clear();
    bool HasKey() const { return m_key.HasKey(); }

    // Opens `size` bytes (ciphertext, then the tag) into `out` (which may be `payload`);
    // false when they do not authenticate. `header` is the unprotected header.
    bool Open(std::uint64_t packetNumber, const std::uint8_t* header, std::size_t headerSize,
              const std::uint8_t* payload, std::size_t size, std::uint8_t* out);
    // Seals `size` bytes into `out`, which gets size + AeadKey::kTagSize bytes.
    bool Seal(std::uint64_t packetNumber, const std::uint8_t* header, std::size_t headerSize,
              const std::uint8_t* payload, std::size_t size, std::uint8_t* out);

private:
    void Nonce(std::uint64_t packetNumber, std::uint8_t* nonce) const;

    AeadKey m_key;
    std::uint8_t m_iv[AeadKey::kNonceSize] = {};
};

// One direction's keys at one level, made from a TLS secret: "quic key", "quic iv" and
// "quic hp" (or "quicv2 ...").
struct QuicKeys {
    QuicHeaderKey header;
    QuicPayloadKey payload;
    bool HasKeys() const { return header.HasKey() && payload.HasKey(); }
    void Clear() {
        header.Clear();
        payload.Clear();
    }
};

bool SetQuicKeys(QuicKeys& keys, const TlsSuite& suite, std::uint32_t version,
                 const TlsSecret& secret, AeadKey::Use use = AeadKey::Use::Open);
// Only the header key of a secret ("quic hp").
bool SetQuicHeaderKey(QuicHeaderKey& key, const TlsSuite& suite, std::uint32_t version,
                      const TlsSecret& secret);
// Only the payload key of a secret: after a key update the header key stays.
bool SetQuicPayloadKey(QuicPayloadKey& key, const TlsSuite& suite, std::uint32_t version,
                       const TlsSecret& secret, AeadKey::Use use = AeadKey::Use::Open);

// The full packet number nearest to the one expected after `largest` (the largest yet seen in
// the space, -1 for none) whose low `size` bytes are `truncated`.
std::uint64_t DecodePacketNumber(std::int64_t largest, std::uint64_t truncated, std::size_t size);

// Removes the header protection of a packet whose packet number starts at `numberOffset` in
// `packet` (`size` bytes: the whole packet, to its end): writes the header with its first byte
// and packet number unmasked into `header` (numberOffset + 4 bytes at most), and gives the
// number's size and truncated value. False when the packet is too short to be sampled.
bool RemoveHeaderProtection(QuicHeaderKey& key, const std::uint8_t* packet, std::size_t size,
                            std::size_t numberOffset, bool longHeader, std::uint8_t* header,
                            std::size_t& numberSize, std::uint64_t& truncated);

// Seals a packet in place: `packet` holds the unprotected header (its packet number of
// `numberSize` bytes at `numberOffset`), then `payloadSize` bytes of payload, and room for the
// tag after them. Encrypts the payload, appends the tag and protects the header.
bool SealQuicPacket(QuicKeys& keys, std::uint8_t* packet, std::size_t numberOffset,
                    std::size_t numberSize, std::uint64_t packetNumber, std::size_t payloadSize);

// The Retry integrity tag of `retry` (the Retry packet without its tag) under the client's
// original Destination Connection ID.
bool QuicRetryTag(std::uint32_t version, const std::uint8_t* originalConnectionId,
                  std::size_t originalConnectionIdSize, const std::uint8_t* retry,
                  std::size_t retrySize, std::uint8_t* tag);
