#include <gtest/gtest.h>
#include <algorithm>

#include <string>
#include <thread>
#include <vector>

#include "catalogue/MediaCatalogue.h"

namespace {

// A fixed moment: 21:41:05 local time is "09:41:05 PM".
std::time_t EveningTime() {
    std::tm local{};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 5;
    local.tm_mday = 1;
    local.tm_hour = 21;
    local.tm_min = 41;
    local.tm_sec = 5;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

std::optional<SniffedMedia> Add(MediaCatalogue& catalogue, const std::string& url,
                                const std::string& length, const std::string& type = "mp4\r\n") {
    static const std::time_t evening = EveningTime();  // one mktime, not one per thread
    return catalogue.AddSniffedMedia(url, "GET / HTTP/1.1\r\n\r\n", length, type, evening);
}

}  // namespace

TEST(ParseLengthText, DecimalReadingWithSaturation) {
    struct Case {
        const char* text;
        std::uint64_t value;
    };
    const Case cases[] = {
        {"", 0},
        {"\r\n", 0},
        {"99999\r\n", 99999},
        {"  100000\r\n", 100000},
        {"\t123abc", 123},
        {"-5", 0},
        {"5368709120\r\n", 5368709120ull},  // 5 GiB: no wrap at 2 or 4 GiB
        {"18446744073709551615", 18446744073709551615ull},
        {"18446744073709551616", 18446744073709551615ull},
        {"99999999999999999999999999", 18446744073709551615ull},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseLengthText(c.text), c.value) << c.text;
}

TEST(CleanTypeText, RemovesXDashAndTheLineEnd) {
    struct Case {
        const char* text;
        const char* cleaned;
    };
    const Case cases[] = {
        {"x-flv\r\n", "flv"}, {"mp4\r\n", "mp4"}, {"MP3", "MP3"},      {"\r\n", "\r\n"},
        {"x-x-flv", "flv"},   {"xx--y", "x-y"},   {"a\r\nb\r\n", "a"}, {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(CleanTypeText(c.text), c.cleaned) << c.text;
}

TEST(MediaCatalogue, SizeFloorAndDuplicates) {
    MediaCatalogue catalogue;
    EXPECT_FALSE(Add(catalogue, "http://h/a", "99999\r\n"));
    EXPECT_FALSE(Add(catalogue, "http://h/a", ""));
    const auto accepted = Add(catalogue, "http://h/a", "100000\r\n");
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->size, 100000u);
    EXPECT_EQ(RecordSizeText(*accepted), "0.10 MB");
    EXPECT_EQ(accepted->timeSniffed, "09:41:05 PM");
    EXPECT_EQ(RecordTitleText(*accepted), std::to_string(accepted->number) + ". 09:41:05 PM");
    EXPECT_EQ(accepted->statusImage, 0);
    EXPECT_EQ(accepted->requestHeaders, "GET / HTTP/1.1\r\n\r\n");

    EXPECT_FALSE(Add(catalogue, "http://h/a", "200000\r\n"));  // same URL
    EXPECT_FALSE(Add(catalogue, "http://h/b", "100000\r\n"));  // same size
    EXPECT_TRUE(Add(catalogue, "http://h/b", "100001\r\n"));
    EXPECT_EQ(catalogue.Count(), 2);
}

TEST(MediaCatalogue, SizesPastFourGibibytesStayDistinct) {
    MediaCatalogue catalogue;
    const auto big = Add(catalogue, "http://h/big", "4294967396\r\n");  // 2^32 + 100
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size, 4294967396u);
    EXPECT_EQ(RecordSizeText(*big), "4096.00 MB");
    // 100 bytes (as a 32-bit size would read the big one) is refused by the floor, and a
    // 100,100-byte medium is not confused with 2^32 + 100,100 either.
    EXPECT_TRUE(Add(catalogue, "http://h/small", "100100\r\n"));
    EXPECT_TRUE(Add(catalogue, "http://h/huge", "4295067396\r\n"));
}

TEST(MediaCatalogue, TwentySixthRecordEvictsTheOldestAndNumbersKeepCounting) {
    MediaCatalogue catalogue;
    std::vector<int> numbers;
    for (int i = 0; i < 26; ++i) {
        const auto record =
            Add(catalogue, "http://h/" + std::to_string(i), std::to_string(100000 + i) + "\r\n");
        ASSERT_TRUE(record);
        numbers.push_back(record->number);
    }
    for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
    EXPECT_EQ(catalogue.Count(), MediaCatalogue::kMaxRecords);
    const auto records = catalogue.Records();
    EXPECT_EQ(records.front().url, "http://h/1");
    EXPECT_EQ(records.back().url, "http://h/25");
    EXPECT_EQ(records.back().number, numbers.back());
    // The evicted URL and size are free again.
    EXPECT_TRUE(Add(catalogue, "http://h/0", "100000\r\n"));
}

TEST(MediaCatalogue, TypeAndSiteFlag) {
    MediaCatalogue catalogue;
    struct Case {
        std::string url;
        std::string type;
        std::string cleaned;
        int siteFlag;
    };
    const Case cases[] = {
        {"http://h/a.flv", "x-flv\r\n", "flv", 0},
        {"http://h/a.mp3", "MP3", "MP3", 0},
        {"http://h/a.bin", "\r\n", "\r\n", 0},
        {"http://www.youtube.com/get_video", "x-flv", "flv", 1},
        {"http://youtube.com/v", "x-flv", "flv", 1},
        {"http://M.YouTube.COM:8080/v", "x-flv", "flv", 1},
        {"http://www.youtube.com./v", "x-flv", "flv", 1},
        {"https://r4.sn-x.youtube.com/videoplayback?id=1", "mp4", "mp4", 1},
        // The site's name anywhere but in the host does not make a site entry.
        {"http://cdn.example/youtube.com/v.flv", "x-flv", "flv", 0},
        {"http://127.0.0.1:8080/x?u=www.youtube.com", "x-flv", "flv", 0},
        {"http://notyoutube.com/v", "x-flv", "flv", 0},
        {"http://youtube.com.example/v", "x-flv", "flv", 0},
        {"http://youtube.com@127.0.0.1:9/v", "x-flv", "flv", 0},
        {"http://h/other.flv", "x-flv", "flv", 0},
    };
    std::uint64_t size = 300000;
    for (const Case& c : cases) {
        const auto record = Add(catalogue, c.url, std::to_string(size++), c.type);
        ASSERT_TRUE(record) << c.url;
        EXPECT_EQ(record->type, c.cleaned) << c.url;
        EXPECT_EQ(record->siteFlag, c.siteFlag) << c.url;
    }

    // What a file lists is never replayed: no site flag, no server to connect to.
    MediaReport fromFile = PlainReport("http://www.youtube.com/get_video?id=2",
                                       "GET / HTTP/1.1\r\n\r\n", "400000", "x-flv");
    fromFile.serverAddress = *ParseIpAddress("127.0.0.1");
    fromFile.serverPort = 8080;
    fromFile.fromFile = true;
    const auto record = catalogue.AddSniffedMedia(fromFile, 0);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->siteFlag, 0);
    EXPECT_TRUE(record->fromFile);
    EXPECT_EQ(record->serverPort, 0);
    EXPECT_EQ(record->serverAddress, IpAddress{});
}

TEST(MediaCatalogue, RemoveAtAndStatusImages) {
    MediaCatalogue catalogue;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(
            Add(catalogue, "http://h/" + std::to_string(i), std::to_string(200000 + i) + "\r\n"));
    }
    ASSERT_TRUE(catalogue.SetStatusImage(3, 2));
    ASSERT_TRUE(catalogue.SetStatusImage(4, 1));
    const int fourthNumber = catalogue.Record(3)->number;
    EXPECT_TRUE(catalogue.RemoveAt(2));
    ASSERT_EQ(catalogue.Count(), 4);
    EXPECT_EQ(catalogue.Record(2)->url, "http://h/3");
    EXPECT_EQ(catalogue.Record(2)->number, fourthNumber);
    EXPECT_EQ(catalogue.Record(2)->statusImage, 2);
    EXPECT_EQ(catalogue.Record(3)->statusImage, 1);
    EXPECT_FALSE(catalogue.RemoveAt(4));
    EXPECT_FALSE(catalogue.RemoveAt(-1));
    EXPECT_FALSE(catalogue.SetStatusImage(4, 2));
    EXPECT_FALSE(catalogue.Record(4));

    MediaCatalogue empty;
    EXPECT_FALSE(empty.RemoveAt(0));
}

TEST(MediaCatalogue, ClosedCatalogueRefusesEverything) {
    MediaCatalogue catalogue;
    ASSERT_TRUE(Add(catalogue, "http://h/a", "100000"));
    catalogue.Close();
    EXPECT_EQ(catalogue.Count(), -1);
    EXPECT_FALSE(Add(catalogue, "http://h/b", "200000"));
    EXPECT_TRUE(catalogue.Records().empty());
}

TEST(MediaCatalogue, ConcurrentReportsAreSerialised) {
    MediaCatalogue catalogue;
    constexpr int kThreads = 4;
    constexpr int kPerThread = 200;
    std::vector<std::thread> threads;
    std::vector<std::vector<int>> numbers(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const int id = t * kPerThread + i;
                // Every thread also reports one URL that the others report too.
                if (auto r = Add(catalogue, "http://h/" + std::to_string(id),
                                 std::to_string(100000 + id))) {
                    numbers[t].push_back(r->number);
                }
                Add(catalogue, "http://h/shared", "999999");
                catalogue.Records();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<int> all;
    for (const auto& n : numbers) all.insert(all.end(), n.begin(), n.end());
    std::sort(all.begin(), all.end());
    // No number was handed out twice, and the list never grew past its limit.
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    EXPECT_EQ(catalogue.Count(), MediaCatalogue::kMaxRecords);
    int shared = 0;
    for (const auto& record : catalogue.Records()) shared += record.url == "http://h/shared";
    EXPECT_LE(shared, 1);
}

TEST(MediaCatalogue, StreamRecordsByUrlAndValidator) {
    MediaCatalogue catalogue;
    const auto report = [](const std::string& url, std::uint64_t size, const std::string& validator,
                           const std::string& kind = "") {
        MediaReport r = PlainReport(url, "GET / HTTP/1.1\r\n\r\n", std::to_string(size),
                                    kind.empty() ? "mp4" : kind);
        r.validator = validator;
        r.kind = kind;
        return r;
    };
    using Kind = CatalogueChange::Kind;
    struct Step {
        const char* name;
        MediaReport report;
        Kind expected;
    };
    MediaReport updated = report("https://cdn/s.m3u8", 7340032, "", "hls");
    updated.durationSeconds = 600;
    updated.detail = "1280x720, 3.00 Mbit/s\n";
    const Step steps[] = {
        {"packet rules' record", report("http://cdn/a.mp4", 500000, ""), Kind::Added},
        {"same URL with a validator", report("http://cdn/a.mp4", 600000, "\"e1\""), Kind::Refused},
        {"ranged medium", report("https://cdn/v.mp4", 9000000, "\"e1\""), Kind::Added},
        {"later range, same validator", report("https://cdn/v.mp4", 9000000, "\"e1\""),
         Kind::Refused},
        {"same URL, new version", report("https://cdn/v.mp4", 9100000, "\"e2\""), Kind::Added},
        {"new version of a listed size", report("https://cdn/v.mp4", 9000000, "\"e3\""),
         Kind::Refused},
        {"same URL, no validator", report("https://cdn/v.mp4", 9200000, ""), Kind::Refused},
        {"playlist of no known size", report("https://cdn/s.m3u8", 0, "", "hls"), Kind::Added},
        {"the playlist again", report("https://cdn/s.m3u8", 0, "", "hls"), Kind::Refused},
        {"the playlist, now sized", updated, Kind::Updated},
        {"a file of the playlist's size", report("https://cdn/other.mp4", 7340032, ""),
         Kind::Added},
        {"small playlist", report("https://cdn/tiny.mpd", 1000, "", "dash"), Kind::Added},
    };
    for (const Step& step : steps) {
        const CatalogueChange change = catalogue.Apply(step.report, 0);
        EXPECT_EQ(change.kind, step.expected) << step.name;
    }
    const auto records = catalogue.Records();
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[3].url, "https://cdn/s.m3u8");
    EXPECT_EQ(records[3].type, "hls");
    EXPECT_EQ(records[3].size, 7340032u);
    EXPECT_EQ(records[3].detail, "1280x720, 3.00 Mbit/s\n");
    EXPECT_EQ(records[3].durationSeconds, 600);
    EXPECT_EQ(RecordSizeText(records[3]), "7.00 MB");
    EXPECT_EQ(records[3].number + 1, records[4].number);  // an update takes no new number
    EXPECT_EQ(RecordSizeText(records[5]), "0.00 MB");
    // Blank only for a playlist whose size is not known yet.
    SniffedMedia unsized = records[3];
    unsized.size = 0;
    EXPECT_EQ(RecordSizeText(unsized), "");
    // AddSniffedMedia gives only what it added.
    EXPECT_FALSE(catalogue.AddSniffedMedia(updated, 0));
}

// The later ranges of a medium join its one record also after it left the list: the stream
// engine's media are remembered past it. The packet rules' records are listed again as before.
TEST(MediaCatalogue, LaterRangesOfAMediumThatLeftTheListAddNothing) {
    MediaCatalogue catalogue;
    const auto range = [](const std::string& url, const std::string& validator,
                          std::uint64_t size) {
        MediaReport r = PlainReport(url, "GET / HTTP/1.1\r\n\r\n", std::to_string(size), "mp4");
        r.validator = validator;
        r.ranged = true;
        return r;
    };
    using Kind = CatalogueChange::Kind;
    EXPECT_EQ(catalogue.Apply(range("https://cdn/v.mp4", "\"e1\"", 80000000), 0).kind, Kind::Added);
    EXPECT_EQ(catalogue.Apply(range("https://cdn/n.mp4", "", 90000000), 0).kind, Kind::Added);
    ASSERT_TRUE(Add(catalogue, "http://h/packet.flv", "150000"));
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(Add(catalogue, "http://h/" + std::to_string(i), std::to_string(200000 + i)));
    EXPECT_EQ(catalogue.Apply(range("https://cdn/v.mp4", "\"e1\"", 80000000), 0).kind,
              Kind::Refused);
    EXPECT_EQ(catalogue.Apply(range("https://cdn/v.mp4", "", 80000000), 0).kind, Kind::Refused);
    EXPECT_EQ(catalogue.Apply(range("https://cdn/n.mp4", "\"e7\"", 90000000), 0).kind,
              Kind::Refused);
    // Another version of the file is another medium; so is a whole answer fetched again.
    EXPECT_EQ(catalogue.Apply(range("https://cdn/v.mp4", "\"e2\"", 81000000), 0).kind, Kind::Added);
    MediaReport whole = range("https://cdn/n.mp4", "", 91000000);
    whole.ranged = false;
    EXPECT_EQ(catalogue.Apply(whole, 0).kind, Kind::Added);
    EXPECT_TRUE(Add(catalogue, "http://h/packet.flv", "150000"));

    // Bounded: the oldest are forgotten first.
    for (std::size_t i = 0; i < MediaCatalogue::kMaxRememberedMedia; ++i) {
        ASSERT_EQ(
            catalogue
                .Apply(range("https://cdn/" + std::to_string(i) + ".mp4", "\"x\"", 1000000 + i), 0)
                .kind,
            Kind::Added);
    }
    EXPECT_EQ(catalogue.Apply(range("https://cdn/v.mp4", "\"e1\"", 80000000), 0).kind, Kind::Added);
}
