#include "tls/TlsCipher.h"

#include <cstring>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

namespace {

// Fetched once: an implicit fetch on every use costs a lookup in libcrypto's method store.
const EVP_CIPHER* Cipher(TlsAead aead) {
    static EVP_CIPHER* const aes128 = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    static EVP_CIPHER* const aes256 = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    static EVP_CIPHER* const chacha = EVP_CIPHER_fetch(nullptr, "ChaCha20-Poly1305", nullptr);
    switch (aead) {
        case TlsAead::Aes128Gcm:
            return aes128;
        case TlsAead::Aes256Gcm:
            return aes256;
        case TlsAead::ChaCha20Poly1305:
            return chacha;
    }
    return nullptr;
}

EVP_KDF* Kdf(const char* name) {
    return EVP_KDF_fetch(nullptr, name, nullptr);
}

const char* DigestName(const TlsSuite& suite) {
    return suite.sha384 ? "SHA384" : "SHA256";
}

bool Derive(EVP_KDF* kdf, const OSSL_PARAM* params, std::uint8_t* out, std::size_t size) {
    if (!kdf)
        return false;
    EVP_KDF_CTX* context = EVP_KDF_CTX_new(kdf);
    if (!context)
        return false;
    const bool ok = EVP_KDF_derive(context, out, size, params) == 1;
    EVP_KDF_CTX_free(context);
    return ok;
}

}  // namespace

std::optional<TlsSuite> FindTlsSuite(std::uint16_t id, std::uint16_t version) {
    if (version == kTls13) {
        switch (id) {
            case 0x1301:
                return TlsSuite{id, TlsAead::Aes128Gcm, false};
            case 0x1302:
                return TlsSuite{id, TlsAead::Aes256Gcm, true};
            case 0x1303:
                return TlsSuite{id, TlsAead::ChaCha20Poly1305, false};
        }
        return std::nullopt;
    }
    if (version != kTls12)
        return std::nullopt;
    // RSA, DH, DHE, anonymous DH and the PSK families: AES-128-GCM-SHA256 on even numbers,
    // AES-256-GCM-SHA384 on odd ones.
    if (id >= 0x009C && id <= 0x00AD)
        return id % 2 == 0 ? TlsSuite{id, TlsAead::Aes128Gcm, false}
                           : TlsSuite{id, TlsAead::Aes256Gcm, true};
    // ECDHE and ECDH with ECDSA or RSA: the other way round.
    if (id >= 0xC02B && id <= 0xC032)
        return id % 2 == 1 ? TlsSuite{id, TlsAead::Aes128Gcm, false}
                           : TlsSuite{id, TlsAead::Aes256Gcm, true};
    if (id >= 0xCCA8 && id <= 0xCCAE)
        return TlsSuite{id, TlsAead::ChaCha20Poly1305, false};
    if (id == 0xD001)
        return TlsSuite{id, TlsAead::Aes128Gcm, false};
    if (id == 0xD002)
        return TlsSuite{id, TlsAead::Aes256Gcm, true};
    return std::nullopt;
}

std::size_t TlsKeySize(TlsAead aead) {
    return aead == TlsAead::Aes128Gcm ? 16 : 32;
}

bool Tls12KeyBlock(const TlsSuite& suite, const TlsSecret& master, const std::uint8_t* clientRandom,
                   const std::uint8_t* serverRandom, std::uint8_t* out, std::size_t size) {
    static EVP_KDF* const prf = Kdf(OSSL_KDF_NAME_TLS1_PRF);
    // The label and the seed, as one seed.
    std::uint8_t seed[13 + 64];
    std::memcpy(seed, "key expansion", 13);
    std::memcpy(seed + 13, serverRandom, 32);
    std::memcpy(seed + 45, clientRandom, 32);
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST,
                                         const_cast<char*>(DigestName(suite)), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET,
                                          const_cast<std::uint8_t*>(master.Data()), master.Size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seed, sizeof seed),
        OSSL_PARAM_construct_end(),
    };
    return Derive(prf, params, out, size);
}

bool HkdfExpandLabel(const TlsSuite& suite, const TlsSecret& secret, std::string_view label,
                     std::uint8_t* out, std::size_t size) {
    static EVP_KDF* const hkdf = Kdf(OSSL_KDF_NAME_HKDF);
    // struct { uint16 length; opaque label<7..255> = "tls13 " + label; opaque context<0..255>; }
    std::uint8_t info[2 + 1 + 6 + 255 + 1];
    const std::size_t labelSize = 6 + label.size();
    if (labelSize > 255 || size > 0xFFFF)
        return false;
    std::size_t used = 0;
    info[used++] = static_cast<std::uint8_t>(size >> 8);
    info[used++] = static_cast<std::uint8_t>(size);
    info[used++] = static_cast<std::uint8_t>(labelSize);
    std::memcpy(info + used, "tls13 ", 6);
    used += 6;
    std::memcpy(info + used, label.data(), label.size());
    used += label.size();
    info[used++] = 0;  // empty context
    int mode = EVP_KDF_HKDF_MODE_EXPAND_ONLY;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST,
                                         const_cast<char*>(DigestName(suite)), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY,
                                          const_cast<std::uint8_t*>(secret.Data()), secret.Size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info, used),
        OSSL_PARAM_construct_end(),
    };
    return Derive(hkdf, params, out, size);
}

bool HkdfExtract(const TlsSuite& suite, const std::uint8_t* salt, std::size_t saltSize,
                 const std::uint8_t* input, std::size_t inputSize, TlsSecret& out) {
    static EVP_KDF* const hkdf = Kdf(OSSL_KDF_NAME_HKDF);
    std::uint8_t secret[TlsSecret::kMaxSize];
    const std::size_t size = TlsHashSize(suite);
    int mode = EVP_KDF_HKDF_MODE_EXTRACT_ONLY;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST,
                                         const_cast<char*>(DigestName(suite)), 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(input),
                                          inputSize),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt),
                                          saltSize),
        OSSL_PARAM_construct_end(),
    };
    const bool ok = Derive(hkdf, params, secret, size);
    out = ok ? TlsSecret(secret, size) : TlsSecret();
    OPENSSL_cleanse(secret, sizeof secret);
    return ok;
}

AeadKey::AeadKey() : m_context(EVP_CIPHER_CTX_new()) {}

AeadKey::~AeadKey() {
    EVP_CIPHER_CTX_free(m_context);  // wipes the key schedule
}

bool AeadKey::Set(TlsAead aead, const std::uint8_t* key, Use use) {
    Clear();
    const EVP_CIPHER* cipher = Cipher(aead);
    if (!m_context || !cipher)
        return false;
    const int made = use == Use::Open
                         ? EVP_DecryptInit_ex(m_context, cipher, nullptr, key, nullptr)
                         : EVP_EncryptInit_ex(m_context, cipher, nullptr, key, nullptr);
    if (made != 1)
        return false;
    m_use = use;
    m_hasKey = true;
    m_gcmParts = use == Use::Open && aead != TlsAead::ChaCha20Poly1305;
    m_fixedSet = false;
    return true;
}

void AeadKey::Clear() {
    if (m_hasKey && m_context)
        EVP_CIPHER_CTX_reset(m_context);
    m_hasKey = false;
}

bool AeadKey::Open(const std::uint8_t* nonce, const std::uint8_t* aad, std::size_t aadSize,
                   const std::uint8_t* in, std::size_t size, const std::uint8_t* tag,
                   std::uint8_t* out) {
    if (!m_hasKey || m_use != Use::Open || size > static_cast<std::size_t>(INT32_MAX) ||
        aadSize > static_cast<std::size_t>(INT32_MAX))
        return false;
    int length = 0;
    int finalLength = 0;
    if (m_gcmParts) {
        if (SetGcmNonce(nonce, tag)) {
            return EVP_DecryptUpdate(m_context, nullptr, &length, aad,
                                     static_cast<int>(aadSize)) == 1 &&
                   EVP_DecryptUpdate(m_context, out, &length, in, static_cast<int>(size)) == 1 &&
                   EVP_DecryptFinal_ex(m_context, out + length, &finalLength) == 1;
        }
        // A libcrypto without the two parts: the whole nonce at each initialisation from now on.
        m_gcmParts = false;
    }
    // The nonce and the tag go in one call: the tag as a parameter of the initialisation, so
    // the cipher takes it directly. Set through EVP_CIPHER_CTX_ctrl it would pass libcrypto's
    // translation into parameters and make the context ask the cipher for its nonce length
    // again at the next packet, each a run of parameter-name comparisons: per QUIC packet that
    // costs about a tenth of the decryption. The tag is copied into the context before the
    // bytes are decrypted, so decrypting in place over a buffer that the tag follows is safe.
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG,
                                          const_cast<std::uint8_t*>(tag), kTagSize),
        OSSL_PARAM_construct_end(),
    };
    return EVP_DecryptInit_ex2(m_context, nullptr, nullptr, nonce, params) == 1 &&
           EVP_DecryptUpdate(m_context, nullptr, &length, aad, static_cast<int>(aadSize)) == 1 &&
           EVP_DecryptUpdate(m_context, out, &length, in, static_cast<int>(size)) == 1 &&
           EVP_DecryptFinal_ex(m_context, out + length, &finalLength) == 1;
}

bool AeadKey::SetGcmNonce(const std::uint8_t* nonce, const std::uint8_t* tag) {
    // A re-initialisation with the whole nonce asks the cipher for its nonce length each time
    // (a run of parameter-name comparisons) and goes through the generic initialisation: per
    // QUIC packet about a seventh of the decryption's instructions. The fixed part and the
    // invocation part of the nonce go straight to the cipher's state instead; setting the
    // invocation part restarts the message, also after one that did not authenticate.
    constexpr std::size_t kFixedSize = sizeof m_fixed;
    if (!m_fixedSet || std::memcmp(m_fixed, nonce, kFixedSize) != 0) {
        const OSSL_PARAM fixed[] = {
            OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TLS1_IV_FIXED,
                                              const_cast<std::uint8_t*>(nonce), kFixedSize),
            OSSL_PARAM_construct_end(),
        };
        m_fixedSet = EVP_CIPHER_CTX_set_params(m_context, fixed) == 1;
        if (!m_fixedSet)
            return false;
        std::memcpy(m_fixed, nonce, kFixedSize);
    }
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TLS1_SET_IV_INV,
                                          const_cast<std::uint8_t*>(nonce + kFixedSize),
                                          kNonceSize - kFixedSize),
        OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG,
                                          const_cast<std::uint8_t*>(tag), kTagSize),
        OSSL_PARAM_construct_end(),
    };
    return EVP_CIPHER_CTX_set_params(m_context, params) == 1;
}

bool AeadKey::Seal(const std::uint8_t* nonce, const std::uint8_t* aad, std::size_t aadSize,
                   const std::uint8_t* in, std::size_t size, std::uint8_t* out,
                   std::uint8_t* tag) {
    if (!m_hasKey || m_use != Use::Seal || size > static_cast<std::size_t>(INT32_MAX) ||
        aadSize > static_cast<std::size_t>(INT32_MAX))
        return false;
    int length = 0;
    int finalLength = 0;
    return EVP_EncryptInit_ex(m_context, nullptr, nullptr, nullptr, nonce) == 1 &&
           EVP_EncryptUpdate(m_context, nullptr, &length, aad, static_cast<int>(aadSize)) == 1 &&
           EVP_EncryptUpdate(m_context, out, &length, in, static_cast<int>(size)) == 1 &&
           EVP_EncryptFinal_ex(m_context, out + length, &finalLength) == 1 &&
           EVP_CIPHER_CTX_ctrl(m_context, EVP_CTRL_AEAD_GET_TAG, kTagSize, tag) == 1;
}

RecordDecryptor::RecordDecryptor() = default;

RecordDecryptor::~RecordDecryptor() {
    OPENSSL_cleanse(m_iv, sizeof m_iv);
}

bool RecordDecryptor::SetKey(const TlsSuite& suite, std::uint16_t version, const std::uint8_t* key,
                             const std::uint8_t* iv) {
    Clear();
    if (!m_key.Set(suite.aead, key))
        return false;
    m_tls13 = version == kTls13;
    m_explicitNonce = !m_tls13 && suite.aead != TlsAead::ChaCha20Poly1305;
    std::memcpy(m_iv, iv, m_explicitNonce ? 4 : 12);
    m_sequence = 0;
    return true;
}

void RecordDecryptor::Clear() {
    m_key.Clear();
    OPENSSL_cleanse(m_iv, sizeof m_iv);
}

bool RecordDecryptor::Decrypt(const std::uint8_t* record, std::size_t recordSize, std::uint8_t* out,
                              std::uint8_t*& plaintext, std::size_t& size) {
    if (!m_key.HasKey() || recordSize < 5)
        return false;
    const std::uint8_t* fragment = record + 5;
    std::size_t fragmentSize = recordSize - 5;
    std::uint8_t nonce[12];
    std::uint8_t aad[13];
    std::size_t aadSize;
    if (m_explicitNonce) {
        // TLS 1.2 AES-GCM: the salt, then the 8 bytes the sender put before the ciphertext.
        if (fragmentSize < kExplicitNonceSize + kTagSize)
            return false;
        std::memcpy(nonce, m_iv, 4);
        std::memcpy(nonce + 4, fragment, kExplicitNonceSize);
        fragment += kExplicitNonceSize;
        fragmentSize -= kExplicitNonceSize;
    } else {
        // TLS 1.3 and TLS 1.2 ChaCha20-Poly1305: the IV with the sequence number mixed into its
        // last 8 bytes.
        if (fragmentSize < kTagSize)
            return false;
        std::memcpy(nonce, m_iv, 12);
        for (int i = 0; i < 8; ++i)
            nonce[4 + i] ^= static_cast<std::uint8_t>(m_sequence >> (56 - 8 * i));
    }
    const std::size_t cipherSize = fragmentSize - kTagSize;
    if (m_tls13) {
        std::memcpy(aad, record, 5);  // the record header as sent
        aadSize = 5;
    } else {
        // sequence number, type, version, plaintext length
        for (int i = 0; i < 8; ++i) aad[i] = static_cast<std::uint8_t>(m_sequence >> (56 - 8 * i));
        aad[8] = record[0];
        aad[9] = record[1];
        aad[10] = record[2];
        aad[11] = static_cast<std::uint8_t>(cipherSize >> 8);
        aad[12] = static_cast<std::uint8_t>(cipherSize);
        aadSize = 13;
    }
    if (!out)
        out = const_cast<std::uint8_t*>(fragment);
    if (!m_key.Open(nonce, aad, aadSize, fragment, cipherSize, fragment + cipherSize, out))
        return false;
    plaintext = out;
    size = cipherSize;
    ++m_sequence;
    return true;
}
