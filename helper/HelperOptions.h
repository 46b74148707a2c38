// The capture helper's command line. The parent passes options through unchanged; the helper
// refuses anything it does not know, so a mistyped or foreign option never goes unnoticed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct HelperOptions {
    enum class Rules { Packets, Streams };
    // --rules packets|streams: the single-packet rules, or the stream engine.
    Rules rules = Rules::Packets;
    // --keylog FILE (streams only): the TLS key log, an absolute path.
    std::string keyLogFile;
    // --budget BYTES (streams only): the stream engine's memory; 0 for its default.
    std::uint64_t budgetBytes = 0;
};

// Bounds of --budget.
inline constexpr std::uint64_t kMinBudgetBytes = 1u << 20;
inline constexpr std::uint64_t kMaxBudgetBytes = std::uint64_t{1} << 40;

// Parses the arguments after the program name. On a fault gives nothing and puts the reason in
// `error`.
std::optional<HelperOptions> ParseHelperOptions(const std::vector<std::string>& args,
                                                std::string& error);

// The usage lines of the helper's options.
extern const char* const kHelperUsage;
