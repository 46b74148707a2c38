// Real TLS traffic made in process: an OpenSSL client and server joined by memory BIOs, the
// client writing its key log through OpenSSL's key log callback as a browser would. A run plays
// a scripted exchange and gives each direction's wire bytes (with the record boundaries and the
// pieces in the order they left OpenSSL), what each side's application read, and the key log.
//
// Link the target with pelnix_tls_traffic (CMake), include "support/TlsTraffic.h".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tcp/Direction.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_session_st SSL_SESSION;

struct TlsTrafficConfig {
    std::uint16_t version = 0x0304;  // 0x0303: TLS 1.2, 0x0304: TLS 1.3
    // OpenSSL's name of the one suite both sides allow: "TLS_AES_128_GCM_SHA256" for TLS 1.3,
    // "ECDHE-ECDSA-AES128-GCM-SHA256" for TLS 1.2 (the certificate is an ECDSA one).
    std::string cipher = "TLS_AES_128_GCM_SHA256";
    std::vector<std::string> alpn;  // offered by the client, accepted by the server in order
    std::string serverName = "media.test";
    // The client sends a key share for X25519 only, the server accepts P-256 only: a
    // HelloRetryRequest (TLS 1.3).
    bool helloRetry = false;
    // Early data the server's tickets allow (TLS 1.3); 0: none.
    std::uint32_t maxEarlyData = 0;
    // The server refuses the early data it is offered.
    bool rejectEarlyData = false;
};

// One round of the exchange: the client sends, the server answers, each read whole by the other.
struct TlsExchangeStep {
    std::string clientSends;
    std::string serverAnswers;
    bool clientKeyUpdate = false;  // TLS 1.3 KeyUpdate (update_requested) before the round
    bool serverKeyUpdate = false;
};

// A session to resume, taken from an earlier run of the same TlsTraffic.
using TlsTrafficSession = std::shared_ptr<SSL_SESSION>;

struct TlsRunOptions {
    TlsTrafficSession resume;
    std::string
        earlyData;  // sent as 0-RTT data when the session allows it, else after the handshake
    bool closeNotify = true;  // both sides close with close_notify at the end
};

struct TlsWireChunk {
    Direction direction;
    std::size_t offset;  // in that direction's bytes
    std::size_t size;
};

struct TlsTrafficResult {
    bool ok = false;
    std::string error;  // why not ok
    // Indexed by Direction (ToServer: client to server). Empty when a wire sink was set.
    std::vector<std::uint8_t> wire[2];
    std::vector<std::size_t> recordStarts[2];
    std::vector<TlsWireChunk> chunks;  // in the order they were passed between the peers
    std::uint64_t wireBytes[2] = {0, 0};
    std::string received[2];  // what the application at the other end read
    std::string keyLog;
    TlsTrafficSession session;  // for a later resumption
    bool resumed = false;
    bool earlyDataAccepted = false;
    std::uint16_t version = 0;
    std::uint16_t cipherSuite = 0;
    std::string alpn;
};

class TlsTraffic {
public:
    using WireSink = std::function<void(Direction, const std::uint8_t*, std::size_t)>;

    explicit TlsTraffic(TlsTrafficConfig config = {});
    ~TlsTraffic();
    TlsTraffic(const TlsTraffic&) = delete;
    TlsTraffic& operator=(const TlsTraffic&) = delete;

    // Wire bytes go to `sink` as they pass instead of being kept (large transfers); received
    // bytes are then counted, not kept.
    void SetWireSink(WireSink sink) { m_wireSink = std::move(sink); }

    // One connection playing `script`.
    TlsTrafficResult Run(const std::vector<TlsExchangeStep>& script,
                         const TlsRunOptions& options = {});

    // The key log text written during Run (the callback's target).
    void AppendKeyLogLine(const char* line);

private:
    TlsTrafficConfig m_config;
    SSL_CTX* m_client = nullptr;
    SSL_CTX* m_server = nullptr;
    WireSink m_wireSink;
    std::string* m_keyLog = nullptr;
    std::string m_setupError;
};

// The offsets at which the records of a TLS byte stream start (stops at a cut record).
std::vector<std::size_t> TlsRecordStarts(const std::vector<std::uint8_t>& wire);
