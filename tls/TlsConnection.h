// One TCP connection's two byte streams in, the TLS plaintext out, with the secrets of a key
// log. TLS 1.2 and 1.3 with AES-128-GCM, AES-256-GCM and ChaCha20-Poly1305; full, resumed
// and 0-RTT handshakes, HelloRetryRequest and KeyUpdate.
//
// Bytes that cannot be read yet (their keys are not in the key log yet, or the other direction
// has not said what they need) wait in a bounded buffer counted in the MemoryBudget, and are
// decrypted when they can. A record that fails authentication ends the decryption for good:
// never a wrong plaintext. A connection that does not open with a ClientHello is "not TLS" at
// once, and its bytes are handed on unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tcp/Direction.h"
#include "tcp/MemoryBudget.h"
#include "tls/BudgetBuffer.h"
#include "tls/KeyLog.h"
#include "tls/TlsCipher.h"
#include "tls/TlsHello.h"

// Receives the application data of each direction, in order. Called from Feed and
// KeysChanged; it must not destroy the connection that calls it.
class TlsPlaintextSink {
public:
    virtual void OnPlaintext(Direction direction, const std::uint8_t* data, std::size_t size) = 0;

protected:
    ~TlsPlaintextSink() = default;
};

enum class TlsState : std::uint8_t {
    Probing,       // no complete ClientHello yet
    NotTls,        // the client did not open with a ClientHello: bytes go to the sink unchanged
    AwaitingKeys,  // records wait for secrets the key log does not hold (yet)
    Decrypting,
    Ended,   // close_notify from both sides, or a fatal alert
    Failed,  // see Failure(); nothing more comes out
};

enum class TlsFailure : std::uint8_t {
    None,
    MalformedRecord,
    RecordTooLong,
    MalformedHandshake,
    UnexpectedMessage,
    UnsupportedVersion,
    UnsupportedCipherSuite,
    SecretMismatch,
    AuthenticationFailed,
    Renegotiation,
    BufferLimit,
    CryptoError,
};

const char* TlsStateText(TlsState state);
const char* TlsFailureText(TlsFailure failure);

struct TlsConnectionLimits {
    // Bytes of both directions that may wait for keys (or for the other direction).
    std::size_t maxPendingBytes = 4u << 20;
};

class TlsConnection {
public:
    TlsConnection(const KeyLog& keyLog, MemoryBudget& budget, TlsPlaintextSink& sink,
                  TlsConnectionLimits limits = {});
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // The next bytes of one direction, in order, split anyhow.
    void Feed(Direction direction, const std::uint8_t* data, std::size_t size);
    // The key log grew: records waiting for their keys are decrypted when the keys are there.
    void KeysChanged();

    TlsState State() const;
    TlsFailure Failure() const { return m_failure; }

    // What the handshake said; empty (0) until it has been seen.
    const std::string& ServerName() const { return m_serverName; }  // SNI host name
    const std::vector<std::string>& OfferedAlpn() const { return m_offeredAlpn; }
    const std::string& Alpn() const { return m_alpn; }   // the server's choice
    std::uint16_t Version() const { return m_version; }  // 0x0303 (1.2), 0x0304 (1.3)
    std::uint16_t CipherSuite() const { return m_suite.id; }
    bool EarlyDataAccepted() const { return m_earlyAccepted; }

    // Whether bytes of `direction` wait (for keys, or for the other direction) instead of
    // having gone out as plaintext: what the other direction hands out meanwhile may answer
    // them, and waits too where order matters.
    bool Waiting(Direction direction) const;

    // Bytes this connection holds from the budget.
    std::size_t BufferedBytes() const;

private:
    enum class Epoch : std::uint8_t { Plain, Early, Handshake, Application };
    enum class Wait : std::uint8_t { None, PeerHello, EarlyDecision, Keys };

    struct Side {
        explicit Side(MemoryBudget& budget) : pending(budget), record(budget), message(budget) {}
        BudgetBuffer pending;  // bytes after a record that had to wait
        BudgetBuffer record;   // the record being assembled
        BudgetBuffer message;  // a handshake message kept whole (hellos, EncryptedExtensions)

        // The handshake message being read.
        std::uint8_t messageHeader[4] = {};
        std::size_t messageHeaderHave = 0;
        std::size_t messageRemaining = 0;
        bool keepMessage = false;

        Epoch epoch = Epoch::Plain;
        bool keysReady = false;
        Wait wait = Wait::None;
        std::uint64_t keyGenerationTried = 0;
        RecordDecryptor decryptor;
        TlsSecret trafficSecret;  // TLS 1.3: the current one, for KeyUpdate
        unsigned hellos = 0;      // ClientHellos sent, or server hellos (HelloRetryRequest too)
        bool closed = false;      // close_notify seen
        bool skipRejectedEarly = false;
        std::size_t skippedBytes = 0;
    };

    Side& SideOf(Direction direction) {
        return direction == Direction::ToServer ? m_client : m_server;
    }
    bool Terminal() const { return m_failed || m_notTls || m_ended; }

    void Probe(const std::uint8_t* data, std::size_t size);
    void PassThrough(Direction direction, const std::uint8_t* data, std::size_t size);
    // Processes records until the input ends or the side must wait; returns the bytes used.
    std::size_t Consume(Direction direction, const std::uint8_t* data, std::size_t size);
    // Moves on every side whose wait is over, until none moves.
    void Pump();
    void Resume(Direction direction);
    bool Ready(Direction direction);
    bool InstallKeys(Direction direction);
    bool InstallTls13Key(Side& side, const TlsSecret& secret);

    void HandleRecord(Direction direction, std::uint8_t* mutableRecord, const std::uint8_t* record,
                      std::size_t size);
    void HandleDecrypted(Direction direction, std::uint8_t type, const std::uint8_t* data,
                         std::size_t size);
    void HandleHandshakeBytes(Direction direction, const std::uint8_t* data, std::size_t size);
    void HandleMessage(Direction direction, std::uint8_t type, const std::uint8_t* body,
                       std::size_t size, bool recordGoesOn);
    void HandleAlert(Direction direction, const std::uint8_t* data, std::size_t size);
    bool ParseClientHello(const std::uint8_t* body, std::size_t size);
    bool ParseServerHello(const std::uint8_t* body, std::size_t size);
    bool ParseEncryptedExtensions(const std::uint8_t* body, std::size_t size);
    void ChangeEpoch(Direction direction, Epoch epoch, bool recordGoesOn);
    void Fail(TlsFailure failure);
    void ReleaseBuffers();

    const KeyLog& m_keyLog;
    TlsPlaintextSink& m_sink;
    const TlsConnectionLimits m_limits;
    Side m_client;
    Side m_server;

    std::uint8_t m_probe[6] = {};
    std::size_t m_probeHave = 0;
    bool m_isTls = false;  // the first bytes were a ClientHello's
    bool m_notTls = false;
    bool m_failed = false;
    bool m_ended = false;
    TlsFailure m_failure = TlsFailure::None;

    TlsClientRandom m_clientRandom{};
    std::uint8_t m_serverRandom[32] = {};
    bool m_helloRetry = false;       // the server asked for a second ClientHello
    bool m_serverHelloSeen = false;  // the real one, not a HelloRetryRequest
    bool m_earlyOffered = false;     // the final ClientHello offered early data
    bool m_encryptedExtensionsSeen = false;
    bool m_earlyAccepted = false;
    std::uint16_t m_version = 0;
    TlsSuite m_suite{};
    std::string m_serverName;
    std::vector<std::string> m_offeredAlpn;
    std::string m_alpn;
};
