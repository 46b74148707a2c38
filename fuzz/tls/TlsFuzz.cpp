// TLS decryption over arbitrary bytes: both directions of one connection, in any pieces, with a
// key log that holds every secret for two fixed client randoms (32-byte and 48-byte TLS 1.3
// secrets, TLS 1.2 master secrets), so that made-up hellos reach key derivation and record
// decryption; inputs may bring key log text of their own (the seeds carry real traffic with
// its real keys), given at once or only after every record. Checks that the budget is whole
// again once the connection is gone.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "TlsFuzzInput.h"
#include "tls/TlsConnection.h"

namespace {

std::string FixedKeyLog() {
    static const char* const labels13[] = {
        "CLIENT_EARLY_TRAFFIC_SECRET", "CLIENT_HANDSHAKE_TRAFFIC_SECRET",
        "SERVER_HANDSHAKE_TRAFFIC_SECRET", "CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"};
    std::string text;
    for (int random = 0; random < 2; ++random) {
        std::string randomHex;
        char hex[3];
        for (int i = 0; i < 32; ++i) {
            std::snprintf(hex, sizeof hex, "%02x", random * 32 + i);
            randomHex += hex;
        }
        const std::size_t secretBytes = random == 0 ? 32 : 48;
        auto secret = [&](int seed, std::size_t bytes) {
            std::string value;
            for (std::size_t i = 0; i < bytes; ++i) {
                std::snprintf(hex, sizeof hex, "%02x",
                              static_cast<unsigned>((seed * 37 + i) & 0xFF));
                value += hex;
            }
            return value;
        };
        text += "CLIENT_RANDOM " + randomHex + " " + secret(random, 48) + "\n";
        for (int label = 0; label < 5; ++label)
            text += std::string(labels13[label]) + " " + randomHex + " " +
                    secret(10 + label, secretBytes) + "\n";
    }
    return text;
}

struct Sink : TlsPlaintextSink {
    std::uint8_t sum = 0;
    void OnPlaintext(Direction, const std::uint8_t* data, std::size_t size) override {
        for (std::size_t i = 0; i < size; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
    }
};

std::uint8_t s_sum = 0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string fixedKeys = FixedKeyLog();
    if (size < 1)
        return 0;
    const std::uint8_t options = data[0];
    ++data;
    --size;
    std::string text;
    if (options & kFuzzKeyLogText) {
        if (size < 2)
            return 0;
        const std::size_t length =
            std::min<std::size_t>(static_cast<std::size_t>(data[0]) << 8 | data[1], size - 2);
        text.assign(reinterpret_cast<const char*>(data + 2), length);
        data += 2 + length;
        size -= 2 + length;
    }
    KeyLog keyLog;
    const bool late = options & kFuzzLateKeys;
    if (!late) {
        keyLog.AddText(fixedKeys);
        keyLog.AddText(text);
    }
    // A small budget and bound, so that inputs reach them.
    MemoryBudget budget(256u << 10);
    Sink sink;
    {
        TlsConnection connection(keyLog, budget, sink, TlsConnectionLimits{64u << 10});
        while (size >= 2) {
            const std::size_t header = static_cast<std::size_t>(data[0]) << 8 | data[1];
            data += 2;
            size -= 2;
            const std::size_t length = std::min(header & kFuzzMaxChunk, size);
            if (length == 0) {
                connection.KeysChanged();
                continue;
            }
            // Each piece in its own allocation, so that a read past it is caught.
            const std::string piece(reinterpret_cast<const char*>(data), length);
            connection.Feed(header & 0x8000 ? Direction::ToClient : Direction::ToServer,
                            reinterpret_cast<const std::uint8_t*>(piece.data()), length);
            data += length;
            size -= length;
        }
        if (late) {
            keyLog.AddText(fixedKeys);
            keyLog.AddText(text);
            connection.KeysChanged();
        }
        (void)connection.State();
    }
    if (budget.Used() != 0)
        __builtin_trap();
    s_sum = static_cast<std::uint8_t>(s_sum + sink.sum);
    return 0;
}
