#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/RefetchHeaders.h"

namespace {

struct Case {
    const char* name;
    std::string block;  // the captured request header block
    RefetchHeaders want;
};

std::string Request(const std::string& fields) {
    return "GET /a.mp4 HTTP/1.1\r\nHost: media.example\r\n" + fields + "\r\n";
}

}  // namespace

// What a fetch sends again of a captured request, for well-formed, folded and hostile blocks.
TEST(RefetchHeaders, ChoosesTheSessionHeadersAndNothingUnsafe) {
    const std::string longValue(kMaxRefetchHeaderValue + 1, 'v');
    const std::string fitting(kMaxRefetchHeaderValue - 2, 'c');
    const std::vector<Case> cases = {
        {"all four, any case",
         Request("cookie: a=1\r\nREFERER: https://site/page\r\nUser-agent: UA/1\r\n"
                 "authorization: Bearer t0k\r\nRange: bytes=100-\r\nIf-Range: \"e1\"\r\n"
                 "Accept-Encoding: br\r\nConnection: close\r\n"),
         {"a=1", "https://site/page", "UA/1", "Bearer t0k"}},
        {"cookies on several lines join, first of the others counts",
         Request("Cookie: a=1\r\nReferer: https://one/\r\nCookie:  b=2 \r\n"
                 "Referer: https://two/\r\n"),
         {"a=1; b=2", "https://one/", "", ""}},
        {"folded value joined with one blank",
         Request("User-Agent: Long\r\n   Agent/2\r\n\tmore\r\nCookie: c=3\r\n"),
         {"c=3", "", "Long Agent/2 more", ""}},
        {"bare line feeds end lines too",
         "GET / HTTP/1.1\nCookie: d=4\nReferer: https://r/\n\n",
         {"d=4", "https://r/", "", ""}},
        {"a carriage return inside a value leaves that header out",
         Request(std::string("Cookie: a=1\rInjected: yes\r\nReferer: https://ok/\r\n")),
         {"", "https://ok/", "", ""}},
        {"a NUL or DEL inside a value leaves that header out",
         Request(std::string("Cookie: a=\0x\r\nUser-Agent: U\x7F\r\nReferer: https://ok/\r\n", 52)),
         {"", "https://ok/", "", ""}},
        {"a blank before the colon is no header name",
         Request("Cookie : a=1\r\nAuthorization: Basic eA==\r\n"),
         {"", "", "", "Basic eA=="}},
        {"over-long values are left out whole",
         Request("Cookie: " + longValue + "\r\nReferer: " + longValue + "\r\nUser-Agent: U\r\n"),
         {"", "", "U", ""}},
        {"folding past the bound leaves the header out",
         Request("Referer: " + fitting + "\r\n " + fitting + "\r\nCookie: k=1\r\n"),
         {"k=1", "", "", ""}},
        {"cookies that together pass the bound keep what fits",
         Request("Cookie: " + fitting + "\r\nCookie: more=1\r\n"),
         {fitting, "", "", ""}},
        {"nothing after the blank line counts",
         Request("") + "Cookie: body=1\r\n",
         {"", "", "", ""}},
        {"empty values and a block without fields",
         Request("Cookie:   \r\nReferer:\r\n"),
         {"", "", "", ""}},
        {"the request line is never a header", "Cookie: x=1\r\n\r\n", {"", "", "", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RefetchHeaders got = ChooseRefetchHeaders(c.block);
        EXPECT_EQ(got.cookie, c.want.cookie);
        EXPECT_EQ(got.referer, c.want.referer);
        EXPECT_EQ(got.userAgent, c.want.userAgent);
        EXPECT_EQ(got.authorization, c.want.authorization);
    }
}

// The transfer engine gets Cookie, Referer and Authorization lines (its user agent is a setting
// of its own); the converter gets Cookie, Referer and User-Agent ended by CR LF, never the
// credential it would send to every server a playlist names.
TEST(RefetchHeaders, LinesForTheTransferEngineAndTheConverter) {
    const RefetchHeaders all{"a=1; b=2", "https://site/", "UA/1", "Bearer t"};
    EXPECT_EQ(TransferHeaderLines(all),
              (std::vector<std::string>{"Cookie: a=1; b=2", "Referer: https://site/",
                                        "Authorization: Bearer t"}));
    EXPECT_EQ(ConverterHeaders(all),
              "Cookie: a=1; b=2\r\nReferer: https://site/\r\nUser-Agent: UA/1\r\n");
    const RefetchHeaders none;
    EXPECT_TRUE(TransferHeaderLines(none).empty());
    EXPECT_EQ(ConverterHeaders(none), "");
    const RefetchHeaders agentOnly{"", "", "UA/1", "Basic x"};
    EXPECT_EQ(TransferHeaderLines(agentOnly), std::vector<std::string>{"Authorization: Basic x"});
    EXPECT_EQ(ConverterHeaders(agentOnly), "User-Agent: UA/1\r\n");
}
