#include "packetrules/ConnectionAnswers.h"

#include <cstring>

std::size_t ConnectionAnswers::KeyHash::operator()(const ConnectionKey& key) const noexcept {
    std::uint64_t words[4];
    std::memcpy(words, key.client.bytes.data(), 16);
    std::memcpy(words + 2, key.server.bytes.data(), 16);
    std::uint64_t hash = (static_cast<std::uint64_t>(key.clientPort) << 16) | key.serverPort;
    for (const std::uint64_t word : words) {
        hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
        hash ^= hash >> 29;
    }
    return static_cast<std::size_t>(hash);
}

void ConnectionAnswers::EraseOldest() {
    Entry& oldest = m_order.front();
    if (oldest.awaitingBody)
        --m_awaitingBody;
    m_bytes -= oldest.bytes;
    m_index.erase(oldest.key);
    m_order.pop_front();
}

void ConnectionAnswers::Remember(const ConnectionKey& key, bool awaitingBody, std::int64_t now,
                                 const PendingRequest& request, std::string_view lengthText) {
    while (!m_order.empty() && now - m_order.front().answer.timeAdded > kExpirySeconds) {
        EraseOldest();
    }
    Order::iterator entry;
    if (const auto found = m_index.find(key); found != m_index.end()) {
        entry = found->second;
        if (entry->awaitingBody)
            --m_awaitingBody;
        m_order.splice(m_order.end(), m_order, entry);
    } else {
        if (m_order.size() >= kMaxConnections) {
            // The oldest entry's node and buffers are reused for the new connection.
            Entry& oldest = m_order.front();
            if (oldest.awaitingBody)
                --m_awaitingBody;
            m_index.erase(oldest.key);
            m_order.splice(m_order.end(), m_order, m_order.begin());
        } else {
            m_order.emplace_back();
        }
        entry = std::prev(m_order.end());
        entry->key = key;
        m_index.emplace(key, entry);
    }
    entry->awaitingBody = awaitingBody;
    if (awaitingBody)
        ++m_awaitingBody;
    entry->answer.timeAdded = now;
    entry->answer.request = request;
    entry->answer.lengthText.assign(lengthText);
    m_bytes -= entry->bytes;
    entry->bytes = entry->answer.request.Bytes() + entry->answer.lengthText.capacity();
    m_bytes += entry->bytes;
    while (m_bytes > kMaxBytes && &m_order.front() != &*entry) EraseOldest();
}

const RememberedAnswer* ConnectionAnswers::Find(const ConnectionKey& key) const {
    const auto found = m_index.find(key);
    return found == m_index.end() ? nullptr : &found->second->answer;
}

const RememberedAnswer* ConnectionAnswers::TakeFirstBody(const ConnectionKey& key) {
    const auto found = m_index.find(key);
    if (found == m_index.end() || !found->second->awaitingBody)
        return nullptr;
    found->second->awaitingBody = false;
    --m_awaitingBody;
    return &found->second->answer;
}

void ConnectionAnswers::Clear() {
    m_index.clear();
    m_order.clear();
    m_awaitingBody = 0;
    m_bytes = 0;
}
