#include "streams/TlsSighting.h"

namespace {

// Port 443 as PacketView holds ports: in network order, as captured.
bool IsHttpsPort(std::uint16_t captured) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&captured);
    return bytes[0] == 0x01 && bytes[1] == 0xBB;
}

// A TLS record header of application data: type 23, version 3.1 to 3.4, a length that TLS
// allows (2^14 plus the most any cipher adds).
bool StartsApplicationData(const PacketView& packet) {
    if (packet.payload == nullptr || packet.rawLength < 5)
        return false;
    const std::uint8_t* at = packet.payload;
    const std::size_t length = static_cast<std::size_t>(at[3]) << 8 | at[4];
    return at[0] == 23 && at[1] == 3 && at[2] >= 1 && at[2] <= 4 && length > 0 &&
           length <= (1u << 14) + 2048;
}

}  // namespace

bool TlsSighting::Handle(const PacketView& packet) {
    if (m_seen || packet.wireLength == 0 || !IsHttpsPort(packet.sourcePort))
        return false;
    Connection* found = nullptr;
    Connection* oldest = &m_connections[0];
    for (Connection& c : m_connections) {
        if (c.lastUse != 0 && c.clientPort == packet.destinationPort &&
            c.server == packet.sourceAddress && c.client == packet.destinationAddress) {
            found = &c;
            break;
        }
        if (c.lastUse < oldest->lastUse)
            oldest = &c;
    }
    if (found == nullptr) {
        if (!StartsApplicationData(packet))
            return false;
        found = oldest;
        *found = Connection{packet.sourceAddress, packet.destinationAddress, packet.destinationPort,
                            0, 0};
    }
    found->lastUse = ++m_clock;
    found->bytes += packet.wireLength;
    if (found->bytes <= kMediaSizedBytes)
        return false;
    m_seen = true;
    return true;
}
