// One response whose head went to the sink, the prefix of its body that the sink asked for,
// collected within the memory budget and handed over once, and the receiver of its whole body
// when the sink took one (HttpExchangeSink::OnResponseStart, OnResponsePrefix): every body byte
// is handed to it as it arrives, never held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "httpmsg/HttpExchange.h"
#include "tcp/BudgetHold.h"

class ResponseBody {
public:
    // What the budget holds for a receiver (the sink's object, whose size this side does not
    // know): the spool's is far smaller.
    static constexpr std::size_t kReceiverCost = 256;

    explicit ResponseBody(MemoryBudget& budget) : m_exchangeHold(budget), m_bodyHold(budget) {}
    ResponseBody(ResponseBody&&) = default;
    ResponseBody& operator=(ResponseBody&&) = default;
    // A receiver still open is told that its body ended short (the connection was given up).
    ~ResponseBody();

    // Takes the exchange's memory from the budget (false, telling nobody, when it refuses),
    // then tells the sink of the head. A response without a body ends there.
    bool Begin(HttpExchangeSink& sink, HttpExchange exchange, bool hasBody);
    // The next body bytes, framing removed.
    void Add(const std::uint8_t* data, std::size_t size);
    // The body ended (`complete`), or the stream or connection ended before it did.
    void End(bool complete);

    const HttpExchange& Exchange() const { return m_exchange; }

private:
    // Hands the prefix over; `rest` (at the body's offset `restAt`) is what follows it in the
    // bytes at hand, for a receiver the sink may give now.
    void Deliver(bool complete, std::uint64_t restAt = 0, const std::uint8_t* rest = nullptr,
                 std::size_t restSize = 0);
    void Adopt(std::unique_ptr<HttpBodyReceiver> receiver);

    HttpExchangeSink* m_sink = nullptr;
    HttpExchange m_exchange;
    BudgetHold m_exchangeHold;
    BudgetHold m_bodyHold;
    std::string m_body;
    std::size_t m_want = 0;
    bool m_waiting = false;  // the sink asked for bytes and has not had them yet
    std::unique_ptr<HttpBodyReceiver> m_receiver;
    std::uint64_t m_offset = 0;  // body bytes seen
};
