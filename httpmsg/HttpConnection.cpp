#include "httpmsg/HttpConnection.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "httpmsg/Http1Parser.h"
#include "httpmsg/Http2Parser.h"

namespace {

// What a server may send before the client's first bytes show the protocol (an HTTP/2
// server's SETTINGS); past it, the connection is given up.
constexpr std::size_t kMaxServerStart = 16u << 10;

}  // namespace

std::unique_ptr<HttpConnection> HttpConnection::Create(MemoryBudget& budget, HttpExchangeSink& sink,
                                                       HttpConnectionContext context,
                                                       const HttpLimits& limits) {
    BudgetHold hold(budget);
    if (!hold.Resize(sizeof(HttpConnection) + sizeof(Http1Parser)))
        return nullptr;
    std::unique_ptr<HttpConnection> connection(
        new HttpConnection(budget, sink, std::move(context), limits));
    connection->m_hold = std::move(hold);
    return connection;
}

HttpConnection::HttpConnection(MemoryBudget& budget, HttpExchangeSink& sink,
                               HttpConnectionContext context, const HttpLimits& limits)
    : m_budget(budget), m_sink(sink), m_context(std::move(context)), m_limits(limits) {}

HttpConnection::~HttpConnection() = default;

void HttpConnection::SetAlpn(std::string_view protocol) {
    if (m_protocol == Protocol::Undecided && !m_failed)
        m_failed = !Decide(protocol == "h2" ? Protocol::Http2 : Protocol::Http1);
}

bool HttpConnection::Decide(Protocol protocol) {
    m_protocol = protocol;
    if (protocol == Protocol::Http1) {
        m_http1 = std::make_unique<Http1Parser>(m_budget, m_sink, m_context, m_limits);
        return true;
    }
    if (!m_hold.Grow(sizeof(Http2Parser)))
        return false;
    m_http2 = std::make_unique<Http2Parser>(m_budget, m_sink, m_context, m_limits);
    return m_http2->Start();
}

bool HttpConnection::Pass(Direction direction, const std::uint8_t* data, std::size_t size) {
    const bool ok =
        m_http2 ? m_http2->Feed(direction, data, size) : m_http1->Feed(direction, data, size);
    m_failed = !ok;
    return ok;
}

bool HttpConnection::OnData(Direction direction, const std::uint8_t* data, std::size_t size) {
    if (m_failed || m_ended)
        return false;
    if (m_protocol != Protocol::Undecided)
        return Pass(direction, data, size);

    if (direction == Direction::ToClient) {
        if (m_serverStart.size() + size > kMaxServerStart || !m_hold.Grow(size)) {
            m_failed = true;
            return false;
        }
        m_serverStart.append(reinterpret_cast<const char*>(data), size);
        // An HTTP/2 server opens with a SETTINGS frame (type 4 in its fourth byte); anything
        // else is no HTTP/2.
        if (m_serverStart.size() < 4 || m_serverStart[3] == 4)
            return true;
        if (!Decide(Protocol::Http1)) {
            m_failed = true;
            return false;
        }
        const std::string server = std::move(m_serverStart);
        m_hold.Shrink(server.size());
        return Pass(Direction::ToClient, reinterpret_cast<const std::uint8_t*>(server.data()),
                    server.size());
    }
    // The client's first bytes: the preface, or anything else (HTTP/1.1).
    const std::size_t take = std::min(size, Http2Parser::kPrefaceLength - m_clientStart.size());
    m_clientStart.append(reinterpret_cast<const char*>(data), take);
    const bool prefix =
        std::memcmp(m_clientStart.data(), Http2Parser::kPreface, m_clientStart.size()) == 0;
    if (prefix && m_clientStart.size() < Http2Parser::kPrefaceLength)
        return true;  // not yet known
    if (!Decide(prefix ? Protocol::Http2 : Protocol::Http1)) {
        m_failed = true;
        return false;
    }
    const std::string client = std::move(m_clientStart);
    const std::string server = std::move(m_serverStart);
    m_hold.Shrink(server.size());
    return Pass(Direction::ToServer, reinterpret_cast<const std::uint8_t*>(client.data()),
                client.size()) &&
           Pass(Direction::ToServer, data + take, size - take) &&
           Pass(Direction::ToClient, reinterpret_cast<const std::uint8_t*>(server.data()),
                server.size());
}

void HttpConnection::OnFinished(Direction direction) {
    if (!m_failed && !m_ended && m_http1)
        m_http1->Finish(direction);
}

void HttpConnection::OnEnd(TcpEndReason) {
    if (m_ended)
        return;
    m_ended = true;
    if (m_http1)
        m_http1->End();
    if (m_http2)
        m_http2->End();
}
