#include "httpmsg/ResponseBody.h"

#include <algorithm>
#include <utility>

#include "httpmsg/HttpText.h"

ResponseBody::~ResponseBody() {
    if (m_receiver)
        m_receiver->OnBodyEnd(false);
}

bool ResponseBody::Begin(HttpExchangeSink& sink, HttpExchange exchange, bool hasBody) {
    if (!m_exchangeHold.Resize(ExchangeCost(exchange)))
        return false;
    m_sink = &sink;
    m_exchange = std::move(exchange);
    HttpExchangeSink::BodyRequest request = sink.OnResponseStart(m_exchange);
    m_want = request.prefix;
    m_waiting = m_want > 0;
    Adopt(std::move(request.receiver));
    if (!hasBody)
        End(true);
    return true;
}

void ResponseBody::Adopt(std::unique_ptr<HttpBodyReceiver> receiver) {
    if (!receiver || m_receiver)
        return;
    if (!m_exchangeHold.Grow(kReceiverCost)) {
        receiver->OnBodyEnd(false);  // its copy learns that it lacks this body
        return;
    }
    m_receiver = std::move(receiver);
}

void ResponseBody::Add(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return;
    const std::uint64_t at = m_offset;
    m_offset += size;
    if (m_receiver)
        m_receiver->OnBodyBytes(at, data, size);
    if (!m_waiting)
        return;
    if (m_body.size() == m_want) {
        Deliver(false, at, data, size);  // the body goes on past the prefix asked for
        return;
    }
    const std::size_t take = std::min(size, m_want - m_body.size());
    const std::size_t needed = m_body.size() + take;
    if (needed > m_body.capacity()) {
        const std::size_t grown = std::max<std::size_t>(
            needed, std::min(m_want, std::max<std::size_t>(2 * m_body.capacity(), 4096)));
        if (!m_bodyHold.Resize(grown)) {
            Deliver(false, at, data, size);  // what arrived, rather than more than the budget allows
            return;
        }
        m_body.reserve(grown);
    }
    m_body.append(reinterpret_cast<const char*>(data), take);
    if (take < size)
        Deliver(false, at + take, data + take, size - take);
}

void ResponseBody::End(bool complete) {
    if (m_waiting)
        Deliver(complete);
    if (m_receiver) {
        const std::unique_ptr<HttpBodyReceiver> receiver = std::move(m_receiver);
        m_exchangeHold.Shrink(kReceiverCost);
        receiver->OnBodyEnd(complete);
    }
}

void ResponseBody::Deliver(bool complete, std::uint64_t restAt, const std::uint8_t* rest,
                           std::size_t restSize) {
    m_waiting = false;
    std::unique_ptr<HttpBodyReceiver> receiver =
        m_sink->OnResponsePrefix(m_exchange, m_body, complete, rest != nullptr);
    std::string().swap(m_body);
    m_bodyHold.Resize(0);
    if (receiver && !m_receiver && rest != nullptr) {
        Adopt(std::move(receiver));
        if (m_receiver)
            m_receiver->OnBodyBytes(restAt, rest, restSize);
    } else if (receiver) {
        receiver->OnBodyEnd(false);  // not taken: it must not wait for bytes that never come
    }
}
