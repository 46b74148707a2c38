#include "converter/ConverterOutput.h"

#include <fcntl.h>
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
#include "mediarules/MediaSignatures.h"

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

// The reader of each container the signatures tell.
std::string_view ReaderOfContainer(Container container) {
    switch (container) {
        case Container::Flv:
            return "flv";
        case Container::Mp3:
            return "mp3";
        case Container::Mp4:
            return "mov";
        case Container::Webm:
        case Container::Mkv:
            return "matroska";
        case Container::Ogg:
            return "ogg";
        case Container::Ts:
            return "mpegts";
        case Container::Aac:
            return "aac";
        case Container::Flac:
            return "flac";
        case Container::Wav:
            return "wav";
        case Container::None:
        case Container::Fragment:  // a piece of a stream: its type may still tell
            break;
    }
    return {};
}

// The reader of the types the list shows (the packet rules' subtypes less "x-", the stream
// engine's container names); empty for a type that names none.
std::string_view ReaderOfType(std::string_view type) {
    static constexpr struct {
        std::string_view type, reader;
    } kReaders[] = {
        {"flv", "flv"},      {"mp4", "mov"},       {"m4a", "mov"},           {"m4v", "mov"},
        {"mov", "mov"},      {"quicktime", "mov"}, {"3gp", "mov"},           {"3gpp", "mov"},
        {"3g2", "mov"},      {"3gpp2", "mov"},     {"f4v", "mov"},           {"webm", "matroska"},
        {"mkv", "matroska"}, {"mka", "matroska"},  {"matroska", "matroska"}, {"ts", "mpegts"},
        {"mp2t", "mpegts"},  {"m2ts", "mpegts"},   {"mp3", "mp3"},           {"mpeg3", "mp3"},
        {"aac", "aac"},      {"ogg", "ogg"},       {"oga", "ogg"},           {"ogv", "ogg"},
        {"flac", "flac"},    {"wav", "wav"},       {"wave", "wav"},          {"avi", "avi"},
        {"msvideo", "avi"},  {"ms-wmv", "asf"},    {"ms-asf", "asf"},        {"asf", "asf"},
        {"wmv", "asf"},      {"mpeg", "mpeg"},
    };
    for (const auto& entry : kReaders) {
        if (EqualsNoCase(entry.type, type))
            return entry.reader;
    }
    return {};
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

std::string DurationQueryCommand(std::string_view ffmpegExe, std::string_view inputPath,
                                 const std::vector<std::string>& inputArguments) {
    std::string command = "exec " + ShellQuote(ffmpegExe);
    for (const std::string& argument : inputArguments) command += " " + ShellQuote(argument);
    return command + " -i " + ShellQuote(inputPath);
}

std::vector<std::string> LocalInputArguments(std::string_view start, std::string_view type) {
    std::string_view reader = ReaderOfContainer(DetectContainer(start));
    if (reader.empty())
        reader = ReaderOfType(type);
    std::vector<std::string> arguments = {"-protocol_whitelist", "file"};
    if (reader.empty()) {
        // The converter picks the reader that fits the bytes best and refuses it when it is
        // not listed: a playlist is read by nothing.
        arguments.insert(arguments.end(), {"-format_whitelist", kSingleMediaReaders});
    } else {
        arguments.insert(arguments.end(), {"-f", std::string(reader)});
    }
    return arguments;
}

std::string ReadFileStart(const std::string& path, std::size_t limit) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return {};
    std::string start;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        start.resize(limit);
        std::size_t have = 0;
        while (have < limit) {
            const ssize_t n = ::read(fd, start.data() + have, limit - have);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            have += static_cast<std::size_t>(n);
        }
        start.resize(have);
    }
    ::close(fd);
    return start;
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
