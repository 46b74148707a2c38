// The HTTP/3 layer of the stream engine over arbitrary streams of a QUIC connection: request
// streams, control streams, QPACK encoder streams and streams of no use, in any pieces and
// order, resets among them, and budgets from 1 KiB up so that every allocation fails
// somewhere. The layout is in Http3FuzzInput.h.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Http3FuzzInput.h"
#include "httpmsg/Http3Connection.h"

namespace {

class CheckingSink : public HttpExchangeSink {
public:
    explicit CheckingSink(std::size_t want) : m_want(want) {}
    std::size_t OnResponseHead(const HttpExchange& exchange) override {
        if (exchange.response.status < 200 || exchange.response.status > 599 || !exchange.http3 ||
            exchange.streamId % 4 != 0 || exchange.request.headerBlock.empty()) {
            std::abort();
        }
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
        context.serverPort = 443;
        HttpLimits limits;
        if ((mode & 1) != 0) {
            // Reached by short inputs too.
            limits.maxHeldBytes = 256;
            limits.maxQpackDecoderBytes = 4096;
            limits.maxBlockedStreams = 2;
            limits.maxStreams = 12;
            limits.maxHeaderBytes = 512;
        }
        auto connection = Http3Connection::Create(budget, sink, context, limits);
        if (connection) {
            bool live = true;
            while (live && size >= 1) {
                const std::uint8_t record = data[0];
                const std::uint64_t id = kFuzzStreams[record & 0x0F];
                Direction direction =
                    (record & kFuzzToClient) != 0 ? Direction::ToClient : Direction::ToServer;
                if (id % 4 == 2 || id % 4 == 3) {
                    direction = id % 4 == 2 ? Direction::ToServer : Direction::ToClient;
                    if ((record & kFuzzWrongWay) != 0)
                        direction = Opposite(direction);
                }
                ++data;
                --size;
                if ((record & kFuzzReset) != 0) {
                    connection->OnStreamReset(id, direction);
                    continue;
                }
                if (size < 2)
                    break;
                std::size_t length = (static_cast<std::size_t>(data[0]) << 8) | data[1];
                data += 2;
                size -= 2;
                if (length > size)
                    length = size;
                live =
                    connection->OnStreamData(id, direction, data, length, (record & kFuzzFin) != 0);
                data += length;
                size -= length;
            }
            connection->OnEnd();
        }
    }
    if (budget.Used() != 0 || budget.Peak() > limit)
        std::abort();
    return 0;
}
