// Which way bytes travel on a connection. The client is the side that opened it (sent the SYN),
// or, when the opening was not seen, this machine's side.
#pragma once

#include <cstdint>

enum class Direction : std::uint8_t { ToServer = 0, ToClient = 1 };

inline constexpr Direction Opposite(Direction direction) {
    return direction == Direction::ToServer ? Direction::ToClient : Direction::ToServer;
}
