// One response whose head went to the sink, and the prefix of its body that the sink asked
// for, collected within the memory budget and handed over once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "httpmsg/HttpExchange.h"
#include "tcp/BudgetHold.h"

class ResponseBody {
public:
    explicit ResponseBody(MemoryBudget& budget) : m_exchangeHold(budget), m_bodyHold(budget) {}
    ResponseBody(ResponseBody&&) = default;
    ResponseBody& operator=(ResponseBody&&) = default;

    // Takes the exchange's memory from the budget (false, telling nobody, when it refuses),
    // then tells the sink of the head. A response without a body ends there.
    bool Begin(HttpExchangeSink& sink, HttpExchange exchange, bool hasBody);
    // The next body bytes, framing removed.
    void Add(const std::uint8_t* data, std::size_t size);
    // The body ended (`complete`), or the stream or connection ended before it did.
    void End(bool complete);

    const HttpExchange& Exchange() const { return m_exchange; }

private:
    void Deliver(bool complete);

    HttpExchangeSink* m_sink = nullptr;
    HttpExchange m_exchange;
    BudgetHold m_exchangeHold;
    BudgetHold m_bodyHold;
    std::string m_body;
    std::size_t m_want = 0;
    bool m_waiting = false;  // the sink asked for bytes and has not had them yet
};
