// One TCP connection's frames as a capture on the client's machine holds them: the opening
// handshake, each direction's bytes cut into segments whose acknowledgements follow the peer,
// and the closing FINs. For the stream engine's tests, benchmarks and fuzz seeds; built on the
// frame builder.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/FrameBuilder.h"
#include "tcp/Direction.h"

class TcpConversation {
public:
    using Frame = std::vector<std::uint8_t>;

    TcpConversation(IpAddress client, IpAddress server, std::uint16_t clientPort,
                    std::uint16_t serverPort = 443, std::uint32_t clientIsn = 1000,
                    std::uint32_t serverIsn = 0xFFFF0000u)
        : m_client(client), m_server(server), m_clientPort(clientPort), m_serverPort(serverPort) {
        m_isn[0] = clientIsn;
        m_isn[1] = serverIsn;
    }

    // A frame of `direction` carrying `size` bytes at stream offset `offset` (0 is the first
    // byte after the SYN), acknowledging what the peer sent so far.
    Frame Segment(Direction direction, std::uint64_t offset, const std::uint8_t* data,
                  std::size_t size, std::uint8_t flags = kTcpAck | 0x08) const {
        FrameLayout layout = Layout(direction);
        layout.sequence = static_cast<std::uint32_t>(m_isn[Index(direction)] + 1 + offset);
        layout.tcpFlags = flags;
        layout.payload.assign(reinterpret_cast<const char*>(data), size);
        return BuildFrame(layout);
    }

    // SYN, SYN-ACK, ACK.
    template <typename Emit>
    void Open(Emit&& emit) const {
        FrameLayout syn = Layout(Direction::ToServer);
        syn.sequence = m_isn[0];
        syn.acknowledgement = 0;
        syn.tcpFlags = kTcpSyn;
        emit(BuildFrame(syn));
        FrameLayout synAck = Layout(Direction::ToClient);
        synAck.sequence = m_isn[1];
        synAck.acknowledgement = m_isn[0] + 1;
        synAck.tcpFlags = kTcpSyn | kTcpAck;
        emit(BuildFrame(synAck));
        emit(Segment(Direction::ToServer, 0, nullptr, 0, kTcpAck));
    }

    // `size` bytes of `direction`, cut into segments of at most `segmentSize` bytes, each
    // followed by nothing (the acknowledgements ride on the peer's next data).
    template <typename Emit>
    void Send(Direction direction, const std::uint8_t* data, std::size_t size,
              std::size_t segmentSize, Emit&& emit) {
        const int side = Index(direction);
        for (std::size_t at = 0; at < size; at += segmentSize) {
            const std::size_t piece = std::min(segmentSize, size - at);
            emit(Segment(direction, m_sent[side], data + at, piece));
            m_sent[side] += piece;
        }
    }

    // FIN from the client, FIN-ACK from the server, the last ACK.
    template <typename Emit>
    void Close(Emit&& emit) {
        emit(Segment(Direction::ToServer, m_sent[0], nullptr, 0, kTcpFin | kTcpAck));
        ++m_finSent[0];
        emit(Segment(Direction::ToClient, m_sent[1], nullptr, 0, kTcpFin | kTcpAck));
        ++m_finSent[1];
        emit(Segment(Direction::ToServer, m_sent[0] + 1, nullptr, 0, kTcpAck));
    }

    std::uint64_t Sent(Direction direction) const { return m_sent[Index(direction)]; }

private:
    static int Index(Direction direction) { return static_cast<int>(direction); }

    FrameLayout Layout(Direction direction) const {
        FrameLayout layout;
        const bool toServer = direction == Direction::ToServer;
        layout.source = toServer ? m_client : m_server;
        layout.destination = toServer ? m_server : m_client;
        layout.sourcePort = toServer ? m_clientPort : m_serverPort;
        layout.destinationPort = toServer ? m_serverPort : m_clientPort;
        const int peer = 1 - Index(direction);
        layout.acknowledgement =
            static_cast<std::uint32_t>(m_isn[peer] + 1 + m_sent[peer] + m_finSent[peer]);
        return layout;
    }

    IpAddress m_client;
    IpAddress m_server;
    std::uint16_t m_clientPort;
    std::uint16_t m_serverPort;
    std::uint32_t m_isn[2];
    std::uint64_t m_sent[2] = {0, 0};
    std::uint32_t m_finSent[2] = {0, 0};
};
