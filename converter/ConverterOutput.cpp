#include "converter/ConverterOutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/StagedFile.h"
#include "base/Text.h"

namespace {

// The number at the start of `text` the way atof reads it (leading blanks, a sign, decimal or
// exponent form, inf and nan), but independent of the locale. `used` receives how many
// characters were read; 0 when there is no number.
double LeadingNumber(std::string_view text, std::size_t& used) {
    used = 0;
    std::size_t i = 0;
    while (i < text.size() && IsWhiteSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // from_chars would take its own minus sign; a second sign is not a number.
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        return 0;
    double value = 0;
    const char* first = text.data() + i;
    const auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
    if (ec != std::errc{})
        return 0;
    used = static_cast<std::size_t>(end - text.data());
    return negative ? -value : value;
}

// The time at the start of `rest` (the text after " time="), and in `used` how much it took; 0
// with `used` 0 when it does not start with a number.
double TimeValue(std::string_view rest, std::size_t& end) {
    std::size_t used = 0;
    end = 0;
    double seconds = LeadingNumber(rest, used);
    if (used == 0)
        return 0;
    std::size_t consumed = used;
    // Newer converters print HH:MM:SS.ss; older ones plain seconds.
    for (int part = 0; part < 2 && consumed < rest.size() && rest[consumed] == ':'; ++part) {
        const double next = LeadingNumber(rest.substr(consumed + 1), used);
        if (used == 0)
            return 0;
        consumed += used + 1;
        seconds = seconds * 60 + (std::signbit(seconds) ? -next : next);
    }
    end = consumed;
    return seconds;
}

}  // namespace

double ParseProgressTime(std::string_view chunk) {
    constexpr std::string_view kMarker = " time=";
    // The latest complete time wins: a delivery may join several progress lines, and the last
    // one may be cut off in the middle of its number.
    for (std::size_t at = chunk.rfind(kMarker); at != std::string_view::npos;
         at = at == 0 ? std::string_view::npos : chunk.rfind(kMarker, at - 1)) {
        const std::string_view rest = chunk.substr(at + kMarker.size());
        std::size_t end = 0;
        const double seconds = TimeValue(rest, end);
        if (end > 0 && end < rest.size())
            return seconds;
    }
    return 0;
}

double ParseDuration(std::string_view output) {
    constexpr std::string_view kMarker = "Duration: ";
    const auto at = output.find(kMarker);
    if (at == std::string_view::npos)
        return 0;
    std::string_view rest = output.substr(at + kMarker.size());
    std::size_t used = 0;
    const std::uint64_t hours = LeadingDecimal(rest, used);
    if (used == 0)
        return 0;  // "N/A" and anything else that is not a time
    double seconds = static_cast<double>(hours) * 3600;
    if (used >= rest.size() || rest[used] != ':')
        return seconds;
    rest.remove_prefix(used + 1);
    const std::uint64_t minutes = LeadingDecimal(rest, used);
    if (used == 0)
        return seconds;
    seconds += static_cast<double>(minutes) * 60;
    if (used >= rest.size() || rest[used] != ':')
        return seconds;
    rest.remove_prefix(used + 1);
    const double wholeSeconds = LeadingNumber(rest, used);
    return seconds + wholeSeconds;
}

std::string ShellQuote(std::string_view path) {
    std::string quoted;
    quoted.reserve(path.size() + 2);
    quoted += '\'';
    for (const char c : path) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

std::string DurationQueryCommand(std::string_view ffmpegExe, std::string_view inputPath) {
    return "exec " + ShellQuote(ffmpegExe) + " -i " + ShellQuote(inputPath);
}

std::string ConversionCommand(std::string_view ffmpegExe, std::string_view inputPath,
                              std::string_view options, std::string_view outputPath,
                              const std::vector<std::string>& inputArguments) {
    std::string command = "exec " + ShellQuote(ffmpegExe) + " -y";
    for (const std::string& argument : inputArguments) command += " " + ShellQuote(argument);
    command += " -i " + ShellQuote(inputPath) + " ";
    command.append(options);
    command += " " + ShellQuote(outputPath) + "\n";
    return command;
}

std::string ConversionFailureText(const std::string& path, const std::string& fallback) {
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (!file)
        return fallback;
    std::string report;
    bool bannerPassed = false;
    char line[4096];
    while (std::fgets(line, sizeof line, file)) {
        if (bannerPassed) {
            report += line;
        } else if (std::strstr(line, "built with") || std::strstr(line, "built on")) {
            bannerPassed = true;
        }
    }
    std::fclose(file);
    return report;
}

std::string LastReportLines(std::string_view report, std::size_t maxLines,
                            std::size_t maxLineBytes) {
    while (!report.empty() && (report.back() == '\n' || report.back() == '\r'))
        report.remove_suffix(1);
    // Walk back line by line; only the lines shown are ever looked at.
    std::vector<std::string_view> lines;
    while (!report.empty() && lines.size() < maxLines) {
        const std::size_t cut = report.rfind('\n');
        std::string_view line = cut == std::string_view::npos ? report : report.substr(cut + 1);
        report = cut == std::string_view::npos ? std::string_view() : report.substr(0, cut);
        // A carriage return at the very end overwrites nothing.
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t overwritten = line.rfind('\r');
        if (overwritten != std::string_view::npos)
            line.remove_prefix(overwritten + 1);
        if (line.size() > maxLineBytes)
            line.remove_prefix(line.size() - maxLineBytes);
        lines.push_back(line);
    }
    std::string shown;
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        shown.append(*it);
        shown += '\n';
    }
    if (!shown.empty())
        shown.pop_back();
    return shown;
}

bool WriteWorkFile(const std::string& path, std::string_view text) {
    // A name that holds anything but a regular file (a link planted there, a folder, a device)
    // is not written through.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = S_ISLNK(st.st_mode) ? ELOOP : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    // Written beside, then renamed over the name: a link planted meanwhile is replaced, never
    // followed, and a killed program leaves no half-written script under the name.
    StagedFile file;
    if (!file.Create(path) || !file.WriteAll(text.data(), text.size()) || !file.Commit(0600)) {
        const int error = errno;
        file.Discard();
        errno = error;
        return false;
    }
    return true;
}

bool WriteTextFile(const std::string& path, std::string_view text) {
    std::string line(text);
    line += '\n';
    return WriteWorkFile(path, line);
}

std::string WorkFileFailureText(const std::string& path, int error) {
    return "Cannot write the work file\n\n   " + path + "\n\n" + std::strerror(error) + ".";
}
