// The handshake messages that name a connection's secrets and its protocol, read from their
// bodies with bounds: the ClientHello (its random is the key log's key), the ServerHello (the
// version and cipher suite) and the EncryptedExtensions (the server's choice of protocol).
// TLS over TCP (tls/TlsConnection) and QUIC (quic/) read them alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tls/KeyLog.h"

inline constexpr std::uint8_t kTlsClientHello = 1;
inline constexpr std::uint8_t kTlsServerHello = 2;
inline constexpr std::uint8_t kTlsEncryptedExtensions = 8;

struct TlsClientHello {
    TlsClientRandom random{};
    std::string serverName;         // the first name of server_name, when a plain host name
    std::vector<std::string> alpn;  // the protocols offered (at most 32)
    bool earlyData = false;         // early_data offered
};
// False when the body does not hold a ClientHello.
bool ReadClientHello(const std::uint8_t* body, std::size_t size, TlsClientHello& hello);

struct TlsServerHello {
    std::uint8_t random[32] = {};
    std::uint16_t version = 0;  // of supported_versions, else the legacy version
    std::uint16_t suite = 0;
    std::uint8_t compression = 0;
    bool helloRetry = false;        // a HelloRetryRequest
    std::vector<std::string> alpn;  // TLS 1.2's choice (one name)
};
bool ReadServerHello(const std::uint8_t* body, std::size_t size, TlsServerHello& hello);

struct TlsEncryptedExtensions {
    std::string alpn;  // the server's choice; empty when it made none
    bool earlyData = false;
};
bool ReadEncryptedExtensions(const std::uint8_t* body, std::size_t size,
                             TlsEncryptedExtensions& extensions);
