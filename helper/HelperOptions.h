// The capture helper's command line. The parent passes options through unchanged; the helper
// refuses anything it does not know, so a mistyped or foreign option never goes unnoticed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "streams/StreamOptions.h"

struct HelperOptions {
    using Rules = CaptureRules;
    // --rules packets|streams: plain HTTP by the single-packet rules, or by the stream engine.
    Rules rules = Rules::Packets;
    // --keylog FILE: the TLS key log, an absolute path; the stream engine reads TLS with it
    // (under either rules).
    std::string keyLogFile;
    // --budget BYTES (with the stream engine): its memory; 0 for its default.
    std::uint64_t budgetBytes = 0;
    // --spool-fd N (with the stream engine): an open folder, the parent's private spool, that
    // the copies of listed media are written into; -1 for none. The helper keeps it open when
    // it closes every other inherited descriptor.
    int spoolFd = -1;
    // --spool-bytes BYTES (with --spool-fd): the copies' size limit; 0 for its default.
    std::uint64_t spoolBytes = 0;
};

// Bounds of --budget.
inline constexpr std::uint64_t kMinBudgetBytes = 1u << 20;
inline constexpr std::uint64_t kMaxBudgetBytes = std::uint64_t{1} << 40;
// Bounds of --spool-bytes.
inline constexpr std::uint64_t kMinSpoolBytes = 1u << 20;
inline constexpr std::uint64_t kMaxSpoolBytes = std::uint64_t{1} << 50;

// Parses the arguments after the program name. On a fault gives nothing and puts the reason in
// `error`.
std::optional<HelperOptions> ParseHelperOptions(const std::vector<std::string>& args,
                                                std::string& error);

// The usage lines of the helper's options.
extern const char* const kHelperUsage;
