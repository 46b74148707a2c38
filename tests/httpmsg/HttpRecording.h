// Records what the HTTP layer hands to its sink, one line per call, and feeds conversations to
// it whole, one byte at a time, or cut at random places.
#pragma once

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "httpmsg/HttpConnection.h"

class RecordingExchangeSink : public HttpExchangeSink {
    class WholeBody final : public HttpBodyReceiver {
    public:
        WholeBody(std::vector<std::string>& lines, std::string target)
            : m_lines(lines), m_target(std::move(target)) {}
        ~WholeBody() override {
            if (!m_ended)
                m_lines.push_back("whole " + m_target + " never ended");
        }
        void OnBodyBytes(std::uint64_t offset, const std::uint8_t* data,
                         std::size_t size) override {
            if (m_ended) {
                m_lines.push_back("whole " + m_target + " after end");
                return;
            }
            if (offset != m_body.size())
                m_faults += " gap";
            m_body.append(reinterpret_cast<const char*>(data), size);
        }
        void OnBodyEnd(bool complete) override {
            if (m_ended) {
                m_lines.push_back("whole " + m_target + " after end");
                return;
            }
            m_ended = true;
            m_lines.push_back("whole " + m_target + " [" + m_body + "]" +
                              (complete ? " complete" : " partial") + m_faults);
        }

    private:
        std::vector<std::string>& m_lines;
        std::string m_target;
        std::string m_body;
        std::string m_faults;
        bool m_ended = false;
    };

public:
    std::size_t OnResponseHead(const HttpExchange& exchange) override {
        std::string line = "head " + exchange.request.method + " " + exchange.request.scheme +
                           "://" + exchange.request.authority + exchange.request.target + " " +
                           std::to_string(exchange.response.status);
        if (exchange.contentLength)
            line += " length " + std::to_string(*exchange.contentLength);
        if (exchange.http2 || exchange.http3)
            line += " stream " + std::to_string(exchange.streamId);
        lines.push_back(line);
        exchanges.push_back(exchange);
        return want;
    }
    void OnResponseBody(const HttpExchange& exchange, std::string_view body,
                        bool complete) override {
        lines.push_back("body " + exchange.request.target + " [" + std::string(body) + "]" +
                        (complete ? " complete" : " partial"));
    }
    // With `whole`, every body also goes to a receiver from the start, which adds one line at
    // its end: "whole TARGET [BYTES] complete|partial", with "gap" for a piece that did not
    // start where the last one ended, "after end" for bytes or an end past the first end, and
    // "never ended" for a receiver let go without its end.
    BodyRequest OnResponseStart(const HttpExchange& exchange) override {
        const std::size_t prefix = OnResponseHead(exchange);
        if (!whole)
            return {prefix, nullptr};
        return {prefix, std::make_unique<WholeBody>(lines, exchange.request.target)};
    }

    std::size_t want = 8;
    bool whole = false;
    std::vector<std::string> lines;
    std::vector<HttpExchange> exchanges;
};

struct Chunk {
    Direction direction;
    std::string bytes;
    bool fin = false;  // instead of bytes: the side sending in `direction` closes
};

inline Chunk Client(std::string bytes) {
    return {Direction::ToServer, std::move(bytes)};
}
inline Chunk Server(std::string bytes) {
    return {Direction::ToClient, std::move(bytes)};
}
inline Chunk ServerFin() {
    return {Direction::ToClient, "", true};
}

enum class Split { Whole, Bytes, Random };

struct Outcome {
    std::vector<std::string> lines;
    bool gaveUp = false;
};

// Feeds a conversation to a new HttpConnection and ends it; the budget must be whole again
// afterwards (checked by the caller through `budget`).
inline Outcome Converse(const std::vector<Chunk>& chunks, Split split, MemoryBudget& budget,
                        std::size_t want = 8, unsigned seed = 1, const HttpLimits& limits = {},
                        const char* alpn = nullptr) {
    RecordingExchangeSink sink;
    sink.want = want;
    Outcome outcome;
    {
        HttpConnectionContext context;
        context.scheme = "http";
        context.serverPort = 80;
        auto connection = HttpConnection::Create(budget, sink, context, limits);
        if (!connection) {
            outcome.gaveUp = true;
            return outcome;
        }
        if (alpn != nullptr)
            connection->SetAlpn(alpn);
        std::mt19937 random(seed);
        for (const Chunk& chunk : chunks) {
            if (outcome.gaveUp)
                break;
            if (chunk.fin) {
                connection->OnFinished(chunk.direction);
                continue;
            }
            const auto* data = reinterpret_cast<const std::uint8_t*>(chunk.bytes.data());
            std::size_t at = 0;
            while (at < chunk.bytes.size() && !outcome.gaveUp) {
                std::size_t size = chunk.bytes.size() - at;
                if (split == Split::Bytes)
                    size = 1;
                else if (split == Split::Random)
                    size = std::min<std::size_t>(size, 1 + random() % 40);
                outcome.gaveUp = !connection->OnData(chunk.direction, data + at, size);
                at += size;
            }
        }
        connection->OnEnd(outcome.gaveUp ? TcpEndReason::Declined : TcpEndReason::Closed);
    }
    outcome.lines = std::move(sink.lines);
    return outcome;
}
