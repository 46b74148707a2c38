// Writes the seed inputs of http3_fuzz into the folder given: HTTP/3 conversations whose
// header blocks and encoder streams come from libnghttp3's QPACK encoder.
#include <cstdio>
#include <fstream>
#include <string>

#include "Http3FuzzInput.h"
#include "support/Http3Frames.h"

namespace {

constexpr std::uint8_t kLargeBudget = 0xF0;  // 32 MiB
constexpr std::uint8_t kWant64 = 0x06;
constexpr std::uint8_t kSmallLimits = 0x01;

h3::Fields Get(const std::string& path) {
    return {{":method", "GET"},
            {":scheme", "https"},
            {":authority", "media.test"},
            {":path", path},
            {"user-agent", "Mozilla/5.0 (X11; Linux x86_64) seed"},
            {"accept", "*/*"},
            {"cookie", "session=0123456789abcdef0123"}};
}

h3::Fields Ok(const std::string& length) {
    return {{":status", "200"}, {"content-type", "video/mp4"}, {"content-length", length}};
}

std::string Control(std::uint64_t capacity, std::uint64_t blocked) {
    return h3::VarInt(h3::kControlStream) + h3::Settings({{h3::kQpackMaxTableCapacity, capacity},
                                                          {h3::kQpackBlockedStreams, blocked}});
}

// Control streams, then the encoder and decoder streams' types.
void Open(std::string& input, bool encoders = true) {
    AppendFuzzStream(input, 2, false, Control(4096, 16), false);
    AppendFuzzStream(input, 3, true, Control(4096, 16), false);
    if (encoders) {
        AppendFuzzStream(input, 6, false, h3::VarInt(h3::kEncoderStream), false);
        AppendFuzzStream(input, 7, true, h3::VarInt(h3::kEncoderStream), false);
    }
    AppendFuzzStream(input, 10, false, h3::VarInt(h3::kDecoderStream), false);
    AppendFuzzStream(input, 11, true, h3::VarInt(h3::kDecoderStream), false);
}

std::string Exchange(std::uint8_t mode, std::size_t piece) {
    h3::Encoder client, server;
    std::string input(1, static_cast<char>(mode));
    Open(input);
    const std::string get = client.Headers(0, Get("/v/clip.mp4"));
    AppendFuzzStream(input, 6, false, client.EncoderStream(), false);
    AppendFuzzStream(input, 0, false, get, true, piece);
    const std::string head = server.Headers(0, Ok("1500"));
    AppendFuzzStream(input, 7, true, server.EncoderStream(), false);
    AppendFuzzStream(input, 0, true,
                     head + h3::Data(std::string(1000, 'a')) + h3::Frame(0x21, "grease") +
                         h3::Data(std::string(500, 'b')) + server.Headers(0, {{"x-trailer", "1"}}),
                     true, piece);
    return input;
}

std::string Interleaved() {
    h3::Encoder client, server;
    std::string input(1, static_cast<char>(kLargeBudget | kWant64));
    Open(input);
    for (const std::uint64_t id : {0, 4, 8}) {
        const std::string get = client.Headers(id, Get("/s" + std::to_string(id)));
        AppendFuzzStream(input, 6, false, client.EncoderStream(), false);
        AppendFuzzStream(input, id, false, get, true);
    }
    std::string heads[3];
    for (int i = 0; i < 3; ++i) heads[i] = server.Headers(4 * i, Ok("6"));
    AppendFuzzStream(input, 7, true, server.EncoderStream(), false);
    for (int i = 2; i >= 0; --i)
        AppendFuzzStream(input, 4 * i, true, heads[i] + h3::Data("abc"), false);
    for (int i = 0; i < 3; ++i) AppendFuzzStream(input, 4 * i, true, h3::Data("def"), true);
    return input;
}

// Blocks before the instructions they need, and before the SETTINGS; a reset, a GOAWAY.
std::string Waiting() {
    h3::Encoder client, server;
    std::string input(1, static_cast<char>(kLargeBudget | kWant64));
    AppendFuzzStream(input, 6, false, h3::VarInt(h3::kEncoderStream), false);
    const std::string one = client.Headers(0, Get("/one"));
    const std::string two = client.Headers(4, Get("/two"));
    AppendFuzzStream(input, 0, false, one, true);
    AppendFuzzStream(input, 4, false, two, true);
    AppendFuzzStream(input, 6, false, client.EncoderStream(), false);
    AppendFuzzStream(input, 3, true, Control(4096, 16), false);
    const std::string r1 = server.Headers(0, Ok("10"));
    const std::string r2 = server.Headers(4, Ok("10"));
    AppendFuzzStream(input, 4, true, r2 + h3::Data("01234"), false);
    AppendFuzzStream(input, 0, true, r1 + h3::Data("01234"), false);
    AppendFuzzStream(input, 2, false, Control(4096, 16), false);
    AppendFuzzStream(input, 7, true, h3::VarInt(h3::kEncoderStream) + server.EncoderStream(),
                     false);
    AppendFuzzReset(input, 4, true);
    AppendFuzzStream(input, 3, true, h3::GoAway(8), false);
    const std::string late = client.Headers(8, Get("/late"));
    AppendFuzzStream(input, 6, false, client.EncoderStream(), false);
    AppendFuzzStream(input, 8, false, late, true);
    AppendFuzzStream(input, 0, true, h3::Data("56789"), true);
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const std::pair<const char*, std::string> seeds[] = {
        {"exchange", Exchange(kLargeBudget | kWant64, 0xFFFF)},
        {"exchange-small-pieces", Exchange(kLargeBudget | 0x04, 7)},
        {"exchange-small-limits", Exchange(0x30 | kSmallLimits | 0x02, 0xFFFF)},
        {"interleaved", Interleaved()},
        {"waiting-reset-goaway", Waiting()},
    };
    for (const auto& [name, input] : seeds) {
        std::ofstream out(folder + "/" + name, std::ios::binary);
        out.write(input.data(), static_cast<std::streamsize>(input.size()));
        if (!out) {
            std::fprintf(stderr, "cannot write %s/%s\n", folder.c_str(), name);
            return 1;
        }
    }
    return 0;
}
