// The HTTP layer of the stream engine over arbitrary conversations: HTTP/1.1 and HTTP/2 with
// HPACK, both directions taken from the input. The first byte chooses the budget (small ones
// make every allocation path fail somewhere), whether TLS told "h2", and the body prefix the
// sink asks for; then records of one byte (bit 0: from the server, bit 1: that side closes
// instead of sending) and two length bytes, followed by that many bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "httpmsg/HttpConnection.h"

namespace {

class CheckingSink : public HttpExchangeSink {
public:
    explicit CheckingSink(std::size_t want) : m_want(want) {}
    std::size_t OnResponseHead(const HttpExchange& exchange) override {
        if (exchange.response.status < 200 || exchange.response.status > 599)
            std::abort();
        ++m_heads;
        return m_want;
    }
    void OnResponseBody(const HttpExchange&, std::string_view body, bool) override {
        // At most the prefix asked for, once per head.
        if (body.size() > m_want || ++m_bodies > m_heads)
            std::abort();
    }

private:
    std::size_t m_want;
    std::size_t m_heads = 0;
    std::size_t m_bodies = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint8_t mode = data[0];
    ++data;
    --size;
    const std::size_t limit = std::size_t{1} << (10 + (mode >> 4));  // 1 KiB to 32 MiB
    const std::size_t want = (mode & 0x06) == 0 ? 0 : std::size_t{1} << (2 * ((mode >> 1) & 3));
    MemoryBudget budget(limit);
    {
        CheckingSink sink(want);
        HttpConnectionContext context;
        context.scheme = "https";
        HttpLimits limits;
        limits.maxStreams = 16;  // reached by short inputs too
        limits.maxPipelined = 8;
        auto connection = HttpConnection::Create(budget, sink, context, limits);
        if (connection) {
            if ((mode & 1) != 0)
                connection->SetAlpn("h2");
            bool live = true;
            while (live && size >= 3) {
                const Direction direction =
                    (data[0] & 1) != 0 ? Direction::ToClient : Direction::ToServer;
                const bool fin = (data[0] & 2) != 0;
                std::size_t length = (static_cast<std::size_t>(data[1]) << 8) | data[2];
                data += 3;
                size -= 3;
                if (length > size)
                    length = size;
                if (fin) {
                    connection->OnFinished(direction);
                } else {
                    live = connection->OnData(direction, data, length);
                    data += length;
                    size -= length;
                }
            }
            connection->OnEnd(live ? TcpEndReason::Closed : TcpEndReason::Declined);
        }
    }
    if (budget.Used() != 0 || budget.Peak() > limit)
        std::abort();
    return 0;
}
