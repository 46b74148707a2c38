#include "support/TlsTraffic.h"

#include <algorithm>
#include <cstring>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {

constexpr std::size_t kWriteChunk = 256u << 10;
constexpr std::size_t kReadChunk = 256u << 10;

// One self-signed ECDSA P-256 certificate for the whole process, made in memory.
struct Identity {
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;

    Identity() {
        key = EVP_EC_gen("P-256");
        certificate = X509_new();
        if (!key || !certificate)
            return;
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("media.test"), -1, -1, 0);
        X509_set_issuer_name(certificate, name);
        X509_sign(certificate, key, EVP_sha256());
    }
    ~Identity() {
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
};

const Identity& TheIdentity() {
    static const Identity identity;
    return identity;
}

std::string OpenSslError(const char* what) {
    std::string text = what;
    while (const unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        text += ": ";
        text += buffer;
    }
    return text;
}

void KeyLogCallback(const SSL* ssl, const char* line) {
    static_cast<TlsTraffic*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)))->AppendKeyLogLine(line);
}

int AllowEarlyData(SSL*, void* reject) {
    return *static_cast<bool*>(reject) ? 0 : 1;
}

int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outSize, const unsigned char* in,
               unsigned int inSize, void* arg) {
    const auto* wanted = static_cast<const std::vector<std::string>*>(arg);
    // The server's own preference: the first of its list that the client offers.
    for (const std::string& name : *wanted) {
        for (unsigned int i = 0; i < inSize; i += 1 + in[i]) {
            if (in[i] == name.size() && i + 1 + in[i] <= inSize &&
                std::memcmp(in + i + 1, name.data(), name.size()) == 0) {
                *out = in + i + 1;
                *outSize = in[i];
                return SSL_TLSEXT_ERR_OK;
            }
        }
    }
    return SSL_TLSEXT_ERR_NOACK;
}

// The two peers of one run and the bytes between them.
class Link {
public:
    Link(SSL_CTX* client, SSL_CTX* server, TlsTrafficResult& result,
         const TlsTraffic::WireSink& wireSink)
        : m_result(result), m_wireSink(wireSink) {
        m_ssl[0] = SSL_new(client);
        m_ssl[1] = SSL_new(server);
        for (int i = 0; i < 2; ++i) {
            if (!m_ssl[i])
                return;
            BIO* in = BIO_new(BIO_s_mem());
            BIO* out = BIO_new(BIO_s_mem());
            BIO_set_mem_eof_return(in, -1);  // empty means "wait", not end of stream
            SSL_set_bio(m_ssl[i], in, out);
        }
        SSL_set_connect_state(m_ssl[0]);
        SSL_set_accept_state(m_ssl[1]);
        m_buffer.resize(kReadChunk);
    }
    ~Link() {
        SSL_free(m_ssl[0]);
        SSL_free(m_ssl[1]);
    }
    bool Valid() const { return m_ssl[0] && m_ssl[1]; }
    SSL* Client() { return m_ssl[0]; }
    SSL* Server() { return m_ssl[1]; }

    // Passes what `from` wrote to the other peer, recording it as wire bytes.
    void Move(Direction direction) {
        SSL* from = m_ssl[static_cast<int>(direction)];
        SSL* to = m_ssl[1 - static_cast<int>(direction)];
        BIO* out = SSL_get_wbio(from);
        std::vector<std::uint8_t>& wire = m_result.wire[static_cast<int>(direction)];
        for (;;) {
            const int got = BIO_read(out, m_buffer.data(), static_cast<int>(m_buffer.size()));
            if (got <= 0)
                break;
            const std::size_t size = static_cast<std::size_t>(got);
            std::uint64_t& offset = m_result.wireBytes[static_cast<int>(direction)];
            if (!m_result.chunks.empty() && m_result.chunks.back().direction == direction &&
                m_result.chunks.back().offset + m_result.chunks.back().size == offset)
                m_result.chunks.back().size += size;
            else
                m_result.chunks.push_back({direction, static_cast<std::size_t>(offset), size});
            offset += size;
            if (m_wireSink)
                m_wireSink(direction, m_buffer.data(), size);
            else
                wire.insert(wire.end(), m_buffer.begin(), m_buffer.begin() + got);
            BIO_write(SSL_get_rbio(to), m_buffer.data(), got);
        }
    }

    // Reads what has arrived for `direction`'s receiver until it would wait.
    bool Drain(Direction direction) {
        SSL* to = m_ssl[1 - static_cast<int>(direction)];
        for (;;) {
            std::size_t got = 0;
            const int status = SSL_read_ex(to, m_buffer.data(), m_buffer.size(), &got);
            if (status == 1) {
                Received(direction, m_buffer.data(), got);
                continue;
            }
            const int error = SSL_get_error(to, status);
            if (error == SSL_ERROR_WANT_WRITE) {
                Move(Opposite(direction));  // a KeyUpdate answer or a ticket
                continue;
            }
            Move(Opposite(direction));
            return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_ZERO_RETURN;
        }
    }

    // Sends `data` in large writes, each passed on and read at once.
    bool Send(Direction direction, const std::string& data) {
        SSL* from = m_ssl[static_cast<int>(direction)];
        for (std::size_t done = 0; done < data.size();) {
            const std::size_t piece = std::min(kWriteChunk, data.size() - done);
            std::size_t written = 0;
            if (SSL_write_ex(from, data.data() + done, piece, &written) != 1)
                return false;
            done += written;
            Move(direction);
            if (!Drain(direction))
                return false;
        }
        return true;
    }

    void Received(Direction direction, const std::uint8_t* data, std::size_t size) {
        if (!m_wireSink)
            m_result.received[static_cast<int>(direction)].append(
                reinterpret_cast<const char*>(data), size);
    }

    std::vector<std::uint8_t>& Buffer() { return m_buffer; }

private:
    SSL* m_ssl[2] = {nullptr, nullptr};
    TlsTrafficResult& m_result;
    const TlsTraffic::WireSink& m_wireSink;
    std::vector<std::uint8_t> m_buffer;
};

bool WantsIo(SSL* ssl, int status) {
    const int error = SSL_get_error(ssl, status);
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
}

}  // namespace

std::vector<std::size_t> TlsRecordStarts(const std::vector<std::uint8_t>& wire) {
    std::vector<std::size_t> starts;
    for (std::size_t at = 0; at + 5 <= wire.size();) {
        starts.push_back(at);
        at += 5 + (static_cast<std::size_t>(wire[at + 3]) << 8 | wire[at + 4]);
    }
    return starts;
}

TlsTraffic::TlsTraffic(TlsTrafficConfig config) : m_config(std::move(config)) {
    const Identity& identity = TheIdentity();
    m_client = SSL_CTX_new(TLS_client_method());
    m_server = SSL_CTX_new(TLS_server_method());
    if (!identity.certificate || !m_client || !m_server) {
        m_setupError = OpenSslError("context");
        return;
    }
    for (SSL_CTX* context : {m_client, m_server}) {
        SSL_CTX_set_min_proto_version(context, m_config.version);
        SSL_CTX_set_max_proto_version(context, m_config.version);
        const int ok = m_config.version == TLS1_3_VERSION
                           ? SSL_CTX_set_ciphersuites(context, m_config.cipher.c_str())
                           : SSL_CTX_set_cipher_list(context, m_config.cipher.c_str());
        if (!ok)
            m_setupError = OpenSslError("cipher");
    }
    SSL_CTX_set_app_data(m_client, this);
    SSL_CTX_set_keylog_callback(m_client, KeyLogCallback);
    SSL_CTX_set_verify(m_client, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_session_cache_mode(m_client, SSL_SESS_CACHE_CLIENT);
    if (SSL_CTX_use_certificate(m_server, identity.certificate) != 1 ||
        SSL_CTX_use_PrivateKey(m_server, identity.key) != 1)
        m_setupError = OpenSslError("certificate");
    if (!m_config.alpn.empty()) {
        std::string wire;
        for (const std::string& name : m_config.alpn) wire += static_cast<char>(name.size()) + name;
        SSL_CTX_set_alpn_protos(m_client, reinterpret_cast<const unsigned char*>(wire.data()),
                                static_cast<unsigned int>(wire.size()));
        SSL_CTX_set_alpn_select_cb(m_server, SelectAlpn, &m_config.alpn);
    }
    if (m_config.helloRetry) {
        SSL_CTX_set1_groups_list(m_client, "X25519:P-256");
        SSL_CTX_set1_groups_list(m_server, "P-256");
    }
    if (m_config.maxEarlyData > 0) {
        SSL_CTX_set_max_early_data(m_server, m_config.maxEarlyData);
        SSL_CTX_set_recv_max_early_data(m_server, m_config.maxEarlyData);
        SSL_CTX_set_allow_early_data_cb(m_server, AllowEarlyData, &m_config.rejectEarlyData);
    }
}

TlsTraffic::~TlsTraffic() {
    SSL_CTX_free(m_client);
    SSL_CTX_free(m_server);
}

void TlsTraffic::AppendKeyLogLine(const char* line) {
    if (m_keyLog) {
        *m_keyLog += line;
        *m_keyLog += '\n';
    }
}

TlsTrafficResult TlsTraffic::Run(const std::vector<TlsExchangeStep>& script,
                                 const TlsRunOptions& options) {
    TlsTrafficResult result;
    if (!m_setupError.empty()) {
        result.error = m_setupError;
        return result;
    }
    m_keyLog = &result.keyLog;
    struct KeyLogReset {
        std::string*& target;
        ~KeyLogReset() { target = nullptr; }
    } keyLogReset{m_keyLog};

    Link link(m_client, m_server, result, m_wireSink);
    if (!link.Valid()) {
        result.error = OpenSslError("SSL_new");
        return result;
    }
    SSL* client = link.Client();
    SSL* server = link.Server();
    SSL_set_tlsext_host_name(client, m_config.serverName.c_str());
    if (options.resume && SSL_set_session(client, options.resume.get()) != 1) {
        result.error = OpenSslError("SSL_set_session");
        return result;
    }

    // 0-RTT: the ClientHello and the early data leave together.
    std::string lateEarlyData;
    if (!options.earlyData.empty()) {
        if (options.resume && SSL_SESSION_get_max_early_data(options.resume.get()) > 0) {
            std::size_t written = 0;
            if (SSL_write_early_data(client, options.earlyData.data(), options.earlyData.size(),
                                     &written) != 1 ||
                written != options.earlyData.size()) {
                result.error = OpenSslError("SSL_write_early_data");
                return result;
            }
        } else {
            lateEarlyData = options.earlyData;
        }
    }

    // The handshake, one flight at a time.
    bool clientDone = false;
    bool serverDone = false;
    bool serverReadsEarly = m_config.maxEarlyData > 0;
    for (int flight = 0; flight < 32 && !(clientDone && serverDone); ++flight) {
        if (!clientDone) {
            const int status = SSL_do_handshake(client);
            if (status == 1)
                clientDone = true;
            else if (!WantsIo(client, status)) {
                result.error = OpenSslError("client handshake");
                return result;
            }
        }
        link.Move(Direction::ToServer);
        if (!serverDone && serverReadsEarly) {
            std::vector<std::uint8_t>& buffer = link.Buffer();
            for (;;) {
                std::size_t got = 0;
                const int status = SSL_read_early_data(server, buffer.data(), buffer.size(), &got);
                if (status == SSL_READ_EARLY_DATA_SUCCESS) {
                    link.Received(Direction::ToServer, buffer.data(), got);
                    continue;
                }
                if (status == SSL_READ_EARLY_DATA_FINISH)
                    serverReadsEarly = false;
                else if (!WantsIo(server, status)) {
                    result.error = OpenSslError("server early data");
                    return result;
                }
                break;
            }
        }
        if (!serverDone && !serverReadsEarly) {
            const int status = SSL_do_handshake(server);
            if (status == 1)
                serverDone = true;
            else if (!WantsIo(server, status)) {
                result.error = OpenSslError("server handshake");
                return result;
            }
        }
        link.Move(Direction::ToClient);
    }
    if (!clientDone || !serverDone) {
        result.error = "handshake did not complete";
        return result;
    }
    result.earlyDataAccepted = SSL_get_early_data_status(client) == SSL_EARLY_DATA_ACCEPTED;
    if (!options.earlyData.empty() && !result.earlyDataAccepted)
        lateEarlyData = options.earlyData;  // refused: sent again, as a browser does
    if (!lateEarlyData.empty() && !link.Send(Direction::ToServer, lateEarlyData)) {
        result.error = OpenSslError("early data sent late");
        return result;
    }

    for (const TlsExchangeStep& step : script) {
        for (auto [update, direction] : {std::pair{step.clientKeyUpdate, Direction::ToServer},
                                         std::pair{step.serverKeyUpdate, Direction::ToClient}}) {
            SSL* ssl = direction == Direction::ToServer ? client : server;
            if (update) {
                if (SSL_key_update(ssl, SSL_KEY_UPDATE_REQUESTED) != 1 ||
                    SSL_do_handshake(ssl) != 1) {
                    result.error = OpenSslError("key update");
                    return result;
                }
                link.Move(direction);
                link.Drain(direction);
            }
        }
        if (!link.Send(Direction::ToServer, step.clientSends) ||
            !link.Send(Direction::ToClient, step.serverAnswers)) {
            result.error = OpenSslError("exchange");
            return result;
        }
    }
    // The client reads what is still on its way (TLS 1.3 session tickets).
    link.Drain(Direction::ToClient);
    link.Drain(Direction::ToServer);

    result.resumed = SSL_session_reused(client) == 1;
    result.version = static_cast<std::uint16_t>(SSL_version(client));
    result.cipherSuite = SSL_CIPHER_get_protocol_id(SSL_get_current_cipher(client));
    const unsigned char* alpn = nullptr;
    unsigned int alpnSize = 0;
    SSL_get0_alpn_selected(client, &alpn, &alpnSize);
    result.alpn.assign(reinterpret_cast<const char*>(alpn), alpnSize);
    result.session = TlsTrafficSession(SSL_get1_session(client), SSL_SESSION_free);

    if (options.closeNotify) {
        SSL_shutdown(client);
        link.Move(Direction::ToServer);
        SSL_shutdown(server);
        SSL_shutdown(server);
        link.Move(Direction::ToClient);
    }
    for (int i = 0; i < 2; ++i) result.recordStarts[i] = TlsRecordStarts(result.wire[i]);
    result.ok = true;
    return result;
}
