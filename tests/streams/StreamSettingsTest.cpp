// The stream engine's settings as the window reads them, and the options the capture helper is
// started with.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "helper/CaptureHelperClient.h"
#include "streams/StreamSettings.h"

TEST(StreamSettings, ValuesAreReadAndBadOnesKeepTheDefaultAndAreTold) {
    TempFolder folder;
    const std::string file = (folder.path / "Pelnix.ini").string();
    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    struct Case {
        std::string lines;
        CaptureRules rules;
        std::string keyLog;
        std::uint64_t budget;
        std::string problem;  // a part of the problems' text; empty: none
    };
    const Case cases[] = {
        {"", CaptureRules::Packets, "", 64u << 20, ""},
        {"CaptureRules=Streams\nTlsKeyLogFile=/run/user/1000/keys\nStreamBudgetMiB=256\n",
         CaptureRules::Streams, "/run/user/1000/keys", 256u << 20, ""},
        {"capturerules = packets\ntlskeylogfile=\"~/.ssl-keys.log\"\n", CaptureRules::Packets,
         home + "/.ssl-keys.log", 64u << 20, ""},
        {"CaptureRules=bytes\nStreamBudgetMiB=0\n", CaptureRules::Packets, "", 64u << 20,
         "CaptureRules=bytes"},
        {"StreamBudgetMiB=1048577\n", CaptureRules::Packets, "", 64u << 20,
         "StreamBudgetMiB=1048577"},
        {"StreamBudgetMiB=12abc\n", CaptureRules::Packets, "", 64u << 20, "StreamBudgetMiB=12abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        std::ofstream(file) << "[Pelnix]\nFFMpegExe=/usr/bin/ffmpeg\n" << c.lines;
        std::string problems;
        const StreamOptions options = ReadStreamSettings(file, &problems);
        EXPECT_EQ(options.rules, c.rules);
        EXPECT_EQ(options.keyLogFile, c.keyLog);
        EXPECT_EQ(options.budgetBytes, c.budget);
        if (c.problem.empty())
            EXPECT_EQ(problems, "");
        else
            EXPECT_NE(problems.find(c.problem), std::string::npos) << problems;
    }
}

TEST(StreamSettings, TheHelperIsAskedForWhatDiffersFromItsDefaults) {
    using Args = std::vector<std::string>;
    StreamOptions options;
    EXPECT_EQ(CaptureHelperArguments(options), Args{});
    options.budgetBytes = 8u << 20;  // no engine: no budget either
    EXPECT_EQ(CaptureHelperArguments(options), Args{});
    options.keyLogFile = "/run/user/1000/pelnix-keys";
    EXPECT_EQ(CaptureHelperArguments(options),
              (Args{"--keylog", "/run/user/1000/pelnix-keys", "--budget", "8388608"}));
    options.rules = CaptureRules::Streams;
    options.keyLogFile.clear();
    options.budgetBytes = kDefaultStreamBudgetBytes;
    EXPECT_EQ(CaptureHelperArguments(options), (Args{"--rules", "streams"}));
}
