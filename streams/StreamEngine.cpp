#include "streams/StreamEngine.h"

#include <string>
#include <utility>
#include <vector>

#include "httpmsg/Http3Connection.h"
#include "httpmsg/HttpConnection.h"
#include "streams/QuicSighting.h"
#include "streams/TlsSighting.h"
#include "tcp/BudgetHold.h"
#include "tls/TlsConnection.h"

const char* CaptureRulesText(CaptureRules rules) {
    return rules == CaptureRules::Streams ? "streams" : "packets";
}

namespace {

// What a TLS connection's two record decryptors take outside its own object: libcrypto's
// cipher contexts (about 1.2 KiB each, measured with the allocator's overhead).
constexpr std::size_t kTlsCryptoCost = 2 * 1280;

}  // namespace

// One connection as the engine reads it: TLS (until it is known not to be TLS), then HTTP.
// Owned by its handler while the TCP connection lives, by the engine while it is parked.
class StreamEngine::Connection final : public TlsPlaintextSink {
public:
    // What the budget holds for a connection while its TLS stage lives, and after.
    static constexpr std::size_t kTlsCost = sizeof(TlsConnection) + kTlsCryptoCost;
    static std::size_t BaseCost();

    Connection(StreamEngine& engine, const TcpConnectionInfo& info, BudgetHold hold)
        : m_engine(engine),
          m_info(info),
          m_hold(std::move(hold)),
          m_clientStartHold(engine.m_budget),
          m_serverHeldHold(engine.m_budget) {
        const KeyLog& keys = engine.m_keyLog != nullptr ? *engine.m_keyLog : engine.m_noKeys;
        m_tls = std::make_unique<TlsConnection>(keys, engine.m_budget, *this);
    }
    ~Connection() { m_engine.UnlinkWaiting(*this); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Data(Direction direction, const std::uint8_t* data, std::size_t size) {
        if (m_failed)
            return false;
        if (!m_tls) {  // plain HTTP, straight through
            if (!m_http->OnData(direction, data, size))
                Fail();
            return !m_failed;
        }
        m_tls->Feed(direction, data, size);
        return Settle();
    }

    void Finished(Direction direction) {
        m_finished[static_cast<int>(direction)] = true;
        PassFinished();
    }

    // The TCP connection ended. True when the connection waits for keys and is to be parked;
    // otherwise it has handed the HTTP layer its end.
    bool End(TcpEndReason reason) {
        const bool normalEnd = reason == TcpEndReason::Closed || reason == TcpEndReason::Reset;
        if (!m_failed && normalEnd && Waiting())
            return true;
        Close(reason);
        return false;
    }

    // Secrets arrived: records that waited for them are decrypted.
    void KeysChanged() {
        if (m_failed || !m_tls)
            return;
        m_tls->KeysChanged();
        Settle();
    }

    // Hands the end to the HTTP layer (what it still collects is reported) and lets go.
    void Close(TcpEndReason reason) {
        if (!m_failed && m_http && !Waiting()) {
            PassFinished();
            m_http->OnEnd(reason);
        }
        Release();
    }

    bool Waiting() const { return m_linked; }
    std::size_t Bytes() const {
        return m_hold.Held() + m_clientStartHold.Held() + m_serverHeldHold.Held() +
               (m_tls ? m_tls->BufferedBytes() : 0);
    }

    // The engine's list of connections waiting for keys.
    Connection* m_olderWaiting = nullptr;
    Connection* m_newerWaiting = nullptr;
    bool m_linked = false;

private:
    void OnPlaintext(Direction direction, const std::uint8_t* data, std::size_t size) override {
        if (m_failed)
            return;
        // Keys that came late may open the server's records before the client's: its answers
        // wait until the requests they answer went to HTTP.
        if (direction == Direction::ToClient &&
            (!m_serverHeld.empty() || m_tls->Waiting(Direction::ToServer))) {
            if (m_serverHeld.size() + size > kMaxServerHeld || !m_serverHeldHold.Grow(size)) {
                m_failed = true;
                return;
            }
            m_serverHeld.append(reinterpret_cast<const char*>(data), size);
            return;
        }
        Pass(direction, data, size);
    }

    // Hands plaintext on to HTTP, made with the protocol TLS chose.
    void Pass(Direction direction, const std::uint8_t* data, std::size_t size) {
        if (m_failed)
            return;
        if (!m_http) {
            // TLS 1.3 names the application protocol in the server's EncryptedExtensions, which
            // records that waited for keys may give out after the client's first plaintext: the
            // client's bytes wait until the server's first plaintext (or the protocol) shows.
            if (direction == Direction::ToServer && m_tls->State() != TlsState::NotTls &&
                m_tls->Alpn().empty()) {
                if (m_clientStart.size() + size > kMaxClientStart ||
                    !m_clientStartHold.Grow(size)) {
                    m_failed = true;
                    return;
                }
                m_clientStart.append(reinterpret_cast<const char*>(data), size);
                return;
            }
            if (!MakeHttp())
                return;
            if (!m_clientStart.empty()) {
                const std::string start = std::move(m_clientStart);
                m_clientStart.clear();
                m_clientStartHold.Resize(0);
                if (!m_http->OnData(Direction::ToServer,
                                    reinterpret_cast<const std::uint8_t*>(start.data()),
                                    start.size())) {
                    m_failed = true;
                    return;
                }
            }
        }
        if (!m_http->OnData(direction, data, size))
            m_failed = true;  // let go in Settle, once the TLS stage has returned
    }

    bool MakeHttp() {
        const bool tls = m_tls->State() != TlsState::NotTls;
        if (!tls && !m_engine.m_plainHttp) {
            m_failed = m_leftAlone = true;  // plain HTTP stays with the packet rules
            return false;
        }
        HttpConnectionContext context;
        context.scheme = tls ? "https" : "http";
        context.serverAddress = m_info.serverAddress;
        context.serverPort = m_info.serverPort;
        m_http = HttpConnection::Create(m_engine.m_budget, m_engine.m_rules, std::move(context));
        if (!m_http) {
            m_failed = true;
            return false;
        }
        if (tls) {
            m_http->SetAlpn(m_tls->Alpn());
            ++m_engine.m_stats.decrypted;
        } else {
            ++m_engine.m_stats.plain;
        }
        return true;
    }

    // After the TLS stage returned: follows its state. False when the connection is given up.
    bool Settle() {
        if (!m_failed) {
            const TlsState state = m_tls->State();
            if (!m_counted && state != TlsState::Probing && state != TlsState::NotTls) {
                m_counted = true;
                ++m_engine.m_stats.tls;
            }
            switch (state) {
                case TlsState::NotTls:
                    if (!m_http && !m_failed)
                        MakeHttp();
                    if (!m_failed) {
                        // Every byte goes straight to HTTP from now on.
                        m_engine.UnlinkWaiting(*this);
                        DropTls();
                        return true;
                    }
                    break;
                case TlsState::Failed:
                    m_failed = true;
                    break;
                case TlsState::AwaitingKeys:
                    if (m_engine.m_keyLog == nullptr) {
                        m_failed = true;  // no key log: never readable
                    } else if (!m_linked && !m_lookedForKeys && m_engine.LookForKeys()) {
                        // A browser writes a connection's secrets as its handshake runs: when
                        // records first wait, the key log most likely holds them already.
                        m_lookedForKeys = true;
                        m_tls->KeysChanged();
                        return Settle();
                    } else {
                        m_engine.LinkWaiting(*this);
                    }
                    break;
                case TlsState::Probing:
                case TlsState::Decrypting:
                case TlsState::Ended:
                    m_engine.UnlinkWaiting(*this);
                    break;
            }
        }
        if (!m_failed && !m_serverHeld.empty() && !m_tls->Waiting(Direction::ToServer)) {
            const std::string held = std::move(m_serverHeld);
            std::string().swap(m_serverHeld);
            m_serverHeldHold.Resize(0);
            Pass(Direction::ToClient, reinterpret_cast<const std::uint8_t*>(held.data()),
                 held.size());
        }
        if (m_failed) {
            ++(m_leftAlone ? m_engine.m_stats.leftAlone : m_engine.m_stats.failed);
            Release();
            return false;
        }
        PassFinished();
        return true;
    }

    // A side's FIN reaches HTTP once every byte before it did.
    void PassFinished() {
        if (m_failed || !m_http || Waiting() || !m_serverHeld.empty())
            return;
        for (int side = 0; side < 2; ++side) {
            if (m_finished[side] && !m_finishPassed[side]) {
                m_finishPassed[side] = true;
                m_http->OnFinished(static_cast<Direction>(side));
            }
        }
    }

    void Fail() {
        m_failed = true;
        ++m_engine.m_stats.failed;
        Release();
    }

    // Gives back everything but the connection's own entry.
    void DropTls() {
        if (m_tls) {
            m_tls.reset();
            m_hold.Shrink(kTlsCost);
        }
    }

    void Release() {
        m_engine.UnlinkWaiting(*this);
        m_http.reset();
        DropTls();
        std::string().swap(m_clientStart);
        m_clientStartHold.Resize(0);
        std::string().swap(m_serverHeld);
        m_serverHeldHold.Resize(0);
    }

    // The most client plaintext that waits for the server's choice of protocol.
    static constexpr std::size_t kMaxClientStart = 256u << 10;
    // The most server plaintext that waits for the client's: what the TLS stage lets wait for
    // keys, both directions together.
    static constexpr std::size_t kMaxServerHeld = TlsConnectionLimits{}.maxPendingBytes;

    StreamEngine& m_engine;
    const TcpConnectionInfo m_info;
    BudgetHold m_hold;
    std::string m_clientStart;
    BudgetHold m_clientStartHold;
    std::string m_serverHeld;
    BudgetHold m_serverHeldHold;
    std::unique_ptr<TlsConnection> m_tls;
    std::unique_ptr<HttpConnection> m_http;
    bool m_failed = false;
    bool m_lookedForKeys = false;
    bool m_leftAlone = false;  // plain HTTP under the packet rules
    bool m_counted = false;
    bool m_finished[2] = {false, false};
    bool m_finishPassed[2] = {false, false};
};

// What the reassembler owns: the connection, until it ends or is parked.
class StreamEngine::Handler final : public TcpStreamHandler {
public:
    Handler(StreamEngine& engine, std::unique_ptr<Connection> connection)
        : m_engine(engine), m_connection(std::move(connection)) {}

    bool OnData(Direction direction, const std::uint8_t* data, std::size_t size) override {
        return m_connection->Data(direction, data, size);
    }
    void OnFinished(Direction direction) override { m_connection->Finished(direction); }
    void OnEnd(TcpEndReason reason) override {
        const bool waiting = m_connection->Waiting();
        if (m_connection->End(reason))
            m_engine.Park(std::move(m_connection), reason);
        else if (waiting)
            m_engine.m_keysNeverCame = true;  // ended otherwise (the capture's end, its bound)
        m_connection.reset();
    }

private:
    StreamEngine& m_engine;
    std::unique_ptr<Connection> m_connection;
};

// A QUIC connection's streams, read as HTTP/3.
class StreamEngine::Http3Handler final : public QuicStreamHandler {
public:
    explicit Http3Handler(std::unique_ptr<Http3Connection> http) : m_http(std::move(http)) {}

    bool OnStreamData(std::uint64_t streamId, Direction direction, const std::uint8_t* data,
                      std::size_t size, bool fin) override {
        return m_http->OnStreamData(streamId, direction, data, size, fin);
    }
    void OnStreamReset(std::uint64_t streamId, Direction direction) override {
        m_http->OnStreamReset(streamId, direction);
    }
    void OnEnd() override { m_http->OnEnd(); }

private:
    std::unique_ptr<Http3Connection> m_http;
};

StreamEngine::StreamEngine(const Setup& setup, MessageMediaRules::ReportSink sink,
                           MessageMediaRules::IgnoreCheck ignore)
    : m_budget(*setup.budget),
      m_keyLog(setup.keyLog),
      m_plainHttp(setup.rules == CaptureRules::Streams),
      m_rules(std::move(sink), std::move(ignore)),
      m_notice(setup.notice),
      m_reassembler(*setup.budget, *this, setup.limits) {
    m_rules.SetCopySink(setup.copies);
    if (m_keyLog != nullptr) {
        QuicConnectionSink& connections = *this;
        m_quic = std::make_unique<QuicReader>(m_budget, *m_keyLog, connections);
        // Servers say in Alt-Svc on which port they answer HTTP/3.
        m_rules.SetHeadWatch([this](const HttpExchange& exchange) {
            if (const std::string* altSvc = FindHeader(exchange.response.headers, "alt-svc"))
                m_quicPorts.TakeAltSvc(*altSvc);
        });
    }
}

StreamEngine::~StreamEngine() {
    // Nothing is reported from here: the sink may be gone already.
    m_rules.SetReportSink({});
    m_reassembler.EndAll(TcpEndReason::Shutdown);
    m_quic.reset();
    m_parked.clear();
}

void StreamEngine::HandleDatagram(const DatagramView& datagram, std::int64_t nowSeconds) {
    if (!m_quic ||
        !(m_quicPorts.Has(datagram.destinationPort) || m_quicPorts.Has(datagram.sourcePort)))
        return;
    QuicDatagram quic;
    quic.sourceAddress = datagram.sourceAddress;
    quic.destinationAddress = datagram.destinationAddress;
    quic.sourcePort = datagram.sourcePort;
    quic.destinationPort = datagram.destinationPort;
    quic.data = datagram.payload;
    quic.size = datagram.length;
    m_quic->HandleDatagram(quic, nowSeconds);
}

std::unique_ptr<QuicStreamHandler> StreamEngine::OnQuicConnection(const QuicConnectionInfo& info) {
    // HTTP/3: the server chose "h3", or, before its choice was read, the client offered it.
    bool http3 = info.alpn == "h3";
    if (info.alpn.empty()) {
        for (const std::string& offered : info.offeredAlpn) http3 = http3 || offered == "h3";
    }
    if (!http3)
        return nullptr;
    HttpConnectionContext context;
    context.scheme = "https";
    context.serverAddress = info.serverAddress;
    context.serverPort = info.serverPort;
    auto http = Http3Connection::Create(m_budget, m_rules, std::move(context));
    if (!http)
        return nullptr;
    ++m_stats.http3;
    return std::make_unique<Http3Handler>(std::move(http));
}

void StreamEngine::NoticeUnopened() {
    if (!m_tlsNoticed && m_keyLog != nullptr && (m_stats.keysTooLate != 0 || m_keysNeverCame)) {
        m_tlsNoticed = true;
        if (m_notice)
            m_notice(kTlsKeysNotice);
    }
    if (m_quicNoticed || !m_quic || m_quic->Stats().unopened == 0)
        return;
    m_quicNoticed = true;
    if (m_notice)
        m_notice(kQuicKeysNotice);
}

std::size_t StreamEngine::Connection::BaseCost() {
    return sizeof(Connection) + sizeof(Handler);
}

std::unique_ptr<TcpStreamHandler> StreamEngine::OnConnection(const TcpConnectionInfo& info) {
    BudgetHold hold(m_budget);
    if (!hold.Resize(Connection::BaseCost() + Connection::kTlsCost))
        return nullptr;
    auto connection = std::make_unique<Connection>(*this, info, std::move(hold));
    return std::make_unique<Handler>(*this, std::move(connection));
}

void StreamEngine::LinkWaiting(Connection& connection) {
    if (connection.m_linked)
        return;
    connection.m_linked = true;
    connection.m_olderWaiting = m_waiting;
    connection.m_newerWaiting = nullptr;
    if (m_waiting != nullptr)
        m_waiting->m_newerWaiting = &connection;
    m_waiting = &connection;
    ++m_waitingCount;
}

void StreamEngine::UnlinkWaiting(Connection& connection) {
    if (!connection.m_linked)
        return;
    connection.m_linked = false;
    if (connection.m_olderWaiting != nullptr)
        connection.m_olderWaiting->m_newerWaiting = connection.m_newerWaiting;
    if (connection.m_newerWaiting != nullptr)
        connection.m_newerWaiting->m_olderWaiting = connection.m_olderWaiting;
    else
        m_waiting = connection.m_olderWaiting;
    connection.m_olderWaiting = connection.m_newerWaiting = nullptr;
    --m_waitingCount;
}

void StreamEngine::Park(std::unique_ptr<Connection> connection, TcpEndReason reason) {
    const std::size_t bytes = connection->Bytes();
    const std::size_t bound = m_budget.Limit() / 8;
    if (bytes > bound) {
        connection->Close(reason);
        ++m_stats.keysTooLate;
        return;
    }
    // Room, the oldest first: they have waited the longest.
    while (!m_parked.empty() && (m_parked.size() >= kMaxParked || m_parkedBytes + bytes > bound)) {
        m_parkedBytes -= m_parked.front().bytes;
        m_parked.front().connection->Close(m_parked.front().reason);
        m_parked.pop_front();
        ++m_stats.keysTooLate;
    }
    ++m_stats.parked;
    m_parkedBytes += bytes;
    m_parked.push_back(
        {std::move(connection), std::chrono::steady_clock::now() + kParkSeconds, reason, bytes});
}

void StreamEngine::RetryWaiting() {
    // A connection's retry may leave the list (or fail): walk a copy.
    std::vector<Connection*> waiting;
    waiting.reserve(m_waitingCount);
    for (Connection* c = m_waiting; c != nullptr; c = c->m_olderWaiting) waiting.push_back(c);
    for (Connection* connection : waiting) connection->KeysChanged();
}

void StreamEngine::SweepParked(std::chrono::steady_clock::time_point now, bool all) {
    for (auto it = m_parked.begin(); it != m_parked.end();) {
        const bool ready = !it->connection->Waiting();
        if (!ready && !all && now < it->until) {
            ++it;
            continue;
        }
        if (!ready)
            ++m_stats.keysTooLate;
        m_parkedBytes -= it->bytes;
        it->connection->Close(it->reason);  // reports what the keys opened, if any
        it = m_parked.erase(it);
    }
}

bool StreamEngine::LookForKeys() {
    const auto now = std::chrono::steady_clock::now();
    if (m_looked && now - m_lastLook < kKeyLookInterval)
        return false;
    m_looked = true;
    m_lastLook = now;
    m_keyLog->Poll();
    // The others waiting are given their try by the next PollKeyLog, which sees the same move.
    return m_keyLog->Generation() != m_seenGeneration;
}

void StreamEngine::PollKeyLog(std::chrono::steady_clock::time_point now) {
    // A key log with more waiting than one step read is read on at every call.
    if (m_polled && now - m_lastPoll < kKeyLogPollInterval && !KeyLogBehind())
        return;
    PollKeyLogNow(now);
}

void StreamEngine::PollKeyLogNow(std::chrono::steady_clock::time_point now) {
    m_polled = true;
    m_lastPoll = now;
    if (m_keyLog == nullptr)
        return;
    m_keyLog->Poll();
    const std::uint64_t generation = m_keyLog->Generation();
    if (generation != m_seenGeneration) {
        m_seenGeneration = generation;
        RetryWaiting();
        if (m_quic)
            m_quic->KeysChanged();
    }
    if (!m_parked.empty())
        SweepParked(now, false);
    if (m_quic)
        m_quic->GiveUpWaiting(std::chrono::steady_clock::now(), false);
    NoticeUnopened();
}

void StreamEngine::Finish() {
    PollKeyLogNow(std::chrono::steady_clock::now());
    m_reassembler.EndAll(TcpEndReason::Shutdown);
    if (m_quic) {
        m_quic->GiveUpWaiting(std::chrono::steady_clock::now(), true);
        NoticeUnopened();
        m_quic->EndAll();
    }
    SweepParked(std::chrono::steady_clock::now(), true);
    NoticeUnopened();
}
