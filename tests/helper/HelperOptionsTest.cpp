// The capture helper's command line: what the parent may pass through, and nothing else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helper/HelperOptions.h"

TEST(HelperOptions, OnlyKnownOptionsWithValidValuesAreTaken) {
    using Rules = HelperOptions::Rules;
    struct Case {
        std::vector<std::string> args;
        bool ok;
        Rules rules;
        std::string keyLog;
        std::uint64_t budget;
        std::string errorPart;
    };
    const Case cases[] = {
        {{}, true, Rules::Packets, "", 0, ""},
        {{"--rules", "packets"}, true, Rules::Packets, "", 0, ""},
        {{"--rules", "streams", "--keylog", "/home/a/keys.log", "--budget", "67108864"},
         true,
         Rules::Streams,
         "/home/a/keys.log",
         67108864,
         ""},
        {{"--rules", "streams", "--budget", "1099511627776"},
         true,
         Rules::Streams,
         "",
         1099511627776,
         ""},
        {{"--verbose"}, false, Rules::Packets, "", 0, "unknown option '--verbose'"},
        {{"packets"}, false, Rules::Packets, "", 0, "unknown option 'packets'"},
        {{"--rules"}, false, Rules::Packets, "", 0, "--rules needs a value"},
        {{"--rules", "bytes"}, false, Rules::Packets, "", 0, "packets or streams"},
        {{"--rules", "packets", "--rules", "packets"}, false, Rules::Packets, "", 0, "twice"},
        // A key log alone: TLS by the stream engine, plain HTTP by the packet rules.
        {{"--keylog", "/k", "--budget", "2000000"}, true, Rules::Packets, "/k", 2000000, ""},
        {{"--rules", "streams", "--keylog", "keys.log"}, false, Rules::Packets, "", 0, "absolute"},
        {{"--rules", "streams", "--budget", "1048575"}, false, Rules::Packets, "", 0, "--budget"},
        {{"--rules", "streams", "--budget", "1099511627777"},
         false,
         Rules::Packets,
         "",
         0,
         "--budget"},
        {{"--rules", "streams", "--budget", "018446744073709551616"},
         false,
         Rules::Packets,
         "",
         0,
         "--budget"},
        {{"--rules", "streams", "--budget", "+2000000"}, false, Rules::Packets, "", 0, "--budget"},
        {{"--rules", "streams", "--budget", "99999999999999999999999"},
         false,
         Rules::Packets,
         "",
         0,
         "--budget"},
        {{"--rules", "packets", "--budget", "2000000"},
         false,
         Rules::Packets,
         "",
         0,
         "--budget goes with --rules streams or --keylog"},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        std::string error;
        const auto options = ParseHelperOptions(c.args, error);
        ASSERT_EQ(options.has_value(), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(options->rules, c.rules);
            EXPECT_EQ(options->keyLogFile, c.keyLog);
            EXPECT_EQ(options->budgetBytes, c.budget);
        } else {
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
        }
    }

    // The spool's folder: a descriptor above the standard three, with the stream engine; its
    // limit only with it.
    const std::vector<std::pair<std::vector<std::string>, std::string>> spool = {
        {{"--keylog", "/k", "--spool-fd", "5", "--spool-bytes", "1048576"}, ""},
        {{"--rules", "streams", "--spool-fd", "3"}, ""},
        {{"--keylog", "/k", "--spool-fd", "2"}, "--spool-fd needs a descriptor number above 2"},
        {{"--keylog", "/k", "--spool-fd", "-4"}, "--spool-fd needs a descriptor number"},
        {{"--keylog", "/k", "--spool-fd", "03"}, "--spool-fd needs a descriptor number"},
        {{"--spool-fd", "5"}, "--spool-fd goes with --rules streams or --keylog"},
        {{"--keylog", "/k", "--spool-bytes", "1048576"}, "--spool-bytes goes with --spool-fd"},
        {{"--keylog", "/k", "--spool-fd", "5", "--spool-bytes", "1048575"}, "--spool-bytes"},
        {{"--keylog", "/k", "--spool-fd", "5", "--spool-fd", "6"}, "twice"},
    };
    for (const auto& [args, errorPart] : spool) {
        SCOPED_TRACE(args[args.size() - 1]);
        std::string error;
        const auto options = ParseHelperOptions(args, error);
        ASSERT_EQ(options.has_value(), errorPart.empty()) << error;
        if (options) {
            EXPECT_EQ(options->spoolFd, std::stoi(args[3]));
        } else {
            EXPECT_NE(error.find(errorPart), std::string::npos) << error;
        }
    }
}
