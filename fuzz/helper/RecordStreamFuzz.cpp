// The record stream's decoder on hostile bytes, in both directions, fed in pieces whose size
// the input chooses: it reads nothing out of bounds, and every message it takes is one that
// the encoder writes again and that decodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "helper/RecordStream.h"

namespace {

std::string Encoded(const StreamMessage& message) {
    std::string frame;
    if (!EncodeMessage(message, frame))
        std::abort();  // the decoder took what the encoder refuses
    return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const auto direction =
        (data[0] & 1) != 0 ? StreamDirection::FromHelper : StreamDirection::ToHelper;
    // Most inputs get a good header, so that the frames behind it are reached.
    std::string stream = (data[0] & 2) != 0 ? std::string() : RecordStreamHeader();
    const std::size_t piece = std::size_t{data[1]} + 1;
    stream.append(reinterpret_cast<const char*>(data + 2), size - 2);

    RecordStreamDecoder decoder(direction);
    StreamMessage message;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        decoder.Feed(std::string_view(stream).substr(at, piece));
        RecordStreamDecoder::Status status;
        while ((status = decoder.Next(message)) == RecordStreamDecoder::Status::Message) {
            const std::string frame = Encoded(message);
            RecordStreamDecoder again(direction);
            again.Feed(RecordStreamHeader() + frame);
            StreamMessage copy;
            if (again.Next(copy) != RecordStreamDecoder::Status::Message ||
                Encoded(copy) != frame || copy.index() != message.index()) {
                std::abort();
            }
        }
        if (status == RecordStreamDecoder::Status::Failed)
            return 0;
    }
    return 0;
}
