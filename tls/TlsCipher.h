// The cryptography of TLS record protection, on OpenSSL's libcrypto: the AEAD cipher suites we
// decrypt, key derivation (the TLS 1.2 PRF, the TLS 1.3 HKDF-Extract and HKDF-Expand-Label), one
// AEAD key and one direction's record decryption. QUIC's packet protection (quic/) is built on
// the same pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "tls/KeyLog.h"

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

inline constexpr std::uint16_t kTls12 = 0x0303;
inline constexpr std::uint16_t kTls13 = 0x0304;

enum class TlsAead : std::uint8_t { Aes128Gcm, Aes256Gcm, ChaCha20Poly1305 };

struct TlsSuite {
    std::uint16_t id;
    TlsAead aead;
    bool sha384;  // the suite's hash (TLS 1.2 PRF, TLS 1.3 HKDF): SHA-384, else SHA-256
};

// The suite `id` in `version`; nothing when we cannot decrypt it (not an AEAD suite we know, or
// a suite of the other version).
std::optional<TlsSuite> FindTlsSuite(std::uint16_t id, std::uint16_t version);

std::size_t TlsKeySize(TlsAead aead);
inline std::size_t TlsHashSize(const TlsSuite& suite) {
    return suite.sha384 ? 48 : 32;
}

// TLS 1.2 key expansion: PRF(master, "key expansion", server random + client random), `size`
// bytes.
bool Tls12KeyBlock(const TlsSuite& suite, const TlsSecret& master, const std::uint8_t* clientRandom,
                   const std::uint8_t* serverRandom, std::uint8_t* out, std::size_t size);

// TLS 1.3 HKDF-Expand-Label(secret, label, "", size).
bool HkdfExpandLabel(const TlsSuite& suite, const TlsSecret& secret, std::string_view label,
                     std::uint8_t* out, std::size_t size);

// HKDF-Extract(salt, input keying material) with the suite's hash: a secret of the hash's size.
bool HkdfExtract(const TlsSuite& suite, const std::uint8_t* salt, std::size_t saltSize,
                 const std::uint8_t* input, std::size_t inputSize, TlsSecret& out);

// One AEAD key (AES-128-GCM, AES-256-GCM or ChaCha20-Poly1305): its context is made once, and
// each call gives the 12-byte nonce and the associated data. A key either opens or seals.
class AeadKey {
public:
    static constexpr std::size_t kTagSize = 16;
    static constexpr std::size_t kNonceSize = 12;
    enum class Use : std::uint8_t { Open, Seal };

    AeadKey();
    ~AeadKey();
    AeadKey(const AeadKey&) = delete;
    AeadKey& operator=(const AeadKey&) = delete;

    // `key` holds TlsKeySize(aead) bytes.
    bool Set(TlsAead aead, const std::uint8_t* key, Use use = Use::Open);
    void Clear();
    bool HasKey() const { return m_hasKey; }

    // Decrypts `size` bytes of ciphertext into `out` (which may be `in`: in place) and checks
    // the tag; false when it does not authenticate (what `out` holds then means nothing).
    bool Open(const std::uint8_t* nonce, const std::uint8_t* aad, std::size_t aadSize,
              const std::uint8_t* in, std::size_t size, const std::uint8_t* tag,
              std::uint8_t* out);
    // Encrypts `size` bytes into `out` (which may be `in`) and writes the tag.
    bool Seal(const std::uint8_t* nonce, const std::uint8_t* aad, std::size_t aadSize,
              const std::uint8_t* in, std::size_t size, std::uint8_t* out, std::uint8_t* tag);

private:
    // GCM opens: the nonce's first four bytes set once while they stay the same (in TLS and
    // QUIC they stay with the key), the last eight and the tag with one parameter call per
    // message.
    bool SetGcmNonce(const std::uint8_t* nonce, const std::uint8_t* tag);

    EVP_CIPHER_CTX* m_context = nullptr;
    bool m_hasKey = false;
    Use m_use = Use::Open;
    bool m_gcmParts = false;  // whether Open sets the nonce in two parts
    bool m_fixedSet = false;
    std::uint8_t m_fixed[4] = {};
};

// Decrypts the records of one direction under one key: the context is made once and only its
// nonce changes per record.
class RecordDecryptor {
public:
    static constexpr std::size_t kTagSize = 16;
    static constexpr std::size_t kExplicitNonceSize = 8;  // TLS 1.2 AES-GCM

    RecordDecryptor();
    ~RecordDecryptor();
    RecordDecryptor(const RecordDecryptor&) = delete;
    RecordDecryptor& operator=(const RecordDecryptor&) = delete;

    // Installs a key: `iv` holds 12 bytes, or, for TLS 1.2 AES-GCM, the 4-byte salt. The
    // sequence number starts at 0.
    bool SetKey(const TlsSuite& suite, std::uint16_t version, const std::uint8_t* key,
                const std::uint8_t* iv);
    // Forgets the key.
    void Clear();
    bool HasKey() const { return m_key.HasKey(); }

    // Decrypts one whole record (its 5-byte header, then the fragment) into `out`, which must
    // hold the fragment's size. On success `size` is the plaintext's size (for TLS 1.3 still
    // with its content type and padding) and the sequence number moves on; false when the
    // record is too short or fails authentication (the sequence number stays).
    bool Open(const std::uint8_t* record, std::size_t recordSize, std::uint8_t* out,
              std::size_t& size) {
        return Decrypt(record, recordSize, out, out, size);
    }
    // The same, in place: the plaintext is written over the ciphertext, and returned.
    std::uint8_t* OpenInPlace(std::uint8_t* record, std::size_t recordSize, std::size_t& size) {
        std::uint8_t* plaintext = nullptr;
        return Decrypt(record, recordSize, nullptr, plaintext, size) ? plaintext : nullptr;
    }

private:
    // `out` null: in place.
    bool Decrypt(const std::uint8_t* record, std::size_t recordSize, std::uint8_t* out,
                 std::uint8_t*& plaintext, std::size_t& size);

    AeadKey m_key;
    bool m_tls13 = false;
    bool m_explicitNonce = false;
    std::uint8_t m_iv[12] = {};
    std::uint64_t m_sequence = 0;
};
