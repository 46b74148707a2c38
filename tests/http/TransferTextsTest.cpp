#include <gtest/gtest.h>

#include "http/TransferTexts.h"

namespace {

TEST(TransferTexts, Sizes) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 Bytes"},
        {1023, "1023 Bytes"},
        {1024, "1.0 KB"},
        {1048575, "1024.0 KB"},
        {1048576, "1.00 MB"},
        {5242880, "5.00 MB"},
        {5ull << 32, "20480.00 MB"}};  // 20 GiB: nothing wraps at 4 GiB
    for (const auto& [bytes, text] : cases) EXPECT_EQ(SizeText(bytes), text) << bytes;
}

TEST(TransferTexts, TimesLeft) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 sec"}, {59, "59 sec"}, {60, "1 min"}, {125, "2 min 5 sec"}, {3600, "60 min"}};
    for (const auto& [seconds, text] : cases) EXPECT_EQ(TimeLeftText(seconds), text) << seconds;
    EXPECT_EQ(TimeLeftAndCopiedText(125, 1024, 1048576), "2 min 5 sec (1.0 KB of 1.00 MB copied)");
}

TEST(TransferTexts, Rates) {
    const std::pair<double, const char*> cases[] = {{0.0, "0 Bytes/Sec"},    {0.5, "512 Bytes/Sec"},
                                                    {1.0, "1.00 KB/Sec"},    {2.5, "2.50 KB/Sec"},
                                                    {9.999, "10.00 KB/Sec"}, {12.6, "13 KB/Sec"}};
    for (const auto& [rate, text] : cases) EXPECT_EQ(TransferRateText(rate), text) << rate;
}

TEST(TransferTexts, FileNames) {
    const std::pair<const char*, const char*> cases[] = {{"/v/clip.flv", "clip.flv"},
                                                         {"/get?id=7/a.flv", "a.flv"},
                                                         {"/watch?v=x", "watch?v=x"},
                                                         {"/", "/"},
                                                         {"", ""},
                                                         {"dir\\name.mp3", "name.mp3"},
                                                         {"/folder/", ""}};
    for (const auto& [object, name] : cases) EXPECT_EQ(FileNameFromObject(object), name) << object;
}

TEST(TransferMeter, PercentageRateAndTimeLeft) {
    TransferMeter meter;
    // First report: the clock starts, 10 % shown, no rate yet.
    auto u = meter.Report(1000, true, 10000, 0, 5000);
    EXPECT_EQ(u.percentage, 10);
    EXPECT_FALSE(u.rate);
    // The same whole percentage is not shown again; 1000 ms is not "more than 1000 ms".
    u = meter.Report(1050, true, 10000, 0, 6000);
    EXPECT_FALSE(u.percentage);
    EXPECT_FALSE(u.rate);
    // 1501 ms after the start: rate over the interval, time left from the average so far.
    u = meter.Report(4000, true, 10000, 0, 6501);
    EXPECT_EQ(u.percentage, 40);
    ASSERT_TRUE(u.rate);
    EXPECT_DOUBLE_EQ(*u.rate, 4000.0 / 1501.0);  // nothing counted at the start
    ASSERT_TRUE(u.timeLeft);
    EXPECT_EQ(u.timeLeft->seconds, 2u);  // 1501 / 4000 * 6000 / 1000 = 2.25
    EXPECT_EQ(u.timeLeft->soFar, 4000u);
    EXPECT_EQ(u.timeLeft->total, 10000u);
}

TEST(TransferMeter, ResumedTransferCountsTheOffset) {
    TransferMeter meter;
    auto u = meter.Report(0, true, 5000, 1000, 0);
    EXPECT_EQ(u.percentage, 20);
    u = meter.Report(4000, true, 5000, 1000, 2000);
    EXPECT_EQ(u.percentage, 100);
    ASSERT_TRUE(u.timeLeft);
    EXPECT_EQ(u.timeLeft->seconds, 0u);
    EXPECT_EQ(u.timeLeft->soFar, 5000u);
}

TEST(TransferMeter, NothingToShowWithoutAUsableTotal) {
    for (const bool known : {false, true}) {
        TransferMeter meter;  // unknown size, or a known total of 0
        for (std::uint64_t t = 0; t <= 10000; t += 500) {
            const auto u = meter.Report(t * 10, known, 0, 0, t);
            EXPECT_FALSE(u.percentage);
            EXPECT_FALSE(u.rate);
            EXPECT_FALSE(u.timeLeft);
        }
    }
}

TEST(TransferMeter, MoreBytesThanTheTotalStayWithinRange) {
    TransferMeter meter;
    meter.Report(1, true, 100, 0, 0);
    const auto u = meter.Report(250, true, 100, 0, 5000);
    EXPECT_EQ(u.percentage, 100);
    ASSERT_TRUE(u.timeLeft);
    EXPECT_EQ(u.timeLeft->seconds, 0u);
}

}  // namespace
