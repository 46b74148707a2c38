// The record stream between the capture helper and its parent: every message survives the trip
// whatever bytes it carries and however the stream is split, and every bound, truncation or
// garbling is refused.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "helper/RecordStream.h"

namespace {

std::string AllByteValues() {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
}

std::string Frame(const StreamMessage& message) {
    std::string frame;
    EXPECT_TRUE(EncodeMessage(message, frame));
    return frame;
}

// Feeds `stream` in pieces of the sizes `split` gives, and collects the messages.
template <typename Split>
std::vector<StreamMessage> Decode(StreamDirection direction, const std::string& stream, Split split,
                                  std::string* failure = nullptr) {
    RecordStreamDecoder decoder(direction);
    std::vector<StreamMessage> messages;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t piece = std::min(split(), stream.size() - at);
        decoder.Feed(std::string_view(stream).substr(at, piece));
        at += piece;
        StreamMessage message;
        RecordStreamDecoder::Status status;
        while ((status = decoder.Next(message)) == RecordStreamDecoder::Status::Message)
            messages.push_back(message);
        if (status == RecordStreamDecoder::Status::Failed) {
            if (failure != nullptr)
                *failure = decoder.Failure();
            return messages;
        }
    }
    EXPECT_TRUE(decoder.AtMessageBoundary());
    return messages;
}

void ExpectSameReport(const MediaReport& a, const MediaReport& b) {
    EXPECT_EQ(a.url, b.url);
    EXPECT_EQ(a.requestHeaders, b.requestHeaders);
    EXPECT_EQ(a.lengthText, b.lengthText);
    EXPECT_EQ(a.typeText, b.typeText);
    EXPECT_EQ(a.serverAddress, b.serverAddress);
    EXPECT_EQ(a.serverPort, b.serverPort);
    EXPECT_EQ(a.validator, b.validator);
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.detail, b.detail);
    EXPECT_EQ(a.variantUrl, b.variantUrl);
    EXPECT_EQ(a.durationSeconds, b.durationSeconds);
    EXPECT_EQ(a.ranged, b.ranged);
    EXPECT_EQ(a.copyId, b.copyId);
}

MediaReport HostileReport(std::size_t textBytes) {
    // Every byte value, repeated up to the length asked for, each field its own pattern.
    const auto text = [textBytes](char salt) {
        std::string bytes = AllByteValues();
        while (bytes.size() < textBytes) bytes += bytes;
        bytes.resize(textBytes);
        bytes[0] = salt;
        return bytes;
    };
    MediaReport report;
    report.url = text('u');
    report.requestHeaders = text('h');
    report.lengthText = text('l');
    report.typeText = text('t');
    report.validator = text('v');
    report.kind = text('k');
    report.detail = text('d');
    report.variantUrl = text('v');
    report.serverAddress.bytes.fill(0xFF);
    report.serverPort = 65535;
    report.durationSeconds = 5400.25;
    report.ranged = true;
    report.copyId = ~std::uint64_t{0};
    return report;
}

CopyStatus FileCopy() {
    CopyStatus status;
    status.id = 42;
    status.kind = CopyKind::File;
    status.state = CopyState::Holes;
    status.stop = CopyStop::QueueFull;
    status.name = "f42";
    status.total = std::uint64_t{1} << 40;
    status.keptBytes = 3000;
    for (std::uint64_t i = 0; i < CopyStatus::kMaxIntervals; ++i)
        status.intervals.push_back({i * 10, i * 10 + 5});
    status.intervalsCut = true;
    return status;
}

}  // namespace

TEST(RecordStream, EveryMessageSurvivesTheTripWithHostileContentsAndAnySplit) {
    const std::string all = AllByteValues();
    CaptureStatistics counts;
    counts.known = true;
    counts.received = std::numeric_limits<std::uint64_t>::max();
    counts.droppedByKernel = 1;
    counts.droppedByInterface = std::uint64_t{1} << 40;
    MediaReport sparse;  // only the packet rules' fields; the rest stays empty or zero
    sparse.url = "http://h/a.flv";
    sparse.serverAddress = Ipv4Address{10, 0, 0, 7};
    sparse.serverPort = 80;

    const std::vector<StreamMessage> fromHelper = {
        SessionOpened{0, all},
        SessionFailed{1, "eth1", all},
        SessionsListed{},
        MediaRecord{0, HostileReport(300)},
        MediaRecord{0, HostileReport(kMaxTextBytes)},
        MediaRecord{0xFFFFFFFF, sparse},
        MediaRecord{2, MediaReport{}},
        UrlIgnored{0, all},
        IgnoreEntriesDropped{3, 0xFFFFFFFF},
        Notice{all},
        Notice{""},
        SessionStatistics{0, counts},
        SessionStatistics{1, CaptureStatistics{}},
        CopyChanged{FileCopy()},
        CopyChanged{CopyStatus{7, CopyKind::Stream, CopyState::Whole, CopyStop::None, "s7",
                               std::nullopt, {}, false, 9, 3, 3}},
        StreamEnd{},
    };
    const std::vector<StreamMessage> toHelper = {
        IgnoreCommand{0, all, 1},
        IgnoreCommand{7, std::string(kMaxTextBytes, '\xff'), kMaxIgnoreCount},
        DiscardCopyCommand{~std::uint64_t{0}},
        StopCommand{},
    };
    for (const auto& [direction, messages] : {std::pair{StreamDirection::FromHelper, fromHelper},
                                              std::pair{StreamDirection::ToHelper, toHelper}}) {
        std::string stream = RecordStreamHeader();
        for (const StreamMessage& m : messages) stream += Frame(m);

        std::mt19937 random(7);
        const auto whole = [&] { return stream.size(); };
        const auto oneByte = [] { return std::size_t{1}; };
        const auto randomPieces = [&] { return std::size_t{1} + random() % 9000; };
        for (const auto& decoded :
             {Decode(direction, stream, whole), Decode(direction, stream, randomPieces)}) {
            ASSERT_EQ(decoded.size(), messages.size());
            for (std::size_t i = 0; i < messages.size(); ++i) {
                SCOPED_TRACE(i);
                ASSERT_EQ(decoded[i].index(), messages[i].index());
                // Encoding is deterministic: the same bytes again mean the same fields...
                EXPECT_EQ(Frame(decoded[i]), Frame(messages[i]));
                // ...and the media record's fields are each where they belong.
                if (const auto* record = std::get_if<MediaRecord>(&messages[i])) {
                    const auto& got = std::get<MediaRecord>(decoded[i]);
                    EXPECT_EQ(got.session, record->session);
                    ExpectSameReport(got.report, record->report);
                }
                if (const auto* copy = std::get_if<CopyChanged>(&messages[i])) {
                    const CopyStatus& got = std::get<CopyChanged>(decoded[i]).status;
                    EXPECT_EQ(got.id, copy->status.id);
                    EXPECT_EQ(got.state, copy->status.state);
                    EXPECT_EQ(got.stop, copy->status.stop);
                    EXPECT_EQ(got.name, copy->status.name);
                    EXPECT_EQ(got.total, copy->status.total);
                    EXPECT_EQ(got.intervals, copy->status.intervals);
                    EXPECT_EQ(got.intervalsCut, copy->status.intervalsCut);
                    EXPECT_EQ(got.parts, copy->status.parts);
                    EXPECT_EQ(got.wholeParts, copy->status.wholeParts);
                }
            }
        }
        // Byte by byte, without the largest messages (every split of the small ones is met).
        std::string small = RecordStreamHeader();
        std::size_t smallCount = 0;
        for (const StreamMessage& m : messages) {
            const std::string frame = Frame(m);
            if (frame.size() < 4096) {
                small += frame;
                ++smallCount;
            }
        }
        EXPECT_EQ(Decode(direction, small, oneByte).size(), smallCount);
    }
    const auto& failed = std::get<SessionFailed>(fromHelper[1]);
    const auto decoded = Decode(StreamDirection::FromHelper, RecordStreamHeader() + Frame(failed),
                                [] { return std::size_t{3}; });
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(std::get<SessionFailed>(decoded[0]).errorText, all);
    EXPECT_EQ(std::get<SessionFailed>(decoded[0]).adapterName, "eth1");
}

TEST(RecordStream, TheEncoderRefusesWhatTheDecoderWouldRefuse) {
    const std::string overBound(kMaxTextBytes + 1, 'x');
    std::vector<StreamMessage> refused = {
        SessionOpened{0, overBound},
        SessionFailed{0, "eth0", overBound},
        UrlIgnored{0, overBound},
        Notice{overBound},
        IgnoreEntriesDropped{0, 0},
        IgnoreCommand{0, overBound, 1},
        IgnoreCommand{0, "", 1},
        IgnoreCommand{0, "h/a", 0},
        IgnoreCommand{0, "h/a", kMaxIgnoreCount + 1},
    };
    for (std::string MediaReport::*field :
         {&MediaReport::url, &MediaReport::requestHeaders, &MediaReport::lengthText,
          &MediaReport::typeText, &MediaReport::validator, &MediaReport::kind, &MediaReport::detail,
          &MediaReport::variantUrl}) {
        MediaRecord record;
        record.report.*field = overBound;
        refused.push_back(record);
        // Cut to fit, the same record goes.
        FitForRecordStream(record.report);
        std::string frame;
        EXPECT_TRUE(EncodeMessage(record, frame));
        EXPECT_EQ((record.report.*field).size(), kMaxTextBytes);
    }
    for (const double duration : {-1.0, std::nan(""), HUGE_VAL}) {
        MediaRecord record;
        record.report.durationSeconds = duration;
        refused.push_back(record);
    }
    // A copy's state that names no copy, or a file of the user's, or is not in order.
    for (const auto& spoil : std::vector<std::function<void(CopyStatus&)>>{
             [](CopyStatus& c) { c.id = 0; },
             [](CopyStatus& c) { c.name = "../f42"; },
             [](CopyStatus& c) { c.name = "f4x"; },
             [](CopyStatus& c) { c.intervals.push_back({0, 1}); },
             [](CopyStatus& c) { c.intervals.resize(2); c.intervals[1] = {3, 4}; },
             [](CopyStatus& c) { c.intervals.resize(1); c.intervals[0] = {9, 9}; },
         }) {
        CopyChanged changed{FileCopy()};
        spoil(changed.status);
        refused.push_back(changed);
    }
    refused.push_back(DiscardCopyCommand{0});
    for (std::size_t i = 0; i < refused.size(); ++i) {
        std::string out = "kept";
        EXPECT_FALSE(EncodeMessage(refused[i], out)) << i;
        EXPECT_EQ(out, "kept") << i;
    }
}

TEST(RecordStream, GarbledTruncatedAndOversizedStreamsAreRefused) {
    const auto u32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 8), static_cast<char>(v)};
    };
    const auto frame = [&](std::uint8_t type, const std::string& payload) {
        return std::string(1, static_cast<char>(type)) +
               u32(static_cast<std::uint32_t>(payload.size())) + payload;
    };
    const auto text = [&](const std::string& t) {
        return u32(static_cast<std::uint32_t>(t.size())) + t;
    };
    const auto tagged = [&](std::uint8_t tag, const std::string& bytes) {
        return std::string(1, static_cast<char>(tag)) + text(bytes);
    };
    const std::string header = RecordStreamHeader();
    std::string header2 = header;
    header2[5] = 2;
    std::string reserved = header;
    reserved[7] = 1;
    const std::string overBound(kMaxTextBytes + 1, 'x');
    const std::string atBound(kMaxTextBytes, 'x');

    struct Case {
        const char* what;
        StreamDirection direction;
        std::string stream;
        const char* failure;  // part of the decoder's reason
    };
    const auto from = StreamDirection::FromHelper;
    const auto to = StreamDirection::ToHelper;
    const Case cases[] = {
        {"another magic", from, "PXRX" + header.substr(4), "not a record stream"},
        {"another magic, seen at its first byte", from, "Q", "not a record stream"},
        {"a later version", from, header2, "record stream version 2, expected 1"},
        {"reserved bytes set", from, reserved, "garbled record stream header"},
        {"unknown frame type", from, header + frame(99, ""), "unknown type 99"},
        {"a command from the helper", from, header + frame(65, ""), "unknown type 65"},
        {"a record to the helper", to, header + frame(4, u32(0)), "unknown type 4"},
        {"announced above the frame bound", from,
         header + std::string("\x04", 1) + u32(kMaxPayloadBytes + 1), "above the bound"},
        {"a stop command with a payload", to, header + frame(65, "x"), "above the bound of 0"},
        {"statistics one byte too long", from,
         header + frame(7, u32(0) + std::string(1, '\x01') + std::string(25, '\0')),
         "above the bound of 29"},
        {"statistics' known flag 2", from,
         header + frame(7, u32(0) + std::string(1, '\x02') + std::string(24, '\0')),
         "garbled frame of type 7"},
        {"a text one byte over its bound", from, header + frame(6, text(overBound)),
         "garbled frame of type 6"},
        {"a text longer than its frame", from, header + frame(6, u32(10) + "abc"),
         "garbled frame of type 6"},
        {"bytes after the last field", from, header + frame(1, u32(0) + text("eth0") + "!"),
         "garbled frame of type 1"},
        {"a media field twice", from,
         header + frame(4, u32(0) + tagged(1, "http://a") + tagged(1, "http://b")),
         "garbled frame of type 4"},
        {"a media field one byte over its bound", from,
         header + frame(4, u32(0) + tagged(2, overBound)), "garbled frame of type 4"},
        {"an unknown media field one byte over the bound", from,
         header + frame(4, u32(0) + tagged(200, overBound)), "garbled frame of type 4"},
        {"a server address of 4 bytes", from, header + frame(4, u32(0) + tagged(5, "\x0a\0\0\x07")),
         "garbled frame of type 4"},
        {"a port of 3 bytes", from, header + frame(4, u32(0) + tagged(6, "abc")),
         "garbled frame of type 4"},
        {"a negative duration", from,
         header + frame(4, u32(0) + tagged(10, std::string("\xbf\xf0\0\0\0\0\0\0", 8))),
         "garbled frame of type 4"},
        {"a duration that is not a number", from,
         header + frame(4, u32(0) + tagged(10, std::string("\x7f\xf8\0\0\0\0\0\0", 8))),
         "garbled frame of type 4"},
        {"a media field cut short", from, header + frame(4, u32(0) + std::string("\x01\0\0", 3)),
         "garbled frame of type 4"},
        {"an ignore count of 0", to, header + frame(64, u32(0) + text("h/a") + u32(0)),
         "garbled frame of type 64"},
        {"an ignore count above the bound", to,
         header + frame(64, u32(0) + text("h/a") + u32(kMaxIgnoreCount + 1)),
         "garbled frame of type 64"},
        {"an empty URL to ignore", to, header + frame(64, u32(0) + text("") + u32(1)),
         "garbled frame of type 64"},
        {"a copy id of 7 bytes", from,
         header + frame(4, u32(0) + tagged(13, std::string(7, '\x01'))),
         "garbled frame of type 4"},
        {"a copy's state without its name", from,
         header + frame(128, tagged(1, std::string(7, '\0') + "\x01") + tagged(2, "\x01") +
                                 tagged(3, "\x02")),
         "garbled frame of type 128"},
        {"a copy's state of an unknown value", from,
         header + frame(128, tagged(1, std::string(7, '\0') + "\x01") + tagged(2, "\x01") +
                                 tagged(3, "\x07") + tagged(5, "f1")),
         "garbled frame of type 128"},
        {"a copy's intervals cut mid-pair", from,
         header + frame(128, tagged(1, std::string(7, '\0') + "\x01") + tagged(2, "\x01") +
                                 tagged(3, "\x02") + tagged(5, "f1") +
                                 tagged(10, std::string(24, '\0'))),
         "garbled frame of type 128"},
        {"a discard of no copy", to, header + frame(192, std::string(8, '\0')),
         "garbled frame of type 192"},
        {"a skippable frame above the frame bound", from,
         header + std::string("\xc8", 1) + u32(kMaxPayloadBytes + 1), "unknown type 200"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string failure;
        const auto messages = Decode(
            c.direction, c.stream, [&] { return c.stream.size(); }, &failure);
        EXPECT_TRUE(messages.empty());
        EXPECT_NE(failure.find(c.failure), std::string::npos) << failure;
    }

    // At the bounds themselves everything is taken, and a field of a later version is skipped.
    {
        const std::string stream =
            header + frame(6, text(atBound)) +
            frame(4, u32(3) + tagged(200, "later field") + tagged(1, "http://a/b.flv"));
        const auto messages = Decode(from, stream, [] { return std::size_t{4096}; });
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(std::get<Notice>(messages[0]).text, atBound);
        EXPECT_EQ(std::get<MediaRecord>(messages[1]).report.url, "http://a/b.flv");
        EXPECT_EQ(std::get<MediaRecord>(messages[1]).session, 3u);
    }

    // Frames of a later version from 128 up are passed over, whichever direction; below, not.
    {
        const std::string stream = header + frame(200, "a later message") +
                                   frame(192, std::string(8, '\x01')) +
                                   frame(6, text("after them"));
        const auto messages = Decode(from, stream, [] { return std::size_t{5}; });
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(std::get<Notice>(messages[0]).text, "after them");
    }

    // An oversized frame is refused from its header, before its payload arrives.
    {
        RecordStreamDecoder decoder(from);
        decoder.Feed(header + std::string("\x06", 1) + u32(kMaxPayloadBytes + 1));
        StreamMessage message;
        EXPECT_EQ(decoder.Next(message), RecordStreamDecoder::Status::Failed);
        // Nothing is taken after the first fault.
        decoder.Feed(header + frame(3, ""));
        EXPECT_EQ(decoder.Next(message), RecordStreamDecoder::Status::Failed);
    }

    // A stream cut anywhere inside a frame is not at a message boundary.
    {
        const std::string whole = header + Frame(Notice{"a notice"});
        for (std::size_t cut = 0; cut < whole.size(); ++cut) {
            if (cut == kStreamHeaderBytes)
                continue;  // a stream of its header alone is whole
            RecordStreamDecoder decoder(from);
            decoder.Feed(whole.substr(0, cut));
            StreamMessage message;
            EXPECT_EQ(decoder.Next(message), RecordStreamDecoder::Status::NeedMore) << cut;
            EXPECT_FALSE(decoder.AtMessageBoundary()) << cut;
        }
    }
}
