// Media known by their bytes: each container's first bytes, near misses, and what the content
// type adds.
#include <gtest/gtest.h>

#include "Exchanges.h"
#include "mediarules/MediaSignatures.h"

using namespace testing_exchanges;

namespace {

struct Sample {
    const char* name;
    std::string bytes;
    const char* typeText;  // the container the list shows
};

std::vector<Sample> Samples() {
    return {
        {"mp4", Mp4Start(), "mp4"},
        {"webm", MatroskaStart("webm"), "webm"},
        {"mkv", MatroskaStart("matroska"), "mkv"},
        {"ogg", Padded(std::string("OggS\0\x02", 6)), "ogg"},
        {"ts", TransportStreamStart(), "ts"},
        {"mp3-frames", Mp3Frames(), "mp3"},
        {"mp3-with-id3", Id3Tag(std::string(20, '\0')) + Mp3Frames(), "mp3"},
        {"aac", AdtsFrames(), "aac"},
        {"aac-with-id3", Id3Tag(std::string(20, '\0')) + AdtsFrames(), "aac"},
        {"flac", Padded(std::string("fLaC\x00\x00\x00\x22", 8)), "flac"},
        {"wav", Padded(std::string("RIFF\x24\x10\x00\x00WAVEfmt ", 16)), "wav"},
        {"flv", Padded("FLV\x01\x05"), "flv"},
    };
}

}  // namespace

TEST(MediaBytes, EachContainerAgainstGenericMediaAndWrongTypes) {
    struct TypeCase {
        const char* contentType;
        bool anyContainer;  // every container is media under this type
    };
    const TypeCase types[] = {
        {"", true},
        {"application/octet-stream", true},
        {"Binary/Octet-Stream; charset=x", true},
        {"video/mp4", true},
        {"audio/mpeg", true},
        {"text/html", false},
        {"image/jpeg", false},
    };
    for (const Sample& sample : Samples()) {
        for (const TypeCase& type : types) {
            Collector collector;
            collector.rules.OnExchange(Answer("https://cdn.test/media/" + std::string(sample.name),
                                              type.contentType, 500000),
                                       sample.bytes, false);
            // Whatever the type says, a body beginning "FLV" or "ID3" is media.
            const std::string start = sample.bytes.substr(0, 3);
            const bool expected = type.anyContainer || start == "FLV" || start == "ID3";
            ASSERT_EQ(collector.reports.size(), expected ? 1u : 0u)
                << sample.name << " as " << type.contentType;
            if (expected) {
                EXPECT_EQ(collector.reports[0].typeText, sample.typeText)
                    << sample.name << " as " << type.contentType;
                EXPECT_EQ(collector.reports[0].lengthText, "500000");
            }
        }
    }
}

TEST(MediaBytes, NearMissesAreNotMedia) {
    std::string oneSync(600, 'a');
    oneSync[0] = 0x47;
    std::string twoSyncs = oneSync;
    twoSyncs[188] = 0x47;  // the third at 376 is missing
    std::string frameThenText = Mp3Frames(1) + std::string(600, 'x');
    std::string adtsThenText = AdtsFrames(1) + std::string(600, 'x');
    const std::string cases[] = {
        Padded("ftypisom and then some text"),
        Padded("    ftyp is a box"),  // four letters where the size goes
        oneSync,
        twoSyncs,
        frameThenText,
        adtsThenText,
        Padded(std::string("OggS\x01\x00", 6)),          // unknown version
        Padded(std::string("fLaC\x04\x00\x00\x22", 8)),  // first block not STREAMINFO
        Padded("RIFF\x24\x10\x00\x00"
               "AVI LIST"),          // RIFF, not WAVE
        MatroskaStart("notavideo"),  // EBML of another kind
        Padded("<html><body>not a medium</body></html>"),
    };
    for (const std::string& bytes : cases) {
        EXPECT_EQ(DetectContainer(bytes), Container::None) << bytes.substr(0, 16);
        Collector collector;
        collector.rules.OnExchange(
            Answer("http://cdn.test/file.bin", "application/octet-stream", 800000), bytes, false);
        EXPECT_TRUE(collector.reports.empty()) << bytes.substr(0, 16);
    }
}

TEST(MediaBytes, FragmentsOfStreamsAreNeverMedia) {
    const std::string moof = Padded(std::string("\0\0\0\x68moof\0\0\0\x10mfhd", 16));
    const std::string styp = Padded(std::string("\0\0\0\x18stypmsdh\0\0\0\0msdhmsix", 24));
    const std::string sidx = Padded(std::string("\0\0\0\x2csidx\x01\0\0\0", 12));
    const std::string cluster = Padded(std::string("\x1F\x43\xB6\x75\x01\xFF\xFF\xFF", 8));
    const std::string packedAudio =
        Id3Tag(std::string("PRIV\0\0\0\x35\0\0"
                           "com.apple.streaming.transportStreamTimestamp\0\0\0\0\0\0\0\0\0",
                           10 + 44 + 9)) +
        AdtsFrames();
    for (const std::string& bytes : {moof, styp, sidx, cluster, packedAudio}) {
        EXPECT_EQ(DetectContainer(bytes), Container::Fragment) << bytes.substr(4, 4);
        // Not even a video type lists them.
        Collector collector;
        collector.rules.OnExchange(Answer("http://cdn.test/x/chunk", "video/mp4", 900000), bytes,
                                   false);
        EXPECT_TRUE(collector.reports.empty()) << bytes.substr(4, 4);
    }
}

TEST(MediaBytes, ContentTypesAndTheirContainers) {
    struct Case {
        const char* value;
        ContentClass contentClass;
        const char* typeTextWithoutBytes;
    };
    const Case cases[] = {
        {"video/mp4", ContentClass::Video, "mp4"},
        {"VIDEO/X-FLV ; charset=binary", ContentClass::Video, "flv"},
        {"video/MP2T", ContentClass::Video, "ts"},
        {"video/x-ms-wmv", ContentClass::Video, "x-ms-wmv"},
        {"audio/mp4", ContentClass::Audio, "mp4"},
        {"audio/aac", ContentClass::Audio, "aac"},
        {"audio/ogg", ContentClass::Audio, "ogg"},
        {"audio/webm", ContentClass::Audio, "webm"},
        {"audio/flac", ContentClass::Audio, "flac"},
        {"audio/wav", ContentClass::Audio, "wav"},
        {"audio/mpeg", ContentClass::Audio, "mp3"},
        {"application/vnd.apple.mpegurl", ContentClass::Hls, ""},
        {"audio/mpegurl", ContentClass::Hls, ""},
        {"application/dash+xml", ContentClass::Dash, ""},
        {"application/octet-stream", ContentClass::Generic, ""},
        {"text/plain", ContentClass::Text, ""},
        {"text/html", ContentClass::Other, ""},
    };
    for (const Case& c : cases) {
        const std::string value = c.value;
        EXPECT_EQ(ClassifyContentType(&value).contentClass, c.contentClass) << c.value;
        if (c.contentClass == ContentClass::Video || c.contentClass == ContentClass::Audio) {
            // A later range carries no container bytes: the type names the container.
            Collector collector;
            collector.rules.OnResponseHead(Exchange(
                "http://cdn.test/v", 206,
                {{"Content-Type", c.value}, {"Content-Range", "bytes 200000-299999/700000"}},
                100000));
            ASSERT_EQ(collector.reports.size(), 1u) << c.value;
            EXPECT_EQ(collector.reports[0].typeText, c.typeTextWithoutBytes);
            EXPECT_EQ(collector.reports[0].lengthText, "700000");
        }
    }
    EXPECT_EQ(ClassifyContentType(nullptr).contentClass, ContentClass::Absent);
}
