// The HTTP layer of one connection of the stream engine: it reads the connection's two byte
// streams (from TCP reassembly, or the plaintext out of TLS) as HTTP/1.1, or as HTTP/2 when the
// client's first bytes are the HTTP/2 connection preface or TLS negotiated "h2", and hands each
// exchange to the sink: the response head tied to its request, then the body prefix the sink
// asked for.
//
// It is a TcpStreamHandler, so a plain HTTP connection is handed to the reassembler as it is; a
// TLS stage calls the same four functions with the plaintext of each direction. Returning false
// from OnData gives the connection up (hostile framing, a bound passed, the budget refused, the
// connection left HTTP); nothing more is read and no exchange is made from what follows. At
// OnEnd (or OnFinished of the server side, for a body that lasts until the close) responses
// still collecting hand over what they have.
//
// Memory: its own state, head buffers, waiting requests, HTTP/2 streams and header decoders
// and collected bodies all come from the budget. The sink and the budget must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "httpmsg/HttpExchange.h"
#include "httpmsg/HttpLimits.h"
#include "tcp/BudgetHold.h"
#include "tcp/TcpReassembler.h"

class Http1Parser;
class Http2Parser;

class HttpConnection final : public TcpStreamHandler {
public:
    enum class Protocol : std::uint8_t { Undecided, Http1, Http2 };

    // Null when the budget refuses the connection's own state.
    static std::unique_ptr<HttpConnection> Create(MemoryBudget& budget, HttpExchangeSink& sink,
                                                  HttpConnectionContext context,
                                                  const HttpLimits& limits = HttpLimits{});
    ~HttpConnection() override;
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // The application protocol TLS negotiated (ALPN), told before any byte: "h2" is read as
    // HTTP/2 from the first byte, anything else as HTTP/1.1.
    void SetAlpn(std::string_view protocol);

    bool OnData(Direction direction, const std::uint8_t* data, std::size_t size) override;
    void OnFinished(Direction direction) override;
    void OnEnd(TcpEndReason reason) override;

    Protocol CurrentProtocol() const { return m_protocol; }

private:
    HttpConnection(MemoryBudget& budget, HttpExchangeSink& sink, HttpConnectionContext context,
                   const HttpLimits& limits);
    bool Decide(Protocol protocol);
    bool Pass(Direction direction, const std::uint8_t* data, std::size_t size);

    MemoryBudget& m_budget;
    HttpExchangeSink& m_sink;
    const HttpConnectionContext m_context;
    const HttpLimits m_limits;
    BudgetHold m_hold;
    Protocol m_protocol = Protocol::Undecided;
    bool m_failed = false;
    bool m_ended = false;
    // Until the protocol is known: the client's first bytes (at most the preface) and what the
    // server sent meanwhile.
    std::string m_clientStart;
    std::string m_serverStart;
    std::unique_ptr<Http1Parser> m_http1;
    std::unique_ptr<Http2Parser> m_http2;
};
