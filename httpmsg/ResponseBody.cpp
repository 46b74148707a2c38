#include "httpmsg/ResponseBody.h"

#include <algorithm>
#include <utility>

#include "httpmsg/HttpText.h"

bool ResponseBody::Begin(HttpExchangeSink& sink, HttpExchange exchange, bool hasBody) {
    if (!m_exchangeHold.Resize(ExchangeCost(exchange)))
        return false;
    m_sink = &sink;
    m_exchange = std::move(exchange);
    m_want = sink.OnResponseHead(m_exchange);
    m_waiting = m_want > 0;
    if (!hasBody)
        End(true);
    return true;
}

void ResponseBody::Add(const std::uint8_t* data, std::size_t size) {
    if (!m_waiting || size == 0)
        return;
    if (m_body.size() == m_want) {
        Deliver(false);  // the body goes on past the prefix asked for
        return;
    }
    const std::size_t take = std::min(size, m_want - m_body.size());
    const std::size_t needed = m_body.size() + take;
    if (needed > m_body.capacity()) {
        const std::size_t grown = std::max<std::size_t>(
            needed, std::min(m_want, std::max<std::size_t>(2 * m_body.capacity(), 4096)));
        if (!m_bodyHold.Resize(grown)) {
            Deliver(false);  // what arrived, rather than more than the budget allows
            return;
        }
        m_body.reserve(grown);
    }
    m_body.append(reinterpret_cast<const char*>(data), take);
    if (take < size)
        Deliver(false);
}

void ResponseBody::End(bool complete) {
    if (m_waiting)
        Deliver(complete);
}

void ResponseBody::Deliver(bool complete) {
    m_waiting = false;
    m_sink->OnResponseBody(m_exchange, m_body, complete);
    std::string().swap(m_body);
    m_bodyHold.Resize(0);
}
