#include "helper/HelperOptions.h"

#include <string_view>

const char* const kHelperUsage =
    "Usage: pelnix-capture [--rules packets|streams] [--keylog FILE] [--budget BYTES]\n"
    "                      [--spool-fd N [--spool-bytes BYTES]]\n"
    "Opens every usable network adapter, gives up its capabilities, and writes the media it\n"
    "sniffs as a record stream on standard output; reads commands on standard input and ends\n"
    "when that closes. Started by pelnix and pelnix-sniff, not by hand.\n";

namespace {

// A decimal number without sign, blanks or leading zeros, at most `max`.
std::optional<std::uint64_t> ParseCount(std::string_view text, std::uint64_t max) {
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0'))
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9')
            return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(ch - '0');
        if (value > (max - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

std::optional<HelperOptions> ParseHelperOptions(const std::vector<std::string>& args,
                                                std::string& error) {
    HelperOptions options;
    bool rulesGiven = false;
    bool keyLogGiven = false;
    bool budgetGiven = false;
    bool spoolFdGiven = false;
    bool spoolBytesGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool known = arg == "--rules" || arg == "--keylog" || arg == "--budget" ||
                           arg == "--spool-fd" || arg == "--spool-bytes";
        if (!known) {
            error = "unknown option '" + arg + "'";
            return std::nullopt;
        }
        bool& given = arg == "--rules"      ? rulesGiven
                      : arg == "--keylog"   ? keyLogGiven
                      : arg == "--budget"   ? budgetGiven
                      : arg == "--spool-fd" ? spoolFdGiven
                                            : spoolBytesGiven;
        if (given) {
            error = arg + " is given twice";
            return std::nullopt;
        }
        given = true;
        if (i + 1 >= args.size()) {
            error = arg + " needs a value";
            return std::nullopt;
        }
        const std::string& value = args[++i];
        if (arg == "--rules") {
            if (value == "packets") {
                options.rules = HelperOptions::Rules::Packets;
            } else if (value == "streams") {
                options.rules = HelperOptions::Rules::Streams;
            } else {
                error = "--rules takes packets or streams, not '" + value + "'";
                return std::nullopt;
            }
        } else if (arg == "--keylog") {
            if (value.empty() || value[0] != '/' || value.find('\0') != std::string::npos) {
                error = "--keylog needs an absolute file name, not '" + value + "'";
                return std::nullopt;
            }
            options.keyLogFile = value;
        } else if (arg == "--spool-fd") {
            // Not one of the standard three, which the record stream and messages use.
            const auto fd = ParseCount(value, 1u << 20);
            if (!fd || *fd < 3) {
                error = "--spool-fd needs a descriptor number above 2, not '" + value + "'";
                return std::nullopt;
            }
            options.spoolFd = static_cast<int>(*fd);
        } else if (arg == "--spool-bytes") {
            const auto bytes = ParseCount(value, kMaxSpoolBytes);
            if (!bytes || *bytes < kMinSpoolBytes) {
                error = "--spool-bytes needs a number of bytes from " +
                        std::to_string(kMinSpoolBytes) + " to " + std::to_string(kMaxSpoolBytes) +
                        ", not '" + value + "'";
                return std::nullopt;
            }
            options.spoolBytes = *bytes;
        } else {
            const auto bytes = ParseCount(value, kMaxBudgetBytes);
            if (!bytes || *bytes < kMinBudgetBytes) {
                error = "--budget needs a number of bytes from " + std::to_string(kMinBudgetBytes) +
                        " to " + std::to_string(kMaxBudgetBytes) + ", not '" + value + "'";
                return std::nullopt;
            }
            options.budgetBytes = *bytes;
        }
    }
    const bool engine = keyLogGiven || options.rules == HelperOptions::Rules::Streams;
    if (budgetGiven && !engine) {
        error = "--budget goes with --rules streams or --keylog";
        return std::nullopt;
    }
    if (spoolFdGiven && !engine) {
        error = "--spool-fd goes with --rules streams or --keylog";
        return std::nullopt;
    }
    if (spoolBytesGiven && !spoolFdGiven) {
        error = "--spool-bytes goes with --spool-fd";
        return std::nullopt;
    }
    return options;
}
