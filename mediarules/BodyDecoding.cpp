#include "mediarules/BodyDecoding.h"

#include <brotli/decode.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "base/Text.h"

namespace {

// Output grows in steps of this much, never past the bound.
constexpr std::size_t kStep = 64 << 10;
// The largest window a zstd frame may ask for: HTTP's zstd coding limits it to 8 MiB, and a
// larger one would let a few bytes of input reserve that much memory.
constexpr int kZstdWindowLogMax = 23;

enum class Coding { Gzip, Deflate, Brotli, Zstd };

struct Outcome {
    std::string bytes;
    bool cut = false;
    bool failed = false;  // corrupt before any output, or the library refused
};

// Appends room for up to one step of output; false when the bound is reached.
bool Grow(std::string& out, std::size_t maxBytes, std::size_t& used) {
    if (used >= maxBytes)
        return false;
    out.resize(used + std::min(kStep, maxBytes - used));
    return true;
}

Outcome Inflate(std::string_view in, std::size_t maxBytes, bool gzip) {
    Outcome result;
    z_stream stream{};
    int windowBits = 15;
    if (gzip) {
        windowBits += 16;
    } else if (in.size() < 2 || (static_cast<unsigned char>(in[0]) & 0x0F) != 8 ||
               (static_cast<unsigned char>(in[0]) >> 4) > 7 ||
               ((static_cast<unsigned>(static_cast<unsigned char>(in[0])) << 8) |
                static_cast<unsigned char>(in[1])) %
                       31 !=
                   0) {
        windowBits = -15;  // raw deflate, without the zlib wrapper
    }
    if (inflateInit2(&stream, windowBits) != Z_OK) {
        result.failed = true;
        return result;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    stream.avail_in = static_cast<uInt>(std::min<std::size_t>(in.size(), UINT32_MAX));
    std::size_t used = 0;
    for (;;) {
        if (used == result.bytes.size() && !Grow(result.bytes, maxBytes, used)) {
            result.cut = true;
            break;
        }
        stream.next_out = reinterpret_cast<Bytef*>(result.bytes.data() + used);
        stream.avail_out = static_cast<uInt>(result.bytes.size() - used);
        const int status = inflate(&stream, Z_NO_FLUSH);
        used = result.bytes.size() - stream.avail_out;
        if (status == Z_STREAM_END) {
            // A gzip body may hold several members; anything else after the end is ignored.
            if (gzip && stream.avail_in >= 2 && stream.next_in[0] == 0x1F &&
                stream.next_in[1] == 0x8B && inflateReset(&stream) == Z_OK) {
                continue;
            }
            break;
        }
        if (status == Z_OK)
            continue;
        if (status == Z_BUF_ERROR && stream.avail_out == 0)
            continue;
        // The input ended before the stream did (a prefix), or the stream is corrupt.
        result.cut = true;
        result.failed = status != Z_BUF_ERROR && used == 0;
        break;
    }
    inflateEnd(&stream);
    result.bytes.resize(used);
    return result;
}

Outcome Unbrotli(std::string_view in, std::size_t maxBytes) {
    Outcome result;
    std::unique_ptr<BrotliDecoderState, void (*)(BrotliDecoderState*)> state(
        BrotliDecoderCreateInstance(nullptr, nullptr, nullptr), BrotliDecoderDestroyInstance);
    if (!state) {
        result.failed = true;
        return result;
    }
    std::size_t availableIn = in.size();
    const std::uint8_t* nextIn = reinterpret_cast<const std::uint8_t*>(in.data());
    std::size_t used = 0;
    for (;;) {
        if (used == result.bytes.size() && !Grow(result.bytes, maxBytes, used)) {
            result.cut = true;
            break;
        }
        std::size_t availableOut = result.bytes.size() - used;
        std::uint8_t* nextOut = reinterpret_cast<std::uint8_t*>(result.bytes.data() + used);
        const BrotliDecoderResult status = BrotliDecoderDecompressStream(
            state.get(), &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
        used = result.bytes.size() - availableOut;
        if (status == BROTLI_DECODER_RESULT_SUCCESS)
            break;
        if (status == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT)
            continue;
        result.cut = true;
        result.failed = status == BROTLI_DECODER_RESULT_ERROR && used == 0;
        break;
    }
    result.bytes.resize(used);
    return result;
}

Outcome Unzstd(std::string_view in, std::size_t maxBytes) {
    Outcome result;
    std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> context(ZSTD_createDCtx(),
                                                                    ZSTD_freeDCtx);
    if (!context || ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax,
                                                        kZstdWindowLogMax))) {
        result.failed = true;
        return result;
    }
    ZSTD_inBuffer input{in.data(), in.size(), 0};
    std::size_t used = 0;
    for (;;) {
        if (used == result.bytes.size() && !Grow(result.bytes, maxBytes, used)) {
            result.cut = true;
            break;
        }
        ZSTD_outBuffer output{result.bytes.data(), result.bytes.size(), used};
        const std::size_t inputBefore = input.pos;
        const std::size_t status = ZSTD_decompressStream(context.get(), &output, &input);
        const bool progress = input.pos != inputBefore || output.pos != used;
        used = output.pos;
        if (ZSTD_isError(status) || !progress) {
            result.cut = true;
            result.failed = used == 0;
            break;
        }
        if (output.pos < output.size && input.pos == input.size) {
            // All input taken and the decoder had room left: done, or the input was cut short
            // (a frame not finished).
            result.cut = status != 0;
            break;
        }
    }
    result.bytes.resize(used);
    return result;
}

struct CodingName {
    std::string_view name;
    Coding coding;
};

constexpr CodingName kCodingNames[] = {
    {"gzip", Coding::Gzip}, {"x-gzip", Coding::Gzip}, {"deflate", Coding::Deflate},
    {"br", Coding::Brotli}, {"zstd", Coding::Zstd},
};

}  // namespace

std::optional<DecodedBody> DecodeContentCodings(std::string_view contentEncoding,
                                                std::string_view body, std::size_t maxBytes) {
    std::vector<Coding> codings;
    std::size_t start = 0;
    while (start <= contentEncoding.size()) {
        std::size_t end = contentEncoding.find(',', start);
        if (end == std::string_view::npos)
            end = contentEncoding.size();
        std::string_view token = contentEncoding.substr(start, end - start);
        while (!token.empty() && (token.front() == ' ' || token.front() == '\t'))
            token.remove_prefix(1);
        while (!token.empty() && (token.back() == ' ' || token.back() == '\t'))
            token.remove_suffix(1);
        start = end + 1;
        if (token.empty())
            continue;
        std::string name(token.substr(0, 16));
        for (char& c : name) c = LowerAscii(c);
        if (name == "identity")
            continue;
        const CodingName* found = nullptr;
        for (const CodingName& known : kCodingNames) {
            if (token.size() == known.name.size() && name == known.name)
                found = &known;
        }
        if (found == nullptr || codings.size() == kMaxContentCodings)
            return std::nullopt;
        codings.push_back(found->coding);
    }

    DecodedBody decoded;
    decoded.bytes.assign(body.substr(0, codings.empty() ? maxBytes : body.size()));
    decoded.cut = codings.empty() && body.size() > maxBytes;
    for (auto it = codings.rbegin(); it != codings.rend(); ++it) {
        Outcome stage;
        switch (*it) {
            case Coding::Gzip:
                stage = Inflate(decoded.bytes, maxBytes, true);
                break;
            case Coding::Deflate:
                stage = Inflate(decoded.bytes, maxBytes, false);
                break;
            case Coding::Brotli:
                stage = Unbrotli(decoded.bytes, maxBytes);
                break;
            case Coding::Zstd:
                stage = Unzstd(decoded.bytes, maxBytes);
                break;
        }
        if (stage.failed)
            return std::nullopt;
        decoded.bytes = std::move(stage.bytes);
        decoded.cut = decoded.cut || stage.cut;
    }
    return decoded;
}
