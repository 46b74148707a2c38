// What the user chose for the stream engine: which rules read plain HTTP, the TLS key log, and
// the memory of all its connections together. The settings (CaptureRules, TlsKeyLogFile,
// StreamBudgetMiB) and the options (--rules, --keylog, --budget) fill the same values.
#pragma once

#include <cstdint>
#include <string>

enum class CaptureRules : std::uint8_t {
    Packets,  // plain HTTP by the packet rules; the stream engine reads TLS alone
    Streams,  // the stream engine reads plain HTTP too, and the packet rules stand aside
};

inline constexpr std::uint64_t kDefaultStreamBudgetBytes = std::uint64_t{64} << 20;

struct StreamOptions {
    CaptureRules rules = CaptureRules::Packets;
    // The TLS key log (NSS format), an absolute path; empty for none. It may not exist yet.
    std::string keyLogFile;
    std::uint64_t budgetBytes = kDefaultStreamBudgetBytes;

    // The engine runs when it has something to read: TLS with a key log, or plain HTTP.
    bool EngineRuns() const { return rules == CaptureRules::Streams || !keyLogFile.empty(); }
};

// "packets" or "streams".
const char* CaptureRulesText(CaptureRules rules);
