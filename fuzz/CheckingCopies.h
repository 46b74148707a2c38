// A copy sink for the fuzz targets of the stream engine that checks the receivers' contract
// (httpmsg/HttpExchange.h) whatever the protocol: pieces in order from the first byte without
// gaps, one end, nothing after it, every receiver ended before it goes. A breach aborts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>

#include "mediarules/MediaCopySink.h"

class CheckingReceiver final : public HttpBodyReceiver {
public:
    explicit CheckingReceiver(std::uint64_t& open) : m_open(open) { ++m_open; }
    ~CheckingReceiver() override {
        if (!m_ended)
            std::abort();  // the HTTP layer lets a body go without its end
        --m_open;
    }
    void OnBodyBytes(std::uint64_t offset, const std::uint8_t* data, std::size_t size) override {
        if (m_ended || offset != m_next || size == 0 || data == nullptr)
            std::abort();
        m_next += size;
    }
    void OnBodyEnd(bool) override {
        if (m_ended)
            std::abort();
        m_ended = true;
    }

private:
    std::uint64_t& m_open;
    std::uint64_t m_next = 0;
    bool m_ended = false;
};

class CheckingCopies final : public MediaCopySink {
public:
    FileBody OpenFileBody(const MediaFileKey& key, std::uint64_t, bool, bool) override {
        if (key.url.rfind("http", 0) != 0)
            std::abort();
        return {++m_ids, std::make_unique<CheckingReceiver>(m_open)};
    }
    FileBody JoinFileBody(const MediaFileKey& key, std::uint64_t start, bool coded) override {
        return OpenFileBody(key, start, true, coded);
    }
    std::uint64_t OpenStream(std::string_view, StreamKind) override { return ++m_ids; }
    void KeepPlaylist(std::uint64_t id, std::string_view, std::string_view,
                      const StreamPlaylist&) override {
        if (id == 0 || id > m_ids)
            std::abort();
    }
    std::unique_ptr<HttpBodyReceiver> OpenStreamBody(std::uint64_t id, std::string_view,
                                                     StreamPartRole, std::string_view,
                                                     std::uint64_t, std::optional<std::uint64_t>,
                                                     bool, bool) override {
        if (id == 0 || id > m_ids)
            std::abort();
        return std::make_unique<CheckingReceiver>(m_open);
    }
    std::uint64_t Open() const { return m_open; }

private:
    std::uint64_t m_ids = 0;
    std::uint64_t m_open = 0;
};
