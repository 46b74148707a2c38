#include "helper/RecordStream.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

namespace {

// Frame types. Commands stand apart so that neither side mistakes the other's messages for its
// own.
enum FrameType : std::uint8_t {
    kSessionOpened = 1,
    kSessionFailed = 2,
    kSessionsListed = 3,
    kMediaRecord = 4,
    kUrlIgnored = 5,
    kNotice = 6,
    kSessionStatistics = 7,
    kStreamEnd = 8,
    kIgnoreEntriesDropped = 9,
    kIgnoreCommand = 64,
    kStopCommand = 65,
    // Skippable from here on: a reader that does not know a type passes over its frame.
    kFirstSkippable = 128,
    kCopyChanged = 128,
    kDiscardCopyCommand = 192,
};

// Field tags of a media record.
enum MediaTag : std::uint8_t {
    kTagUrl = 1,
    kTagRequestHeaders = 2,
    kTagLengthText = 3,
    kTagTypeText = 4,
    kTagServerAddress = 5,
    kTagServerPort = 6,
    kTagValidator = 7,
    kTagKind = 8,
    kTagDetail = 9,
    kTagDuration = 10,
    kTagVariantUrl = 11,
    kTagRanged = 12,  // no bytes: present when the report is a range
    kTagCopyId = 13,
};

// Field tags of a copy's state.
enum CopyTag : std::uint8_t {
    kCopyTagId = 1,
    kCopyTagKind = 2,
    kCopyTagState = 3,
    kCopyTagStop = 4,
    kCopyTagName = 5,
    kCopyTagTotal = 6,
    kCopyTagKept = 7,
    kCopyTagParts = 8,
    kCopyTagWholeParts = 9,
    kCopyTagIntervals = 10,  // pairs of first and end, 16 bytes each
    kCopyTagIntervalsCut = 11,
};
// A copy's state: its fixed fields, a name the spool makes and its intervals.
constexpr std::size_t kCopyPayloadBytes = 256 + 16 * CopyStatus::kMaxIntervals;

constexpr std::size_t kStatisticsPayloadBytes = 4 + 1 + 3 * 8;

void PutU8(std::string& out, std::uint8_t value) {
    out.push_back(static_cast<char>(value));
}

void PutU16(std::string& out, std::uint16_t value) {
    PutU8(out, static_cast<std::uint8_t>(value >> 8));
    PutU8(out, static_cast<std::uint8_t>(value));
}

void PutU32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        PutU8(out, static_cast<std::uint8_t>(value >> shift));
}

void PutU64(std::string& out, std::uint64_t value) {
    for (int shift = 56; shift >= 0; shift -= 8)
        PutU8(out, static_cast<std::uint8_t>(value >> shift));
}

void PutText(std::string& out, std::string_view text) {
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    out.append(text);
}

void PutTagged(std::string& out, std::uint8_t tag, std::string_view bytes) {
    PutU8(out, tag);
    PutText(out, bytes);
}

void PutTaggedU64(std::string& out, std::uint8_t tag, std::uint64_t value) {
    std::string bytes;
    PutU64(bytes, value);
    PutTagged(out, tag, bytes);
}

std::uint32_t ReadU32(const char* at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = value << 8 | static_cast<std::uint8_t>(at[i]);
    return value;
}

// Reads the fields of one payload, every read checked against what is left.
class PayloadReader {
public:
    explicit PayloadReader(std::string_view payload) : m_rest(payload) {}

    bool U8(std::uint8_t& value) {
        if (m_rest.empty())
            return false;
        value = static_cast<std::uint8_t>(m_rest[0]);
        m_rest.remove_prefix(1);
        return true;
    }
    bool U32(std::uint32_t& value) {
        if (m_rest.size() < 4)
            return false;
        value = ReadU32(m_rest.data());
        m_rest.remove_prefix(4);
        return true;
    }
    bool U64(std::uint64_t& value) {
        if (m_rest.size() < 8)
            return false;
        value = 0;
        for (int i = 0; i < 8; ++i) value = value << 8 | static_cast<std::uint8_t>(m_rest[i]);
        m_rest.remove_prefix(8);
        return true;
    }
    // A length and that many bytes, the length at most kMaxTextBytes.
    bool Bytes(std::string_view& bytes) {
        std::uint32_t length = 0;
        if (!U32(length) || length > kMaxTextBytes || length > m_rest.size())
            return false;
        bytes = m_rest.substr(0, length);
        m_rest.remove_prefix(length);
        return true;
    }
    bool Text(std::string& text) {
        std::string_view bytes;
        if (!Bytes(bytes))
            return false;
        text.assign(bytes);
        return true;
    }
    bool Done() const { return m_rest.empty(); }

private:
    std::string_view m_rest;
};

bool TextFits(std::string_view text) {
    return text.size() <= kMaxTextBytes;
}

bool ReportFits(const MediaReport& r) {
    return TextFits(r.url) && TextFits(r.requestHeaders) && TextFits(r.lengthText) &&
           TextFits(r.typeText) && TextFits(r.validator) && TextFits(r.kind) &&
           TextFits(r.detail) && TextFits(r.variantUrl) && std::isfinite(r.durationSeconds) &&
           r.durationSeconds >= 0;
}

void EncodeMedia(const MediaRecord& record, std::string& payload) {
    const MediaReport& r = record.report;
    PutU32(payload, record.session);
    // Empty texts and zero numbers are left out: a reader takes a missing field as empty.
    const std::pair<MediaTag, const std::string*> texts[] = {
        {kTagUrl, &r.url},
        {kTagRequestHeaders, &r.requestHeaders},
        {kTagLengthText, &r.lengthText},
        {kTagTypeText, &r.typeText},
        {kTagValidator, &r.validator},
        {kTagKind, &r.kind},
        {kTagDetail, &r.detail},
        {kTagVariantUrl, &r.variantUrl},
    };
    static_assert(std::extent_v<decltype(texts)> == kMediaTexts, "kMaxPayloadBytes counts them");
    for (const auto& [tag, text] : texts) {
        if (!text->empty())
            PutTagged(payload, tag, *text);
    }
    if (r.serverAddress != IpAddress{}) {
        PutTagged(payload, kTagServerAddress,
                  std::string_view(reinterpret_cast<const char*>(r.serverAddress.bytes.data()),
                                   r.serverAddress.bytes.size()));
    }
    if (r.serverPort != 0) {
        std::string port;
        PutU16(port, r.serverPort);
        PutTagged(payload, kTagServerPort, port);
    }
    if (r.durationSeconds != 0) {
        std::string duration;
        PutU64(duration, std::bit_cast<std::uint64_t>(r.durationSeconds));
        PutTagged(payload, kTagDuration, duration);
    }
    if (r.ranged)
        PutTagged(payload, kTagRanged, {});
    if (r.copyId != 0)
        PutTaggedU64(payload, kTagCopyId, r.copyId);
}

// A tagged number of exactly 8 bytes.
bool TaggedU64(std::string_view bytes, std::uint64_t& value) {
    PayloadReader number(bytes);
    return bytes.size() == 8 && number.U64(value);
}

void EncodeCopy(const CopyStatus& c, std::string& payload) {
    PutTaggedU64(payload, kCopyTagId, c.id);
    PutTagged(payload, kCopyTagKind, std::string(1, static_cast<char>(c.kind)));
    PutTagged(payload, kCopyTagState, std::string(1, static_cast<char>(c.state)));
    if (c.stop != CopyStop::None)
        PutTagged(payload, kCopyTagStop, std::string(1, static_cast<char>(c.stop)));
    PutTagged(payload, kCopyTagName, c.name);
    if (c.total)
        PutTaggedU64(payload, kCopyTagTotal, *c.total);
    if (c.keptBytes != 0)
        PutTaggedU64(payload, kCopyTagKept, c.keptBytes);
    if (c.parts != 0)
        PutTaggedU64(payload, kCopyTagParts, c.parts);
    if (c.wholeParts != 0)
        PutTaggedU64(payload, kCopyTagWholeParts, c.wholeParts);
    if (!c.intervals.empty()) {
        std::string pairs;
        for (const CopyInterval& interval : c.intervals) {
            PutU64(pairs, interval.first);
            PutU64(pairs, interval.end);
        }
        PutTagged(payload, kCopyTagIntervals, pairs);
    }
    if (c.intervalsCut)
        PutTagged(payload, kCopyTagIntervalsCut, "");
}

// A name the spool makes: a letter and digits.
bool CopyName(std::string_view name) {
    if (name.size() < 2 || name.size() > 24 || (name[0] != 'f' && name[0] != 's'))
        return false;
    return name.find_first_not_of("0123456789", 1) == std::string_view::npos;
}

bool CopyFits(const CopyStatus& c) {
    if (c.id == 0 || !CopyName(c.name) || c.intervals.size() > CopyStatus::kMaxIntervals)
        return false;
    std::uint64_t at = 0;
    for (const CopyInterval& interval : c.intervals) {
        if (interval.end <= interval.first || interval.first < at)
            return false;
        at = interval.end;
    }
    return true;
}

bool DecodeCopy(PayloadReader& in, CopyStatus& c) {
    std::uint64_t seen = 0;
    while (!in.Done()) {
        std::uint8_t tag = 0;
        std::string_view bytes;
        if (!in.U8(tag) || !in.Bytes(bytes))
            return false;
        if (tag < 64) {
            if ((seen >> tag & 1) != 0)
                return false;
            seen |= std::uint64_t{1} << tag;
        }
        std::uint64_t number = 0;
        switch (tag) {
            case kCopyTagId:
                if (!TaggedU64(bytes, c.id))
                    return false;
                break;
            case kCopyTagKind:
            case kCopyTagState:
            case kCopyTagStop: {
                if (bytes.size() != 1)
                    return false;
                const auto value = static_cast<std::uint8_t>(bytes[0]);
                if (tag == kCopyTagKind) {
                    if (value < 1 || value > 2)
                        return false;
                    c.kind = static_cast<CopyKind>(value);
                } else if (tag == kCopyTagState) {
                    if (value < 1 || value > 6)
                        return false;
                    c.state = static_cast<CopyState>(value);
                } else {
                    if (value > 6)
                        return false;
                    c.stop = static_cast<CopyStop>(value);
                }
                break;
            }
            case kCopyTagName:
                c.name.assign(bytes);
                break;
            case kCopyTagTotal:
                if (!TaggedU64(bytes, number))
                    return false;
                c.total = number;
                break;
            case kCopyTagKept:
                if (!TaggedU64(bytes, c.keptBytes))
                    return false;
                break;
            case kCopyTagParts:
            case kCopyTagWholeParts:
                if (!TaggedU64(bytes, number) || number > UINT32_MAX)
                    return false;
                (tag == kCopyTagParts ? c.parts : c.wholeParts) =
                    static_cast<std::uint32_t>(number);
                break;
            case kCopyTagIntervals: {
                if (bytes.size() % 16 != 0 || bytes.size() / 16 > CopyStatus::kMaxIntervals)
                    return false;
                PayloadReader pairs(bytes);
                while (!pairs.Done()) {
                    CopyInterval interval;
                    if (!pairs.U64(interval.first) || !pairs.U64(interval.end))
                        return false;
                    c.intervals.push_back(interval);
                }
                break;
            }
            case kCopyTagIntervalsCut:
                c.intervalsCut = true;
                break;
            default:
                break;  // a field of a later version
        }
    }
    // The id, kind, state and name are always sent.
    constexpr std::uint64_t required = 1u << kCopyTagId | 1u << kCopyTagKind |
                                       1u << kCopyTagState | 1u << kCopyTagName;
    return (seen & required) == required && CopyFits(c) && c.wholeParts <= c.parts;
}

bool DecodeMedia(PayloadReader& in, MediaRecord& record) {
    if (!in.U32(record.session))
        return false;
    MediaReport& r = record.report;
    std::uint64_t seen = 0;
    while (!in.Done()) {
        std::uint8_t tag = 0;
        std::string_view bytes;
        if (!in.U8(tag) || !in.Bytes(bytes))
            return false;
        if (tag < 64) {
            if ((seen >> tag & 1) != 0)
                return false;  // a field twice
            seen |= std::uint64_t{1} << tag;
        }
        switch (tag) {
            case kTagUrl:
                r.url.assign(bytes);
                break;
            case kTagRequestHeaders:
                r.requestHeaders.assign(bytes);
                break;
            case kTagLengthText:
                r.lengthText.assign(bytes);
                break;
            case kTagTypeText:
                r.typeText.assign(bytes);
                break;
            case kTagValidator:
                r.validator.assign(bytes);
                break;
            case kTagKind:
                r.kind.assign(bytes);
                break;
            case kTagDetail:
                r.detail.assign(bytes);
                break;
            case kTagVariantUrl:
                r.variantUrl.assign(bytes);
                break;
            case kTagServerAddress:
                if (bytes.size() != r.serverAddress.bytes.size())
                    return false;
                std::memcpy(r.serverAddress.bytes.data(), bytes.data(), bytes.size());
                break;
            case kTagServerPort:
                if (bytes.size() != 2)
                    return false;
                r.serverPort = static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[0]) << 8 |
                                                          static_cast<std::uint8_t>(bytes[1]));
                break;
            case kTagCopyId:
                if (!TaggedU64(bytes, r.copyId))
                    return false;
                break;
            case kTagDuration: {
                PayloadReader number(bytes);
                std::uint64_t bits = 0;
                if (bytes.size() != 8 || !number.U64(bits))
                    return false;
                r.durationSeconds = std::bit_cast<double>(bits);
                if (!std::isfinite(r.durationSeconds) || r.durationSeconds < 0)
                    return false;
                break;
            }
            case kTagRanged:
                if (!bytes.empty())
                    return false;
                r.ranged = true;
                break;
            default:
                break;  // a field of a later version
        }
    }
    return true;
}

// Whether `direction` carries frames of `type`, and the largest payload such a frame may
// announce.
bool FrameAllowed(std::uint8_t type, StreamDirection direction, std::size_t& maxPayload) {
    const bool fromHelper = direction == StreamDirection::FromHelper;
    switch (type) {
        case kSessionOpened:
        case kSessionFailed:
        case kMediaRecord:
        case kUrlIgnored:
        case kNotice:
            maxPayload = kMaxPayloadBytes;
            return fromHelper;
        case kSessionStatistics:
            maxPayload = kStatisticsPayloadBytes;
            return fromHelper;
        case kIgnoreEntriesDropped:
            maxPayload = 8;
            return fromHelper;
        case kSessionsListed:
        case kStreamEnd:
            maxPayload = 0;
            return fromHelper;
        case kIgnoreCommand:
            maxPayload = 4 + 4 + kMaxTextBytes + 4;
            return !fromHelper;
        case kStopCommand:
            maxPayload = 0;
            return !fromHelper;
        case kCopyChanged:
            maxPayload = kCopyPayloadBytes;
            return fromHelper;
        case kDiscardCopyCommand:
            maxPayload = 8;
            return !fromHelper;
        default:
            return false;
    }
}

bool DecodePayload(std::uint8_t type, std::string_view payload, StreamMessage& message) {
    PayloadReader in(payload);
    bool ok = false;
    switch (type) {
        case kSessionOpened: {
            SessionOpened m;
            ok = in.U32(m.session) && in.Text(m.adapterName);
            message = std::move(m);
            break;
        }
        case kSessionFailed: {
            SessionFailed m;
            ok = in.U32(m.session) && in.Text(m.adapterName) && in.Text(m.errorText);
            message = std::move(m);
            break;
        }
        case kSessionsListed:
            ok = true;
            message = SessionsListed{};
            break;
        case kMediaRecord: {
            MediaRecord m;
            ok = DecodeMedia(in, m);
            message = std::move(m);
            break;
        }
        case kUrlIgnored: {
            UrlIgnored m;
            ok = in.U32(m.session) && in.Text(m.url);
            message = std::move(m);
            break;
        }
        case kIgnoreEntriesDropped: {
            IgnoreEntriesDropped m;
            ok = in.U32(m.session) && in.U32(m.count) && m.count >= 1;
            message = m;
            break;
        }
        case kNotice: {
            Notice m;
            ok = in.Text(m.text);
            message = std::move(m);
            break;
        }
        case kSessionStatistics: {
            SessionStatistics m;
            std::uint8_t known = 0;
            ok = in.U32(m.session) && in.U8(known) && known <= 1 && in.U64(m.statistics.received) &&
                 in.U64(m.statistics.droppedByKernel) && in.U64(m.statistics.droppedByInterface);
            m.statistics.known = known == 1;
            message = m;
            break;
        }
        case kStreamEnd:
            ok = true;
            message = StreamEnd{};
            break;
        case kIgnoreCommand: {
            IgnoreCommand m;
            ok = in.U32(m.session) && in.Text(m.url) && in.U32(m.count) && !m.url.empty() &&
                 m.count >= 1 && m.count <= kMaxIgnoreCount;
            message = std::move(m);
            break;
        }
        case kStopCommand:
            ok = true;
            message = StopCommand{};
            break;
        case kCopyChanged: {
            CopyChanged m;
            ok = DecodeCopy(in, m.status);
            message = std::move(m);
            break;
        }
        case kDiscardCopyCommand: {
            DiscardCopyCommand m;
            ok = in.U64(m.copyId) && m.copyId != 0;
            message = m;
            break;
        }
        default:
            return false;
    }
    return ok && in.Done();
}

template <typename... T>
struct Overloaded : T... {
    using T::operator()...;
};
template <typename... T>
Overloaded(T...) -> Overloaded<T...>;

}  // namespace

std::string RecordStreamHeader() {
    std::string header(kRecordStreamMagic.begin(), kRecordStreamMagic.end());
    PutU16(header, kRecordStreamVersion);
    PutU16(header, 0);
    return header;
}

void FitForRecordStream(MediaReport& report) {
    for (std::string* text :
         {&report.url, &report.requestHeaders, &report.lengthText, &report.typeText,
          &report.validator, &report.kind, &report.detail, &report.variantUrl}) {
        if (text->size() > kMaxTextBytes)
            text->resize(kMaxTextBytes);
    }
    if (!std::isfinite(report.durationSeconds) || report.durationSeconds < 0)
        report.durationSeconds = 0;
}

bool EncodeMessage(const StreamMessage& message, std::string& out) {
    std::string payload;
    std::uint8_t type = 0;
    const bool fits = std::visit(Overloaded{
                                     [&](const SessionOpened& m) {
                                         type = kSessionOpened;
                                         PutU32(payload, m.session);
                                         PutText(payload, m.adapterName);
                                         return TextFits(m.adapterName);
                                     },
                                     [&](const SessionFailed& m) {
                                         type = kSessionFailed;
                                         PutU32(payload, m.session);
                                         PutText(payload, m.adapterName);
                                         PutText(payload, m.errorText);
                                         return TextFits(m.adapterName) && TextFits(m.errorText);
                                     },
                                     [&](const SessionsListed&) {
                                         type = kSessionsListed;
                                         return true;
                                     },
                                     [&](const MediaRecord& m) {
                                         type = kMediaRecord;
                                         if (!ReportFits(m.report))
                                             return false;
                                         EncodeMedia(m, payload);
                                         return true;
                                     },
                                     [&](const UrlIgnored& m) {
                                         type = kUrlIgnored;
                                         PutU32(payload, m.session);
                                         PutText(payload, m.url);
                                         return TextFits(m.url);
                                     },
                                     [&](const IgnoreEntriesDropped& m) {
                                         type = kIgnoreEntriesDropped;
                                         PutU32(payload, m.session);
                                         PutU32(payload, m.count);
                                         return m.count >= 1;
                                     },
                                     [&](const Notice& m) {
                                         type = kNotice;
                                         PutText(payload, m.text);
                                         return TextFits(m.text);
                                     },
                                     [&](const SessionStatistics& m) {
                                         type = kSessionStatistics;
                                         PutU32(payload, m.session);
                                         PutU8(payload, m.statistics.known ? 1 : 0);
                                         PutU64(payload, m.statistics.received);
                                         PutU64(payload, m.statistics.droppedByKernel);
                                         PutU64(payload, m.statistics.droppedByInterface);
                                         return true;
                                     },
                                     [&](const StreamEnd&) {
                                         type = kStreamEnd;
                                         return true;
                                     },
                                     [&](const IgnoreCommand& m) {
                                         type = kIgnoreCommand;
                                         PutU32(payload, m.session);
                                         PutText(payload, m.url);
                                         PutU32(payload, m.count);
                                         return TextFits(m.url) && !m.url.empty() && m.count >= 1 &&
                                                m.count <= kMaxIgnoreCount;
                                     },
                                     [&](const StopCommand&) {
                                         type = kStopCommand;
                                         return true;
                                     },
                                     [&](const CopyChanged& m) {
                                         type = kCopyChanged;
                                         if (!CopyFits(m.status))
                                             return false;
                                         EncodeCopy(m.status, payload);
                                         return payload.size() <= kCopyPayloadBytes;
                                     },
                                     [&](const DiscardCopyCommand& m) {
                                         type = kDiscardCopyCommand;
                                         PutU64(payload, m.copyId);
                                         return m.copyId != 0;
                                     },
                                 },
                                 message);
    if (!fits || payload.size() > kMaxPayloadBytes)
        return false;
    PutU8(out, type);
    PutU32(out, static_cast<std::uint32_t>(payload.size()));
    out += payload;
    return true;
}

void RecordStreamDecoder::Feed(std::string_view bytes) {
    if (!m_failure.empty())
        return;
    // Drop what was used up before the buffer grows: it then holds at most one frame and the
    // bytes of one read.
    if (m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    } else if (m_offset >= (64u << 10)) {
        m_buffer.erase(0, m_offset);
        m_offset = 0;
    }
    m_buffer.append(bytes);
}

RecordStreamDecoder::Status RecordStreamDecoder::Fail(std::string reason) {
    m_failure = std::move(reason);
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_offset = 0;
    return Status::Failed;
}

RecordStreamDecoder::Status RecordStreamDecoder::Next(StreamMessage& message) {
    if (!m_failure.empty())
        return Status::Failed;
    const char* at = m_buffer.data() + m_offset;
    if (!m_headerRead) {
        if (Buffered() < kStreamHeaderBytes) {
            // A stream that does not start with the magic is refused at its first byte.
            if (std::memcmp(at, kRecordStreamMagic.data(),
                            std::min(Buffered(), kRecordStreamMagic.size())) != 0) {
                return Fail("not a record stream");
            }
            return Status::NeedMore;
        }
        if (std::memcmp(at, kRecordStreamMagic.data(), kRecordStreamMagic.size()) != 0)
            return Fail("not a record stream");
        const unsigned version =
            static_cast<std::uint8_t>(at[4]) << 8 | static_cast<std::uint8_t>(at[5]);
        if (version != kRecordStreamVersion) {
            return Fail("record stream version " + std::to_string(version) + ", expected " +
                        std::to_string(kRecordStreamVersion));
        }
        if (at[6] != 0 || at[7] != 0)
            return Fail("a garbled record stream header");
        m_offset += kStreamHeaderBytes;
        m_headerRead = true;
        at += kStreamHeaderBytes;
    }
    for (;;) {
        if (Buffered() < kFrameHeaderBytes)
            return Status::NeedMore;
        const auto type = static_cast<std::uint8_t>(at[0]);
        const std::uint32_t length = ReadU32(at + 1);
        std::size_t maxPayload = 0;
        if (FrameAllowed(type, m_direction, maxPayload))
            break;
        if (type < kFirstSkippable || length > kMaxPayloadBytes)
            return Fail("a frame of unknown type " + std::to_string(type));
        // A message of a later version, or one meant for the other direction: passed over.
        if (Buffered() - kFrameHeaderBytes < length)
            return Status::NeedMore;
        m_offset += kFrameHeaderBytes + length;
        at += kFrameHeaderBytes + length;
    }
    const auto type = static_cast<std::uint8_t>(at[0]);
    const std::uint32_t length = ReadU32(at + 1);
    std::size_t maxPayload = 0;
    FrameAllowed(type, m_direction, maxPayload);
    if (length > maxPayload) {
        return Fail("a frame of " + std::to_string(length) + " bytes, above the bound of " +
                    std::to_string(maxPayload));
    }
    if (Buffered() - kFrameHeaderBytes < length)
        return Status::NeedMore;
    if (!DecodePayload(type, std::string_view(at + kFrameHeaderBytes, length), message))
        return Fail("a garbled frame of type " + std::to_string(type));
    m_offset += kFrameHeaderBytes + length;
    return Status::Message;
}

bool RecordStreamDecoder::AtMessageBoundary() const {
    return m_failure.empty() && m_headerRead && Buffered() == 0;
}
