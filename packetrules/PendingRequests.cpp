#include "packetrules/PendingRequests.h"

#include <chrono>
#include <utility>

void PendingRequest::Clear() {
    sourceAddress = {};
    destinationAddress = {};
    sourcePort = 0;
    destinationPort = 0;
    host.clear();
    path.clear();
    requestHeaders.clear();
    timeAdded = 0;
}

std::int64_t MonotonicSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::list<PendingRequest>::iterator PendingRequestList::Erase(
    std::list<PendingRequest>::iterator entry) {
    m_bytes -= entry->Bytes();
    return m_entries.erase(entry);
}

void PendingRequestList::AddPendingRequest(PendingRequest entry, std::int64_t now) {
    // The whole list is walked: entries are in insertion order, but a clock supplied by a
    // capture file may run backwards, so a young entry does not prove the rest are young.
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (now - it->timeAdded > kExpirySeconds) {
            it = Erase(it);
        } else {
            ++it;
        }
    }
    const std::size_t bytes = entry.Bytes();
    while (!m_entries.empty() && (m_entries.size() >= kMaxEntries || m_bytes + bytes > kMaxBytes)) {
        Erase(m_entries.begin());
    }
    entry.timeAdded = now;
    m_entries.push_back(std::move(entry));
    m_bytes += bytes;
}

bool PendingRequestList::TakePendingRequest(const IpAddress& clientAddress,
                                            const IpAddress& serverAddress,
                                            std::uint16_t clientPort, std::uint16_t serverPort,
                                            PendingRequest& out) {
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        if (it->sourceAddress == clientAddress && it->destinationAddress == serverAddress &&
            it->sourcePort == clientPort && it->destinationPort == serverPort) {
            m_bytes -= it->Bytes();
            out = std::move(*it);
            m_entries.erase(it);
            return true;
        }
    }
    out.Clear();
    return false;
}
