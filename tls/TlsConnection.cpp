#include "tls/TlsConnection.h"

#include <algorithm>
#include <cstring>

#include <openssl/crypto.h>

namespace {

constexpr std::uint8_t kChangeCipherSpec = 20;
constexpr std::uint8_t kAlert = 21;
constexpr std::uint8_t kHandshake = 22;
constexpr std::uint8_t kApplicationData = 23;

constexpr std::uint8_t kClientHello = kTlsClientHello;
constexpr std::uint8_t kServerHello = kTlsServerHello;
constexpr std::uint8_t kEndOfEarlyData = 5;
constexpr std::uint8_t kEncryptedExtensions = kTlsEncryptedExtensions;
constexpr std::uint8_t kFinished = 20;
constexpr std::uint8_t kKeyUpdate = 24;

constexpr std::size_t kHeaderSize = 5;
// Record fragment limits: plaintext 2^14; TLS 1.3 protected 2^14 + 256; TLS 1.2 protected
// 2^14 + 2048.
constexpr std::size_t kMaxPlaintext = 16384;
constexpr std::size_t kMaxTls13Fragment = kMaxPlaintext + 256;
constexpr std::size_t kMaxTls12Fragment = kMaxPlaintext + 2048;
constexpr std::size_t kMaxRecord = kHeaderSize + kMaxTls12Fragment;
// Handshake messages read whole: the hellos, EncryptedExtensions, KeyUpdate. Others are
// skipped as they pass, whatever their size.
constexpr std::size_t kMaxKeptMessage = 1u << 16;
// Client records skipped while a server that refused early data is still skipping them.
constexpr std::size_t kMaxSkippedEarly = 16u << 20;
}  // namespace

const char* TlsStateText(TlsState state) {
    switch (state) {
        case TlsState::Probing:
            return "probing";
        case TlsState::NotTls:
            return "not TLS";
        case TlsState::AwaitingKeys:
            return "awaiting keys";
        case TlsState::Decrypting:
            return "decrypting";
        case TlsState::Ended:
            return "ended";
        case TlsState::Failed:
            return "failed";
    }
    return "";
}

const char* TlsFailureText(TlsFailure failure) {
    switch (failure) {
        case TlsFailure::None:
            return "";
        case TlsFailure::MalformedRecord:
            return "malformed record";
        case TlsFailure::RecordTooLong:
            return "record too long";
        case TlsFailure::MalformedHandshake:
            return "malformed handshake message";
        case TlsFailure::UnexpectedMessage:
            return "unexpected message";
        case TlsFailure::UnsupportedVersion:
            return "TLS version not supported";
        case TlsFailure::UnsupportedCipherSuite:
            return "cipher suite not supported";
        case TlsFailure::SecretMismatch:
            return "key log secret does not fit the cipher suite";
        case TlsFailure::AuthenticationFailed:
            return "record failed authentication";
        case TlsFailure::Renegotiation:
            return "renegotiation not supported";
        case TlsFailure::BufferLimit:
            return "buffer limit reached";
        case TlsFailure::CryptoError:
            return "cryptography library error";
    }
    return "";
}

TlsConnection::TlsConnection(const KeyLog& keyLog, MemoryBudget& budget, TlsPlaintextSink& sink,
                             TlsConnectionLimits limits)
    : m_keyLog(keyLog), m_sink(sink), m_limits(limits), m_client(budget), m_server(budget) {}

TlsConnection::~TlsConnection() {
    ReleaseBuffers();
}

TlsState TlsConnection::State() const {
    if (m_failed)
        return TlsState::Failed;
    if (m_notTls)
        return TlsState::NotTls;
    if (m_ended)
        return TlsState::Ended;
    if (m_client.hellos == 0)
        return TlsState::Probing;
    if (m_client.wait == Wait::Keys || m_server.wait == Wait::Keys)
        return TlsState::AwaitingKeys;
    return TlsState::Decrypting;
}

bool TlsConnection::Waiting(Direction direction) const {
    const Side& side = direction == Direction::ToServer ? m_client : m_server;
    return !Terminal() && (side.wait != Wait::None || !side.pending.Empty());
}

std::size_t TlsConnection::BufferedBytes() const {
    std::size_t total = 0;
    for (const Side* side : {&m_client, &m_server})
        total += side->pending.Capacity() + side->record.Capacity() + side->message.Capacity();
    return total;
}

void TlsConnection::Fail(TlsFailure failure) {
    if (Terminal())
        return;
    m_failed = true;
    m_failure = failure;
}

void TlsConnection::ReleaseBuffers() {
    for (Side* side : {&m_client, &m_server}) {
        side->pending.Free();
        side->record.Free();
        side->message.Free();
        side->decryptor.Clear();
        side->trafficSecret.Clear();
    }
}

void TlsConnection::PassThrough(Direction direction, const std::uint8_t* data, std::size_t size) {
    if (size > 0)
        m_sink.OnPlaintext(direction, data, size);
}

void TlsConnection::Feed(Direction direction, const std::uint8_t* data, std::size_t size) {
    if (m_notTls) {
        PassThrough(direction, data, size);
        return;
    }
    if (Terminal() || size == 0)
        return;
    if (!m_isTls) {
        if (direction == Direction::ToClient) {
            // The server spoke before the client had sent a whole ClientHello record header:
            // a TLS server never does.
            m_notTls = true;
            PassThrough(Direction::ToServer, m_probe, m_probeHave);
            PassThrough(direction, data, size);
            return;
        }
        Probe(data, size);
        return;
    }

    Side& side = SideOf(direction);
    Side& other = SideOf(Opposite(direction));
    std::size_t used = 0;
    if (side.wait == Wait::None && side.pending.Empty())
        used = Consume(direction, data, size);
    if (used < size && !Terminal() &&
        !side.pending.Append(data + used, size - used,
                             m_limits.maxPendingBytes -
                                 std::min(m_limits.maxPendingBytes, other.pending.Capacity())))
        Fail(TlsFailure::BufferLimit);
    Pump();

    if (Terminal()) {
        ReleaseBuffers();
        return;
    }
    // A connection between records holds no record buffer.
    if (side.record.Empty())
        side.record.Free();
}

void TlsConnection::Probe(const std::uint8_t* data, std::size_t size) {
    const std::size_t held = m_probeHave;
    const std::size_t take = std::min(sizeof m_probe - m_probeHave, size);
    std::memcpy(m_probe + m_probeHave, data, take);
    m_probeHave += take;
    // A handshake record (any 3.x version) of a plausible length holding a ClientHello.
    const std::uint8_t* p = m_probe;
    bool fits = p[0] == kHandshake;
    if (m_probeHave > 1)
        fits = fits && p[1] == 3;
    if (m_probeHave > 2)
        fits = fits && p[2] <= 4;
    if (m_probeHave > 4) {
        const std::size_t length = static_cast<std::size_t>(p[3]) << 8 | p[4];
        fits = fits && length >= 4 && length <= kMaxPlaintext;
    }
    if (m_probeHave > 5)
        fits = fits && p[5] == kClientHello;
    if (!fits) {
        m_notTls = true;
        PassThrough(Direction::ToServer, m_probe, held);
        PassThrough(Direction::ToServer, data, size);
        return;
    }
    if (m_probeHave < sizeof m_probe)
        return;
    m_isTls = true;
    Feed(Direction::ToServer, m_probe, held);
    Feed(Direction::ToServer, data, size);
}

void TlsConnection::KeysChanged() {
    if (Terminal())
        return;
    Pump();
    if (Terminal())
        ReleaseBuffers();
}

void TlsConnection::Pump() {
    bool moved = true;
    while (moved && !Terminal()) {
        moved = false;
        for (Direction direction : {Direction::ToServer, Direction::ToClient}) {
            if (SideOf(direction).wait != Wait::None && Ready(direction)) {
                Resume(direction);
                moved = true;
            }
        }
    }
}

void TlsConnection::Resume(Direction direction) {
    Side& side = SideOf(direction);
    while (!side.pending.Empty() && side.wait == Wait::None && !Terminal()) {
        const std::size_t used = Consume(direction, side.pending.Data(), side.pending.Size());
        side.pending.Discard(used);
    }
    if (side.pending.Empty() && !Terminal())
        side.pending.Free();
}

bool TlsConnection::Ready(Direction direction) {
    Side& side = SideOf(direction);
    const Side& peer = SideOf(Opposite(direction));
    if (direction == Direction::ToServer) {
        // Past a ClientHello the client's records mean nothing until the server answered it.
        if (side.hellos > peer.hellos) {
            side.wait = Wait::PeerHello;
            return false;
        }
        if (m_version == kTls13 && m_serverHelloSeen && side.epoch == Epoch::Plain) {
            // Early data or the handshake: the server's EncryptedExtensions say which.
            if (m_earlyOffered && !m_encryptedExtensionsSeen) {
                side.wait = Wait::EarlyDecision;
                return false;
            }
            side.epoch = m_earlyOffered && m_earlyAccepted ? Epoch::Early : Epoch::Handshake;
            side.skipRejectedEarly = m_earlyOffered && !m_earlyAccepted;
            side.keysReady = false;
        }
    } else if (!m_serverHelloSeen && side.hellos >= peer.hellos) {
        // The server's hello answers a ClientHello not read yet.
        side.wait = Wait::PeerHello;
        return false;
    }
    if (side.epoch != Epoch::Plain && !side.keysReady) {
        if (side.wait == Wait::Keys && side.keyGenerationTried == m_keyLog.Generation())
            return false;
        if (!InstallKeys(direction)) {
            side.wait = Wait::Keys;
            return false;
        }
    }
    side.wait = Wait::None;
    return true;
}

bool TlsConnection::InstallKeys(Direction direction) {
    Side& side = SideOf(direction);
    const bool client = direction == Direction::ToServer;
    side.keyGenerationTried = m_keyLog.Generation();
    if (m_version == kTls12) {
        TlsSecret master;
        if (!m_keyLog.Find(m_clientRandom, TlsSecretKind::MasterSecret, master))
            return false;
        // client key, server key, client IV, server IV
        const std::size_t keySize = TlsKeySize(m_suite.aead);
        const std::size_t ivSize = m_suite.aead == TlsAead::ChaCha20Poly1305 ? 12 : 4;
        std::uint8_t block[2 * 32 + 2 * 12];
        bool ok = Tls12KeyBlock(m_suite, master, m_clientRandom.data(), m_serverRandom, block,
                                2 * keySize + 2 * ivSize);
        ok = ok && side.decryptor.SetKey(m_suite, kTls12, block + (client ? 0 : keySize),
                                         block + 2 * keySize + (client ? 0 : ivSize));
        OPENSSL_cleanse(block, sizeof block);
        if (!ok) {
            Fail(TlsFailure::CryptoError);
            return false;
        }
    } else {
        TlsSecretKind kind;
        switch (side.epoch) {
            case Epoch::Early:
                kind = TlsSecretKind::ClientEarlyTraffic;
                break;
            case Epoch::Handshake:
                kind = client ? TlsSecretKind::ClientHandshakeTraffic
                              : TlsSecretKind::ServerHandshakeTraffic;
                break;
            default:
                kind = client ? TlsSecretKind::ClientTraffic0 : TlsSecretKind::ServerTraffic0;
                break;
        }
        TlsSecret secret;
        if (!m_keyLog.Find(m_clientRandom, kind, secret))
            return false;
        if (secret.Size() != TlsHashSize(m_suite)) {
            Fail(TlsFailure::SecretMismatch);
            return false;
        }
        if (!InstallTls13Key(side, secret))
            return false;
    }
    side.keysReady = true;
    return true;
}

bool TlsConnection::InstallTls13Key(Side& side, const TlsSecret& secret) {
    std::uint8_t key[32];
    std::uint8_t iv[12];
    const bool ok = HkdfExpandLabel(m_suite, secret, "key", key, TlsKeySize(m_suite.aead)) &&
                    HkdfExpandLabel(m_suite, secret, "iv", iv, sizeof iv) &&
                    side.decryptor.SetKey(m_suite, kTls13, key, iv);
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(iv, sizeof iv);
    if (!ok) {
        Fail(TlsFailure::CryptoError);
        return false;
    }
    side.trafficSecret = secret;
    return true;
}

std::size_t TlsConnection::Consume(Direction direction, const std::uint8_t* data,
                                   std::size_t size) {
    Side& side = SideOf(direction);
    // The longest fragment a record of this side may carry next.
    auto checkHeader = [&](const std::uint8_t* header) {
        const std::uint8_t type = header[0];
        const std::size_t length = static_cast<std::size_t>(header[3]) << 8 | header[4];
        if (type < kChangeCipherSpec || type > kApplicationData || header[1] != 3 || length == 0) {
            Fail(TlsFailure::MalformedRecord);
            return false;
        }
        std::size_t limit = kMaxTls12Fragment;
        if (side.epoch == Epoch::Plain && type != kApplicationData)
            limit = kMaxPlaintext;
        else if (m_version == kTls13)
            limit = type == kApplicationData ? kMaxTls13Fragment : kMaxPlaintext;
        if (length > limit) {
            Fail(TlsFailure::RecordTooLong);
            return false;
        }
        return true;
    };

    std::size_t used = 0;
    while (used < size && !Terminal()) {
        const std::uint8_t* at = data + used;
        const std::size_t left = size - used;
        if (side.record.Empty()) {
            if (!Ready(direction))
                return used;
            // Fast path: a whole record in the input is decrypted straight out of it.
            if (left >= kHeaderSize) {
                if (!checkHeader(at))
                    return used;
                const std::size_t total =
                    kHeaderSize + (static_cast<std::size_t>(at[3]) << 8 | at[4]);
                if (left >= total) {
                    HandleRecord(direction, nullptr, at, total);
                    used += total;
                    continue;
                }
            }
        }
        const std::size_t have = side.record.Size();
        std::size_t want = kHeaderSize - std::min(have, kHeaderSize);
        if (have >= kHeaderSize) {
            const std::uint8_t* header = side.record.Data();
            want = kHeaderSize + (static_cast<std::size_t>(header[3]) << 8 | header[4]) - have;
        }
        const std::size_t take = std::min(want, left);
        if (!side.record.Append(at, take, kMaxRecord)) {
            Fail(TlsFailure::BufferLimit);
            return used;
        }
        used += take;
        if (have < kHeaderSize && side.record.Size() >= kHeaderSize) {
            const std::uint8_t* header = side.record.Data();
            if (!checkHeader(header))
                return used;
            // The header is known: room for the whole record at once, then the fragment.
            if (!side.record.Reserve(
                    kHeaderSize + (static_cast<std::size_t>(header[3]) << 8 | header[4]),
                    kMaxRecord)) {
                Fail(TlsFailure::BufferLimit);
                return used;
            }
            continue;
        }
        if (side.record.Size() >= kHeaderSize && take == want) {
            HandleRecord(direction, side.record.Data(), side.record.Data(), side.record.Size());
            side.record.Clear();
        }
    }
    return used;
}

void TlsConnection::HandleRecord(Direction direction, std::uint8_t* mutableRecord,
                                 const std::uint8_t* record, std::size_t size) {
    Side& side = SideOf(direction);
    if (side.closed)
        return;  // nothing counts after close_notify
    const std::uint8_t type = record[0];
    const std::uint8_t* fragment = record + kHeaderSize;
    const std::size_t fragmentSize = size - kHeaderSize;

    if (side.epoch == Epoch::Plain || (m_version == kTls13 && type != kApplicationData)) {
        switch (type) {
            case kHandshake:
                if (side.epoch != Epoch::Plain)
                    Fail(TlsFailure::UnexpectedMessage);
                else
                    HandleHandshakeBytes(direction, fragment, fragmentSize);
                return;
            case kChangeCipherSpec:
                if (fragmentSize != 1 || fragment[0] != 1) {
                    Fail(TlsFailure::MalformedRecord);
                } else if (m_version == kTls12 && side.epoch == Epoch::Plain) {
                    // TLS 1.2: the side's next record is protected. A handshake message cut by it
                    // would span the change.
                    if (side.messageHeaderHave > 0)
                        Fail(TlsFailure::UnexpectedMessage);
                    side.epoch = Epoch::Application;
                    side.keysReady = false;
                } else if (m_version != kTls13) {
                    Fail(TlsFailure::UnexpectedMessage);
                }
                // TLS 1.3: the compatibility record that middleboxes expect; it means nothing.
                return;
            case kAlert:
                HandleAlert(direction, fragment, fragmentSize);
                return;
            default:
                // Early data that a HelloRetryRequest refused: the client sent it before it knew.
                if (direction == Direction::ToServer && m_helloRetry && side.hellos == 1) {
                    side.skippedBytes += size;
                    if (side.skippedBytes > kMaxSkippedEarly)
                        Fail(TlsFailure::UnexpectedMessage);
                } else {
                    Fail(TlsFailure::UnexpectedMessage);
                }
                return;
        }
    }

    const bool explicitNonce = m_version == kTls12 && m_suite.aead != TlsAead::ChaCha20Poly1305;
    const std::size_t shortest = RecordDecryptor::kTagSize +
                                 (explicitNonce ? RecordDecryptor::kExplicitNonceSize : 0) +
                                 (m_version == kTls13 ? 1 : 0);
    if (fragmentSize < shortest) {
        Fail(TlsFailure::MalformedRecord);
        return;
    }
    std::size_t plainSize = 0;
    const std::uint8_t* plain;
    std::uint8_t scratch[kMaxTls12Fragment];
    if (mutableRecord) {
        plain = side.decryptor.OpenInPlace(mutableRecord, size, plainSize);
    } else {
        plain = side.decryptor.Open(record, size, scratch, plainSize) ? scratch : nullptr;
    }
    if (!plain) {
        // A server that refused early data skips the client's early records until one opens
        // under the handshake key; so do we.
        if (side.skipRejectedEarly) {
            side.skippedBytes += size;
            if (side.skippedBytes > kMaxSkippedEarly)
                Fail(TlsFailure::AuthenticationFailed);
        } else {
            Fail(TlsFailure::AuthenticationFailed);
        }
        return;
    }
    side.skipRejectedEarly = false;
    std::uint8_t innerType = type;
    if (m_version == kTls13) {
        // The content, its real type, then zero padding.
        while (plainSize > 0 && plain[plainSize - 1] == 0) --plainSize;
        if (plainSize == 0) {
            Fail(TlsFailure::UnexpectedMessage);
            return;
        }
        innerType = plain[--plainSize];
    }
    if (plainSize > kMaxPlaintext) {
        Fail(TlsFailure::RecordTooLong);
        return;
    }
    HandleDecrypted(direction, innerType, plain, plainSize);
}

void TlsConnection::HandleDecrypted(Direction direction, std::uint8_t type,
                                    const std::uint8_t* data, std::size_t size) {
    const Side& side = SideOf(direction);
    switch (type) {
        case kApplicationData:
            if (side.epoch == Epoch::Handshake)
                Fail(TlsFailure::UnexpectedMessage);
            else if (size > 0)
                m_sink.OnPlaintext(direction, data, size);
            return;
        case kHandshake:
            if (size == 0)
                Fail(TlsFailure::MalformedRecord);
            else
                HandleHandshakeBytes(direction, data, size);
            return;
        case kAlert:
            HandleAlert(direction, data, size);
            return;
        case kChangeCipherSpec:
            // TLS 1.2: a protected one starts new keys that we cannot follow.
            Fail(m_version == kTls12 ? TlsFailure::Renegotiation : TlsFailure::UnexpectedMessage);
            return;
        default:
            Fail(TlsFailure::UnexpectedMessage);
            return;
    }
}

void TlsConnection::HandleHandshakeBytes(Direction direction, const std::uint8_t* data,
                                         std::size_t size) {
    Side& side = SideOf(direction);
    while (size > 0 && !Terminal()) {
        if (side.messageHeaderHave < sizeof side.messageHeader) {
            const std::size_t take =
                std::min(sizeof side.messageHeader - side.messageHeaderHave, size);
            std::memcpy(side.messageHeader + side.messageHeaderHave, data, take);
            side.messageHeaderHave += take;
            data += take;
            size -= take;
            if (side.messageHeaderHave < sizeof side.messageHeader)
                return;
            const std::uint8_t type = side.messageHeader[0];
            side.messageRemaining = static_cast<std::size_t>(side.messageHeader[1]) << 16 |
                                    static_cast<std::size_t>(side.messageHeader[2]) << 8 |
                                    side.messageHeader[3];
            side.keepMessage = type == kClientHello || type == kServerHello ||
                               type == kEncryptedExtensions || type == kKeyUpdate;
            if (side.keepMessage && side.messageRemaining > kMaxKeptMessage) {
                Fail(TlsFailure::MalformedHandshake);
                return;
            }
            if (side.keepMessage && !side.message.Reserve(side.messageRemaining, kMaxKeptMessage)) {
                Fail(TlsFailure::BufferLimit);
                return;
            }
        }
        const std::size_t take = std::min(side.messageRemaining, size);
        if (side.keepMessage)
            side.message.Append(data, take, kMaxKeptMessage);  // room reserved above
        side.messageRemaining -= take;
        data += take;
        size -= take;
        if (side.messageRemaining == 0) {
            side.messageHeaderHave = 0;
            HandleMessage(direction, side.messageHeader[0], side.message.Data(),
                          side.message.Size(), size > 0);
            side.message.Free();
        }
    }
}

void TlsConnection::HandleMessage(Direction direction, std::uint8_t type, const std::uint8_t* body,
                                  std::size_t size, bool recordGoesOn) {
    Side& side = SideOf(direction);
    const bool tls13 = m_version == kTls13;
    if (type == kKeyUpdate) {
        // TLS 1.3: the sender's next records use the next secret of its chain.
        if (!tls13 || side.epoch != Epoch::Application || size != 1 || body[0] > 1) {
            Fail(TlsFailure::UnexpectedMessage);
            return;
        }
        if (recordGoesOn) {
            Fail(TlsFailure::UnexpectedMessage);
            return;
        }
        TlsSecret next;
        std::uint8_t bytes[TlsSecret::kMaxSize];
        const std::size_t hashSize = TlsHashSize(m_suite);
        if (!HkdfExpandLabel(m_suite, side.trafficSecret, "traffic upd", bytes, hashSize)) {
            Fail(TlsFailure::CryptoError);
            return;
        }
        next = TlsSecret(bytes, hashSize);
        OPENSSL_cleanse(bytes, sizeof bytes);
        InstallTls13Key(side, next);
        return;
    }

    if (direction == Direction::ToServer) {
        switch (type) {
            case kClientHello:
                if (side.epoch != Epoch::Plain) {
                    Fail(m_version == kTls12 ? TlsFailure::Renegotiation
                                             : TlsFailure::UnexpectedMessage);
                } else if (side.hellos >= 2 || (side.hellos == 1 && !m_helloRetry) ||
                           recordGoesOn) {
                    Fail(TlsFailure::UnexpectedMessage);
                } else if (!ParseClientHello(body, size)) {
                    Fail(TlsFailure::MalformedHandshake);
                } else {
                    ++side.hellos;
                }
                return;
            case kEndOfEarlyData:
                if (tls13 && side.epoch == Epoch::Early)
                    ChangeEpoch(direction, Epoch::Handshake, recordGoesOn);
                else
                    Fail(TlsFailure::UnexpectedMessage);
                return;
            case kFinished:
                if (tls13 && side.epoch == Epoch::Handshake)
                    ChangeEpoch(direction, Epoch::Application, recordGoesOn);
                return;
            default:
                return;
        }
    }

    switch (type) {
        case kServerHello:
            if (side.epoch != Epoch::Plain || m_serverHelloSeen) {
                Fail(TlsFailure::UnexpectedMessage);
                return;
            }
            if (!ParseServerHello(body, size))
                return;
            ++side.hellos;
            if (m_serverHelloSeen && m_version == kTls13)
                ChangeEpoch(direction, Epoch::Handshake, recordGoesOn);
            return;
        case kEncryptedExtensions:
            if (!tls13 || side.epoch != Epoch::Handshake || m_encryptedExtensionsSeen)
                Fail(TlsFailure::UnexpectedMessage);
            else if (!ParseEncryptedExtensions(body, size))
                Fail(TlsFailure::MalformedHandshake);
            return;
        case kFinished:
            if (tls13 && side.epoch == Epoch::Handshake)
                ChangeEpoch(direction, Epoch::Application, recordGoesOn);
            return;
        default:
            return;
    }
}

void TlsConnection::ChangeEpoch(Direction direction, Epoch epoch, bool recordGoesOn) {
    // A message after a key change is protected by the new key: it cannot share the record.
    if (recordGoesOn) {
        Fail(TlsFailure::UnexpectedMessage);
        return;
    }
    Side& side = SideOf(direction);
    side.epoch = epoch;
    side.keysReady = false;
    side.decryptor.Clear();
}

void TlsConnection::HandleAlert(Direction direction, const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size % 2 != 0) {
        Fail(TlsFailure::MalformedRecord);
        return;
    }
    Side& side = SideOf(direction);
    for (std::size_t i = 0; i < size && !side.closed; i += 2) {
        const std::uint8_t level = data[i];
        const std::uint8_t description = data[i + 1];
        if (description == 0) {  // close_notify
            side.closed = true;
            if (SideOf(Opposite(direction)).closed)
                m_ended = true;
        } else if (description == 90) {  // user_canceled: a close_notify follows
        } else if (level == 2 || m_version == kTls13) {
            m_ended = true;  // fatal: the session is over
            return;
        }
    }
}

bool TlsConnection::ParseClientHello(const std::uint8_t* body, std::size_t size) {
    TlsClientHello hello;
    if (!ReadClientHello(body, size, hello))
        return false;
    // A second ClientHello (after a HelloRetryRequest) keeps the first one's random.
    if (m_client.hellos == 0)
        m_clientRandom = hello.random;
    m_serverName = std::move(hello.serverName);
    m_offeredAlpn = std::move(hello.alpn);
    m_earlyOffered = hello.earlyData;
    return true;
}

bool TlsConnection::ParseServerHello(const std::uint8_t* body, std::size_t size) {
    TlsServerHello hello;
    if (!ReadServerHello(body, size, hello)) {
        Fail(TlsFailure::MalformedHandshake);
        return false;
    }
    const std::uint16_t version = hello.version;
    if (version != kTls12 && version != kTls13) {
        Fail(TlsFailure::UnsupportedVersion);
        return false;
    }
    if (hello.helloRetry && (version != kTls13 || m_helloRetry)) {
        Fail(TlsFailure::UnexpectedMessage);
        return false;
    }
    m_version = version;
    const std::optional<TlsSuite> suite = FindTlsSuite(hello.suite, version);
    m_suite = suite ? *suite : TlsSuite{hello.suite, TlsAead::Aes128Gcm, false};
    // Compressed records cannot be read either.
    if (!suite || hello.compression != 0) {
        Fail(TlsFailure::UnsupportedCipherSuite);
        return false;
    }
    if (hello.helloRetry) {
        m_helloRetry = true;
        return true;
    }
    std::memcpy(m_serverRandom, hello.random, 32);
    m_serverHelloSeen = true;
    if (version == kTls12 && !hello.alpn.empty())
        m_alpn = std::move(hello.alpn.front());
    return true;
}

bool TlsConnection::ParseEncryptedExtensions(const std::uint8_t* body, std::size_t size) {
    TlsEncryptedExtensions extensions;
    if (!ReadEncryptedExtensions(body, size, extensions))
        return false;
    if (!extensions.alpn.empty())
        m_alpn = std::move(extensions.alpn);
    if (extensions.earlyData)
        m_earlyAccepted = true;
    m_encryptedExtensionsSeen = true;
    return true;
}
