#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TempFolder.h"
#include "tls/KeyLog.h"

namespace {

std::string Hex(unsigned seed, std::size_t bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < bytes; ++i) {
        const unsigned value = (seed * 131 + i * 7) & 0xFF;
        hex += digits[value >> 4];
        hex += digits[value & 15];
    }
    return hex;
}

TlsClientRandom Random(unsigned seed) {
    TlsClientRandom random;
    const std::string hex = Hex(seed, 32);
    for (std::size_t i = 0; i < 32; ++i)
        random[i] = static_cast<std::uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return random;
}

std::string Line(const std::string& label, unsigned seed, std::size_t secretBytes = 48) {
    return label + " " + Hex(seed, 32) + " " + Hex(seed + 1000, secretBytes) + "\n";
}

// The secret of `kind` as hex, or "" when there is none.
std::string Found(const KeyLog& keyLog, unsigned seed, TlsSecretKind kind) {
    TlsSecret secret;
    if (!keyLog.Find(Random(seed), kind, secret))
        return "";
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < secret.Size(); ++i) {
        hex += digits[secret.Data()[i] >> 4];
        hex += digits[secret.Data()[i] & 15];
    }
    return hex;
}

void Write(const std::filesystem::path& path, const std::string& text,
           std::ios::openmode mode = std::ios::app) {
    std::ofstream file(path, mode | std::ios::binary);
    file << text;
}

}  // namespace

TEST(KeyLog, LinesThatCountAndLinesThatDoNot) {
    struct Case {
        const char* name;
        std::string text;
        TlsSecretKind kind;
        std::size_t secretBytes;  // 0: nothing taken
    };
    const std::string random = Hex(1, 32);
    const std::string secret48 = Hex(1001, 48);
    const std::string secret32 = Hex(1001, 32);
    for (const Case& test : {
             Case{"TLS 1.2 master secret", Line("CLIENT_RANDOM", 1), TlsSecretKind::MasterSecret,
                  48},
             Case{"TLS 1.3, SHA-256", Line("CLIENT_HANDSHAKE_TRAFFIC_SECRET", 1, 32),
                  TlsSecretKind::ClientHandshakeTraffic, 32},
             Case{"TLS 1.3, SHA-384", Line("SERVER_TRAFFIC_SECRET_0", 1, 48),
                  TlsSecretKind::ServerTraffic0, 48},
             Case{"early traffic", Line("CLIENT_EARLY_TRAFFIC_SECRET", 1, 32),
                  TlsSecretKind::ClientEarlyTraffic, 32},
             Case{"CR LF, tabs and runs of blanks",
                  "  CLIENT_RANDOM\t" + random + "   " + secret48 + " \r\n",
                  TlsSecretKind::MasterSecret, 48},
             Case{"upper-case hex",
                  "CLIENT_RANDOM " + Hex(1, 32) + " " +
                      [&] {
                          std::string upper = secret48;
                          for (char& c : upper) c = static_cast<char>(std::toupper(c));
                          return upper;
                      }() +
                      "\n",
                  TlsSecretKind::MasterSecret, 48},
             Case{"master secret of 32 bytes", Line("CLIENT_RANDOM", 1, 32),
                  TlsSecretKind::MasterSecret, 0},
             Case{"TLS 1.3 secret of 40 bytes", Line("CLIENT_TRAFFIC_SECRET_0", 1, 40),
                  TlsSecretKind::ClientTraffic0, 0},
             Case{"client random one digit short",
                  "CLIENT_RANDOM " + random.substr(1) + " " + secret48 + "\n",
                  TlsSecretKind::MasterSecret, 0},
             Case{"not hex", "CLIENT_RANDOM " + random + " " + secret48.substr(2) + "zz\n",
                  TlsSecretKind::MasterSecret, 0},
             Case{"a fourth field", "CLIENT_RANDOM " + random + " " + secret48 + " x\n",
                  TlsSecretKind::MasterSecret, 0},
             Case{"a field missing", "CLIENT_RANDOM " + random + "\n", TlsSecretKind::MasterSecret,
                  0},
             Case{"lower-case label", Line("client_random", 1), TlsSecretKind::MasterSecret, 0},
             Case{"comment", "# " + Line("CLIENT_RANDOM", 1), TlsSecretKind::MasterSecret, 0},
             Case{"comment without a blank", "#" + Line("CLIENT_RANDOM", 1),
                  TlsSecretKind::MasterSecret, 0},
             Case{"exporter secret", Line("EXPORTER_SECRET", 1, 32), TlsSecretKind::ClientTraffic0,
                  0},
             Case{"line longer than the limit", std::string(600, ' ') + Line("CLIENT_RANDOM", 1),
                  TlsSecretKind::MasterSecret, 0},
             Case{"no line end", Line("CLIENT_RANDOM", 1).substr(0, 170),
                  TlsSecretKind::MasterSecret, 0},
             Case{"NUL inside", "CLIENT_RANDOM " + random + std::string(1, '\0') + secret48 + "\n",
                  TlsSecretKind::MasterSecret, 0},
         }) {
        SCOPED_TRACE(test.name);
        KeyLog keyLog;
        EXPECT_EQ(keyLog.AddText("\n# a comment\n\n" + test.text), test.secretBytes > 0);
        const std::string found = Found(keyLog, 1, test.kind);
        if (test.secretBytes == 0) {
            EXPECT_EQ(found, "");
            EXPECT_EQ(keyLog.ConnectionCount(), 0u);
        } else {
            EXPECT_EQ(found, test.secretBytes == 48 ? secret48 : secret32);
            EXPECT_EQ(keyLog.Generation(), 1u);
        }
    }
}

TEST(KeyLog, OneEntryPerConnectionOldestDroppedPastTheBound) {
    KeyLog keyLog({}, KeyLogLimits{4});
    for (unsigned seed = 1; seed <= 6; ++seed) {
        keyLog.AddText(Line("CLIENT_HANDSHAKE_TRAFFIC_SECRET", seed, 32) +
                       Line("SERVER_HANDSHAKE_TRAFFIC_SECRET", seed, 32));
    }
    // The same line again changes nothing.
    EXPECT_FALSE(keyLog.AddText(Line("SERVER_HANDSHAKE_TRAFFIC_SECRET", 6, 32)));
    EXPECT_EQ(keyLog.ConnectionCount(), 4u);
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        const bool kept = seed > 2;
        EXPECT_EQ(Found(keyLog, seed, TlsSecretKind::ClientHandshakeTraffic).empty(), !kept);
        EXPECT_EQ(Found(keyLog, seed, TlsSecretKind::ServerHandshakeTraffic).empty(), !kept);
        EXPECT_EQ(Found(keyLog, seed, TlsSecretKind::ClientTraffic0), "");
    }
}

TEST(KeyLog, FollowsAFileThatAppearsGrowsAndIsReplaced) {
    TempFolder folder;
    const std::filesystem::path path = folder.path / "keys.log";
    KeyLog keyLog(path.string());
    std::vector<std::string> notices;
    keyLog.SetNoticeSink([&](const std::string& text) { notices.push_back(text); });
    EXPECT_FALSE(keyLog.Poll());  // not there yet

    // A browser starts and writes one line and the start of another.
    const std::string second = Line("CLIENT_RANDOM", 2);
    Write(path, Line("CLIENT_RANDOM", 1) + second.substr(0, 70));
    EXPECT_TRUE(keyLog.Poll());
    EXPECT_NE(Found(keyLog, 1, TlsSecretKind::MasterSecret), "");
    EXPECT_EQ(Found(keyLog, 2, TlsSecretKind::MasterSecret), "");
    EXPECT_FALSE(keyLog.Poll());  // nothing changed

    Write(path, second.substr(70));
    EXPECT_TRUE(keyLog.Poll());
    EXPECT_NE(Found(keyLog, 2, TlsSecretKind::MasterSecret), "");

    // A line past the length limit, split over two writes, is skipped; the next one counts.
    Write(path, std::string(400, 'x'));
    EXPECT_FALSE(keyLog.Poll());
    Write(path, std::string(400, 'y') + Line("CLIENT_RANDOM", 9) + Line("CLIENT_RANDOM", 3));
    EXPECT_TRUE(keyLog.Poll());
    EXPECT_EQ(Found(keyLog, 9, TlsSecretKind::MasterSecret), "");
    EXPECT_NE(Found(keyLog, 3, TlsSecretKind::MasterSecret), "");

    // Replaced by a new file (a new browser session): read from its start, with a partial line
    // of the old file forgotten.
    Write(path, Line("CLIENT_RANDOM", 5).substr(0, 50));
    EXPECT_FALSE(keyLog.Poll());
    const std::filesystem::path fresh = folder.path / "keys.new";
    Write(fresh, Line("CLIENT_TRAFFIC_SECRET_0", 4, 32));
    std::filesystem::rename(fresh, path);
    EXPECT_TRUE(keyLog.Poll());
    EXPECT_NE(Found(keyLog, 4, TlsSecretKind::ClientTraffic0), "");
    EXPECT_EQ(Found(keyLog, 5, TlsSecretKind::MasterSecret), "");
    EXPECT_NE(Found(keyLog, 1, TlsSecretKind::MasterSecret), "");  // still known

    // Cut short and written again, longer than before, between two looks.
    Write(path, Line("SERVER_TRAFFIC_SECRET_0", 6, 48), std::ios::trunc);
    EXPECT_TRUE(keyLog.Poll());
    EXPECT_NE(Found(keyLog, 6, TlsSecretKind::ServerTraffic0), "");

    // Removed: what was read stays; a file that comes back is read again.
    std::filesystem::remove(path);
    EXPECT_FALSE(keyLog.Poll());
    EXPECT_NE(Found(keyLog, 6, TlsSecretKind::ServerTraffic0), "");
    Write(path, Line("CLIENT_RANDOM", 7));
    EXPECT_TRUE(keyLog.Poll());
    EXPECT_NE(Found(keyLog, 7, TlsSecretKind::MasterSecret), "");

    // Something that is not a regular file in its place is not opened, and is said once.
    EXPECT_EQ(notices, std::vector<std::string>());
    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(keyLog.Poll());
    EXPECT_FALSE(keyLog.Poll());
    EXPECT_EQ(notices, std::vector<std::string>{"the key log '" + path.string() +
                                                "' is a FIFO, not a regular file: TLS keys are "
                                                "read from a regular file only, so HTTPS is not "
                                                "decrypted"});
}

// A long stretch without keys (empty lines, a line of megabytes, lines of junk) is read a step
// per Poll, each step bounded, until the keys after it; that none came in the first 16 MiB is
// said once.
TEST(KeyLog, KeysAfterALongStretchWithoutAnyAreReadStepByStep) {
    TempFolder folder;
    const std::filesystem::path path = folder.path / "keys.log";
    std::string junkLines;
    std::string junkLine(100, 'j');
    junkLine.back() = '\n';
    while (junkLines.size() < (6u << 20)) junkLines += junkLine;
    std::string text(3u << 20, '\n');
    text.append(8u << 20, 'x').append(1, '\n').append(junkLines);
    text += Line("CLIENT_RANDOM", 1);
    text += Line("CLIENT_TRAFFIC_SECRET_0", 2, 32);
    Write(path, text);
    const auto size = std::filesystem::file_size(path);
    KeyLog keyLog(path.string());
    std::vector<std::string> notices;
    keyLog.SetNoticeSink([&](const std::string& text) { notices.push_back(text); });
    std::size_t polls = 0;
    bool added = false;
    do {
        added = keyLog.Poll() || added;
        ++polls;
    } while (keyLog.Behind() && polls < 1000);
    EXPECT_TRUE(added);
    EXPECT_EQ(polls, (size + KeyLogLimits{}.maxReadPerPoll - 1) / KeyLogLimits{}.maxReadPerPoll);
    EXPECT_NE(Found(keyLog, 1, TlsSecretKind::MasterSecret), "");
    EXPECT_NE(Found(keyLog, 2, TlsSecretKind::ClientTraffic0), "");
    EXPECT_EQ(notices, std::vector<std::string>{
                           "the key log '" + path.string() +
                           "' holds no TLS key in its first 16 MiB: HTTPS is decrypted only once "
                           "the browser writes its keys there (SSLKEYLOGFILE)"});
    EXPECT_FALSE(keyLog.Poll());
    EXPECT_FALSE(keyLog.Behind());
}

TEST(KeyLog, LookupsWhileAnotherThreadPolls) {
    TempFolder folder;
    const std::filesystem::path path = folder.path / "keys.log";
    KeyLog keyLog(path.string(), KeyLogLimits{64});
    constexpr unsigned kLines = 400;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (unsigned seed = 1; seed <= kLines; ++seed) {
            Write(path, Line("CLIENT_RANDOM", seed));
            keyLog.Poll();
        }
        done = true;
    });
    std::vector<std::thread> readers;
    std::atomic<unsigned> seen{0};
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&] {
            while (!done) {
                for (unsigned seed = 1; seed <= kLines; seed += 7)
                    seen += !Found(keyLog, seed, TlsSecretKind::MasterSecret).empty();
            }
        });
    }
    writer.join();
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(keyLog.ConnectionCount(), 64u);
    EXPECT_NE(Found(keyLog, kLines, TlsSecretKind::MasterSecret), "");
    EXPECT_EQ(Found(keyLog, kLines - 64, TlsSecretKind::MasterSecret), "");
}
