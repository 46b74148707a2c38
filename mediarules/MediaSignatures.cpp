#include "mediarules/MediaSignatures.h"

#include <algorithm>
#include <iterator>

namespace {

using Bytes = std::string_view;

std::uint8_t At(Bytes bytes, std::size_t i) {
    return static_cast<std::uint8_t>(bytes[i]);
}

std::uint32_t BigEndian32(Bytes bytes, std::size_t i) {
    return (std::uint32_t{At(bytes, i)} << 24) | (std::uint32_t{At(bytes, i + 1)} << 16) |
           (std::uint32_t{At(bytes, i + 2)} << 8) | At(bytes, i + 3);
}

bool Printable(Bytes bytes, std::size_t from, std::size_t count) {
    if (bytes.size() < from + count)
        return false;
    for (std::size_t i = from; i < from + count; ++i) {
        if (At(bytes, i) < 0x20 || At(bytes, i) > 0x7E)
            return false;
    }
    return true;
}

// --- ISO base media ---------------------------------------------------------------------------

// A box that holds a brand (ftyp, styp): a size that fits a short list of brands, and a
// printable major brand. Text that merely contains the four letters has a size of letters.
bool BrandBox(Bytes b) {
    if (b.size() < 12)
        return false;
    const std::uint32_t size = BigEndian32(b, 0);
    return size >= 16 && size <= 1024 && (size % 4) == 0 && Printable(b, 8, 4);
}

// A full box (version and flags after the type) of a sane size.
bool FullBox(Bytes b) {
    if (b.size() < 12)
        return false;
    const std::uint32_t size = BigEndian32(b, 0);
    return size >= 12 && At(b, 8) <= 1;
}

Container CheckFtyp(Bytes b) {
    return BrandBox(b) ? Container::Mp4 : Container::None;
}

Container CheckStyp(Bytes b) {
    return BrandBox(b) ? Container::Fragment : Container::None;
}

Container CheckMoof(Bytes b) {
    // A movie fragment opens with its header box.
    return b.size() >= 16 && BigEndian32(b, 0) >= 24 && b.substr(12, 4) == "mfhd"
               ? Container::Fragment
               : Container::None;
}

Container CheckFragmentFullBox(Bytes b) {
    return FullBox(b) ? Container::Fragment : Container::None;
}

// --- Matroska ---------------------------------------------------------------------------------

// An EBML variable-length integer at `i`: its length (1..8) and value without the marker bit.
struct Vint {
    std::size_t length = 0;
    std::uint64_t value = 0;
    bool allOnes = false;  // the reserved "unknown size" value
};

bool ReadVint(Bytes b, std::size_t i, Vint& out) {
    if (i >= b.size())
        return false;
    const std::uint8_t first = At(b, i);
    if (first == 0)
        return false;
    std::size_t length = 1;
    while ((first & (0x80 >> (length - 1))) == 0) ++length;
    if (i + length > b.size())
        return false;
    std::uint64_t value = first & (0xFF >> length);
    bool allOnes = value == (0xFFu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        value = (value << 8) | At(b, i + k);
        allOnes = allOnes && At(b, i + k) == 0xFF;
    }
    out = {length, value, allOnes};
    return true;
}

// The EBML header: its DocType says webm or matroska. A DocType past the bytes at hand leaves
// it Matroska; any other DocType is not media.
Container CheckEbml(Bytes b) {
    Vint headerSize;
    if (!ReadVint(b, 4, headerSize) || headerSize.allOnes)
        return Container::None;
    std::size_t i = 4 + headerSize.length;
    const std::size_t end =
        headerSize.value < b.size() - i ? i + static_cast<std::size_t>(headerSize.value) : b.size();
    // Elements of the header, each an ID (the marker kept) and a sized value.
    for (int elements = 0; i < end && elements < 32; ++elements) {
        const std::uint8_t first = At(b, i);
        const std::size_t idLength = first >= 0x80 ? 1 : first >= 0x40 ? 2 : first >= 0x20 ? 3 : 4;
        if (first < 0x10 || i + idLength > end)
            break;
        std::uint32_t id = 0;
        for (std::size_t k = 0; k < idLength; ++k) id = (id << 8) | At(b, i + k);
        Vint size;
        if (!ReadVint(b, i + idLength, size) || size.allOnes)
            break;
        const std::size_t value = i + idLength + size.length;
        if (size.value > end - std::min(value, end))
            break;
        if (id == 0x4282) {  // DocType
            Bytes docType = b.substr(value, static_cast<std::size_t>(size.value));
            while (!docType.empty() && docType.back() == '\0') docType.remove_suffix(1);
            if (docType == "webm")
                return Container::Webm;
            if (docType == "matroska")
                return Container::Mkv;
            return Container::None;
        }
        i = value + static_cast<std::size_t>(size.value);
    }
    return Container::Mkv;
}

Container CheckCluster(Bytes b) {
    Vint size;
    return ReadVint(b, 4, size) ? Container::Fragment : Container::None;
}

// --- Other containers with a magic -------------------------------------------------------------

Container CheckOgg(Bytes b) {
    // Stream structure version 0 and a header type of known flags only.
    return b.size() >= 6 && At(b, 4) == 0 && At(b, 5) <= 7 ? Container::Ogg : Container::None;
}

Container CheckFlac(Bytes b) {
    // The first metadata block is always STREAMINFO, 34 bytes long.
    return b.size() >= 8 && (At(b, 4) & 0x7F) == 0 && At(b, 5) == 0 && At(b, 6) == 0 &&
                   At(b, 7) == 34
               ? Container::Flac
               : Container::None;
}

Container CheckWave(Bytes b) {
    return b.size() >= 12 && b.substr(8, 4) == "WAVE" ? Container::Wav : Container::None;
}

Container CheckTransportStream(Bytes b) {
    // Sync bytes 188 apart: at least three, and every one the bytes at hand reach.
    constexpr std::size_t kPacket = 188;
    if (b.size() < 2 * kPacket + 1)
        return Container::None;
    for (std::size_t i = 0; i < b.size(); i += kPacket) {
        if (At(b, i) != 0x47)
            return Container::None;
    }
    return Container::Ts;
}

// --- Audio frames ------------------------------------------------------------------------------

// The length of the MPEG audio frame whose header starts at `i`, 0 when it is no valid header.
// `reference` (when not 0) is the header of the frame before: version, layer and sampling rate
// must stay the same.
std::size_t MpegAudioFrameLength(Bytes b, std::size_t i, std::uint32_t* headerOut,
                                 std::uint32_t reference) {
    if (i + 4 > b.size())
        return 0;
    const std::uint32_t header = BigEndian32(b, i);
    if ((header & 0xFFE00000u) != 0xFFE00000u)
        return 0;
    const unsigned version = (header >> 19) & 3;  // 0 MPEG 2.5, 1 reserved, 2 MPEG 2, 3 MPEG 1
    const unsigned layer = (header >> 17) & 3;    // 0 reserved, 1 III, 2 II, 3 I
    const unsigned bitrateIndex = (header >> 12) & 15;
    const unsigned rateIndex = (header >> 10) & 3;
    const unsigned padding = (header >> 9) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3 ||
        (header & 3) == 2) {
        return 0;
    }
    if (reference != 0 && (header & 0xFFFE0C00u) != (reference & 0xFFFE0C00u))
        return 0;
    // Kilobits per second by [MPEG 1 layer I, II, III, MPEG 2 layer I, II and III][index].
    static constexpr std::uint16_t kBitrates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
    };
    static constexpr std::uint32_t kRates[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const unsigned row = mpeg1 ? 3 - layer : (layer == 3 ? 3 : 4);
    const std::uint32_t bitrate = kBitrates[row][bitrateIndex] * 1000u;
    const std::uint32_t rate = kRates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    std::size_t length = 0;
    if (layer == 3) {
        length = (12 * bitrate / rate + padding) * 4;
    } else {
        const std::uint32_t factor = (layer == 1 && !mpeg1) ? 72 : 144;
        length = factor * bitrate / rate + padding;
    }
    if (headerOut != nullptr)
        *headerOut = header;
    return length >= 4 ? length : 0;
}

// Two frames in a row whenever the bytes at hand reach the second header; one otherwise.
bool MpegAudioAt(Bytes b, std::size_t i) {
    std::uint32_t header = 0;
    const std::size_t length = MpegAudioFrameLength(b, i, &header, 0);
    if (length == 0)
        return false;
    if (i + length + 4 > b.size())
        return true;  // the next header lies past the bytes at hand
    return MpegAudioFrameLength(b, i + length, nullptr, header) != 0;
}

std::size_t AdtsFrameLength(Bytes b, std::size_t i, unsigned* rateOut, unsigned reference) {
    if (i + 7 > b.size())
        return 0;
    // Twelve sync bits, layer 00 (which MPEG audio never uses).
    if (At(b, i) != 0xFF || (At(b, i + 1) & 0xF6) != 0xF0)
        return 0;
    const unsigned rateIndex = (At(b, i + 2) >> 2) & 15;
    if (rateIndex > 12 || (reference != 16 && rateIndex != reference))
        return 0;
    const bool crc = (At(b, i + 1) & 1) == 0;
    const std::size_t length = (std::size_t{At(b, i + 3) & 3u} << 11) |
                               (std::size_t{At(b, i + 4)} << 3) | (At(b, i + 5) >> 5);
    if (length < (crc ? 9u : 7u))
        return 0;
    if (rateOut != nullptr)
        *rateOut = rateIndex;
    return length;
}

bool AdtsAt(Bytes b, std::size_t i) {
    unsigned rate = 0;
    const std::size_t length = AdtsFrameLength(b, i, &rate, 16);
    if (length == 0)
        return false;
    if (i + length + 7 > b.size())
        return true;
    return AdtsFrameLength(b, i + length, nullptr, rate) != 0;
}

Container CheckAdts(Bytes b) {
    return AdtsAt(b, 0) ? Container::Aac : Container::None;
}

Container CheckMpegAudio(Bytes b) {
    return MpegAudioAt(b, 0) ? Container::Mp3 : Container::None;
}

// An ID3 tag opens MP3 files, and also the packed audio segments of HLS, which carry the
// stream's timestamp in a PRIV frame: those are pieces of a stream. After the tag, ADTS frames
// make the file AAC; anything else stays MP3, as a body beginning "ID3" always was.
Container CheckId3(Bytes b) {
    constexpr std::string_view kHlsTimestampOwner = "com.apple.streaming.transportStreamTimestamp";
    if (b.size() < 10 || At(b, 3) < 2 || At(b, 3) > 4)
        return Container::Mp3;
    std::size_t tagSize = 0;
    for (std::size_t k = 6; k < 10; ++k) {
        if (At(b, k) >= 0x80)
            return Container::Mp3;
        tagSize = (tagSize << 7) | At(b, k);
    }
    const std::size_t audio = 10 + tagSize + ((At(b, 5) & 0x10) != 0 ? 10 : 0);
    if (b.substr(0, std::min(audio, b.size())).find(kHlsTimestampOwner) != Bytes::npos)
        return Container::Fragment;
    if (audio < b.size() && AdtsAt(b, audio))
        return Container::Aac;
    return Container::Mp3;
}

// --- The table ---------------------------------------------------------------------------------

struct Signature {
    std::size_t offset;              // where the magic stands
    std::string_view magic;          // exact bytes
    Container container;             // what the magic says when there is no check
    Container (*check)(Bytes body);  // looks further; None rejects the match
    bool anyType = false;            // media whatever the content type says
};

// The first entry whose magic matches and whose check accepts decides.
constexpr Signature kSignatures[] = {
    {0, "FLV", Container::Flv, nullptr, true},
    {0, "ID3", Container::Mp3, CheckId3, true},
    {4, "ftyp", Container::Mp4, CheckFtyp},
    {4, "styp", Container::Fragment, CheckStyp},
    {4, "moof", Container::Fragment, CheckMoof},
    {4, "sidx", Container::Fragment, CheckFragmentFullBox},
    {4, "emsg", Container::Fragment, CheckFragmentFullBox},
    {4, "prft", Container::Fragment, CheckFragmentFullBox},
    {0, "\x1A\x45\xDF\xA3", Container::Mkv, CheckEbml},
    {0, "\x1F\x43\xB6\x75", Container::Fragment, CheckCluster},
    {0, "OggS", Container::Ogg, CheckOgg},
    {0, "fLaC", Container::Flac, CheckFlac},
    {0, "RIFF", Container::Wav, CheckWave},
    {0, "RF64", Container::Wav, CheckWave},
    {0, "\x47", Container::Ts, CheckTransportStream},
    {0, "\xFF", Container::Aac, CheckAdts},
    {0, "\xFF", Container::Mp3, CheckMpegAudio},
};

struct ContainerText {
    Container container;
    std::string_view text;
};

constexpr ContainerText kContainerTexts[] = {
    {Container::Flv, "flv"},   {Container::Mp3, "mp3"}, {Container::Mp4, "mp4"},
    {Container::Webm, "webm"}, {Container::Mkv, "mkv"}, {Container::Ogg, "ogg"},
    {Container::Ts, "ts"},     {Container::Aac, "aac"}, {Container::Flac, "flac"},
    {Container::Wav, "wav"},
};

struct KnownType {
    std::string_view name;  // type/subtype, lower case
    ContentClass contentClass;
    Container container;
};

// Exact types first; then any other video/ or audio/ type counts as video or audio.
constexpr KnownType kContentTypes[] = {
    {"application/vnd.apple.mpegurl", ContentClass::Hls, Container::None},
    {"application/x-mpegurl", ContentClass::Hls, Container::None},
    {"application/mpegurl", ContentClass::Hls, Container::None},
    {"audio/mpegurl", ContentClass::Hls, Container::None},
    {"audio/x-mpegurl", ContentClass::Hls, Container::None},
    {"application/dash+xml", ContentClass::Dash, Container::None},
    {"video/vnd.mpeg.dash.mpd", ContentClass::Dash, Container::None},
    {"application/octet-stream", ContentClass::Generic, Container::None},
    {"binary/octet-stream", ContentClass::Generic, Container::None},
    {"text/plain", ContentClass::Text, Container::None},
    {"application/xml", ContentClass::Text, Container::None},
    {"text/xml", ContentClass::Text, Container::None},
    {"audio/x-scpls", ContentClass::Text, Container::None},
    {"video/mp4", ContentClass::Video, Container::Mp4},
    {"video/x-m4v", ContentClass::Video, Container::Mp4},
    {"video/x-flv", ContentClass::Video, Container::Flv},
    {"video/flv", ContentClass::Video, Container::Flv},
    {"video/webm", ContentClass::Video, Container::Webm},
    {"video/x-matroska", ContentClass::Video, Container::Mkv},
    {"video/ogg", ContentClass::Video, Container::Ogg},
    {"video/mp2t", ContentClass::Video, Container::Ts},
    {"audio/mp4", ContentClass::Audio, Container::Mp4},
    {"audio/x-m4a", ContentClass::Audio, Container::Mp4},
    {"audio/aac", ContentClass::Audio, Container::Aac},
    {"audio/aacp", ContentClass::Audio, Container::Aac},
    {"audio/x-aac", ContentClass::Audio, Container::Aac},
    {"audio/ogg", ContentClass::Audio, Container::Ogg},
    {"audio/opus", ContentClass::Audio, Container::Ogg},
    {"audio/webm", ContentClass::Audio, Container::Webm},
    {"audio/x-matroska", ContentClass::Audio, Container::Mkv},
    {"audio/flac", ContentClass::Audio, Container::Flac},
    {"audio/x-flac", ContentClass::Audio, Container::Flac},
    {"audio/wav", ContentClass::Audio, Container::Wav},
    {"audio/x-wav", ContentClass::Audio, Container::Wav},
    {"audio/wave", ContentClass::Audio, Container::Wav},
    {"audio/vnd.wave", ContentClass::Audio, Container::Wav},
    {"audio/mpeg", ContentClass::Audio, Container::Mp3},
    {"audio/mp3", ContentClass::Audio, Container::Mp3},
    {"audio/x-mpeg", ContentClass::Audio, Container::Mp3},
    {"audio/mp2t", ContentClass::Audio, Container::Ts},
};

constexpr std::string_view kSegmentOnlyExtensions[] = {".m4s", ".cmfv", ".cmfa", ".cmft"};
constexpr std::string_view kPlaylistExtensions[] = {".m3u8", ".m3u", ".mpd"};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The last segment of a path, without query or fragment, lower case.
std::string LastSegment(std::string_view path) {
    path = path.substr(0, path.find_first_of("?#"));
    const std::size_t slash = path.rfind('/');
    if (slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    std::string name(path.substr(0, 256));
    for (char& c : name) c = Lower(c);
    return name;
}

bool EndsWithAny(const std::string& name, const std::string_view* list, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view ext = list[i];
        if (name.size() > ext.size() &&
            name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
            return true;
    }
    return false;
}

}  // namespace

Container DetectContainer(std::string_view prefix, bool* anyType) {
    if (anyType != nullptr)
        *anyType = false;
    for (const Signature& signature : kSignatures) {
        if (prefix.size() < signature.offset + signature.magic.size() ||
            prefix.compare(signature.offset, signature.magic.size(), signature.magic) != 0) {
            continue;
        }
        const Container found =
            signature.check != nullptr ? signature.check(prefix) : signature.container;
        if (found != Container::None) {
            if (anyType != nullptr)
                *anyType = signature.anyType;
            return found;
        }
    }
    return Container::None;
}

std::string_view ContainerTypeText(Container container) {
    for (const ContainerText& entry : kContainerTexts) {
        if (entry.container == container)
            return entry.text;
    }
    return {};
}

ContentType ClassifyContentType(const std::string* headerValue) {
    ContentType result;
    if (headerValue == nullptr)
        return result;
    std::string_view value = *headerValue;
    value = value.substr(0, value.find(';'));
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (value.empty())
        return result;
    std::string name(value.substr(0, 128));
    for (char& c : name) c = Lower(c);
    result.contentClass = ContentClass::Other;
    for (const KnownType& known : kContentTypes) {
        if (name == known.name) {
            result.contentClass = known.contentClass;
            result.container = known.container;
            break;
        }
    }
    const std::string_view view = name;
    const bool video = view.substr(0, 6) == "video/";
    const bool audio = view.substr(0, 6) == "audio/";
    if (result.contentClass == ContentClass::Other && (video || audio))
        result.contentClass = video ? ContentClass::Video : ContentClass::Audio;
    if (video || audio) {
        for (const char c : view.substr(6)) {
            if (result.subtype.size() == 16)
                break;
            if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '+' ||
                c == '-') {
                result.subtype.push_back(c);
            }
        }
    }
    return result;
}

bool HasSegmentOnlyExtension(std::string_view path) {
    return EndsWithAny(LastSegment(path), kSegmentOnlyExtensions,
                       std::size(kSegmentOnlyExtensions));
}

bool HasPlaylistExtension(std::string_view path) {
    return EndsWithAny(LastSegment(path), kPlaylistExtensions, std::size(kPlaylistExtensions));
}
