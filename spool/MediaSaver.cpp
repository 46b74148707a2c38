#include "spool/MediaSaver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <unordered_map>

#include "base/StagedFile.h"
#include "mediarules/Playlist.h"
#include "mediarules/UrlReference.h"
#include "spool/CapturedStreamJoin.h"
#include "spool/SpoolFolder.h"
#include "spool/StreamIndex.h"

namespace {

constexpr std::size_t kMaxNameBytes = 100;
constexpr std::size_t kMaxExtensionBytes = 16;
// Names tried for one medium: NAME, NAME-2, ... NAME-99.
constexpr int kMaxNameTries = 99;

bool SafeByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '-' || c == '_';
}

// The last segment of a URL's path, without query or fragment.
std::string_view LastSegment(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme != std::string_view::npos) {
        url.remove_prefix(scheme + 3);
        const std::size_t path = url.find('/');
        url = path == std::string_view::npos ? std::string_view() : url.substr(path);
    }
    url = url.substr(0, url.find_first_of("?#"));
    const std::size_t slash = url.rfind('/');
    return slash == std::string_view::npos ? url : url.substr(slash + 1);
}

// `name` with its extension kept, made safe and bounded; "media" when nothing is left.
std::string SafeSegment(std::string_view segment) {
    std::string name;
    for (const char c : segment) name += SafeByte(c) ? c : '_';
    while (!name.empty() && name.front() == '.') name.erase(0, 1);
    if (name.size() > kMaxNameBytes) {
        const std::size_t dot = name.rfind('.');
        std::string extension;
        if (dot != std::string::npos && name.size() - dot <= kMaxExtensionBytes)
            extension = name.substr(dot);
        name = name.substr(0, kMaxNameBytes - extension.size()) + extension;
    }
    return name.empty() ? "media" : name;
}

// "NAME-2.ext" for try 2.
std::string Candidate(const std::string& name, int attempt) {
    if (attempt == 1)
        return name;
    const std::size_t dot = name.find('.', name.find('-') + 1);
    const std::string suffix = "-" + std::to_string(attempt);
    return dot == std::string::npos ? name + suffix
                                    : name.substr(0, dot) + suffix + name.substr(dot);
}

int CopyInto(int fromDir, const std::string& from, int toFd) {
    const int in = openat(fromDir, from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return errno;
    int error = 0;
    for (;;) {
        const ssize_t n = copy_file_range(in, nullptr, toFd, nullptr, 1u << 30, 0);
        if (n > 0)
            continue;
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            error = errno;
            break;
        }
        // Across file systems that refuse it: by hand.
        char buffer[1 << 16];
        for (;;) {
            const ssize_t got = read(in, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                error = got < 0 ? errno : 0;
                break;
            }
            for (ssize_t done = 0; done < got;) {
                const ssize_t put = write(toFd, buffer + done, static_cast<std::size_t>(got - done));
                if (put < 0 && errno == EINTR)
                    continue;
                if (put <= 0) {
                    error = put < 0 ? errno : ENOSPC;
                    break;
                }
                done += put;
            }
            if (error != 0)
                break;
        }
        break;
    }
    close(in);
    return error;
}

// Puts the spool's file `from` into `toDir` under the first free name of `wanted`, linked when
// the file system allows, else copied; never over a file that is there. Gives the name taken,
// or nothing with `error` set.
std::optional<std::string> Place(int fromDir, const std::string& from, int toDir,
                                 const std::string& wanted, int& error) {
    bool link = true;
    for (int attempt = 1; attempt <= kMaxNameTries; ++attempt) {
        const std::string name = Candidate(wanted, attempt);
        if (link) {
            if (linkat(fromDir, from.c_str(), toDir, name.c_str(), 0) == 0) {
                fchmodat(toDir, name.c_str(), NewFileMode(), 0);
                return name;
            }
            if (errno == EEXIST)
                continue;
            link = false;  // another file system, or links refused: copy
        }
        const int out = openat(toDir, name.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (out < 0) {
            if (errno == EEXIST)
                continue;
            error = errno;
            return std::nullopt;
        }
        error = CopyInto(fromDir, from, out);
        if (close(out) != 0 && error == 0)
            error = errno;
        if (error != 0) {
            unlinkat(toDir, name.c_str(), 0);
            return std::nullopt;
        }
        return name;
    }
    error = EEXIST;
    return std::nullopt;
}

// Writes `bytes` as a new file `name` in `dir`; false with `error` set.
bool WriteNew(int dir, const std::string& name, std::string_view bytes, int& error) {
    const int fd = openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          0666);
    if (fd < 0) {
        error = errno;
        return false;
    }
    error = 0;
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0)
        unlinkat(dir, name.c_str(), 0);
    return error == 0;
}

std::optional<std::string> ReadText(int dir, const std::string& name, std::size_t limit) {
    const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || text.size() + static_cast<std::size_t>(n) > limit)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

// The value of URI="..." in an HLS tag line, as [start, end) of the line; nothing when none.
std::optional<std::pair<std::size_t, std::size_t>> UriAttribute(std::string_view line) {
    std::size_t at = 0;
    while ((at = line.find("URI=\"", at)) != std::string_view::npos) {
        // An attribute name starts the list or follows a comma: not "...XURI=".
        if (at == 0 || line[at - 1] == ',' || line[at - 1] == ':') {
            const std::size_t open = at + 5;
            const std::size_t close = line.find('"', open);
            if (close == std::string_view::npos)
                return std::nullopt;
            return std::make_pair(open, close);
        }
        at += 5;
    }
    return std::nullopt;
}

// An HLS playlist fetched from `url` with each URI that `local` knows replaced by its local
// name and every other one made absolute; `missing` counts those.
std::string RewriteHls(std::string_view text, const std::string& url,
                       const std::function<std::optional<std::string>(const std::string&)>& local,
                       std::size_t& missing) {
    std::string out;
    out.reserve(text.size());
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t end = text.find('\n', position);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(position, end - position);
        position = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const auto replace = [&](std::string_view reference) {
            const std::string absolute = ResolveReference(url, reference);
            if (absolute.empty())
                return std::string(reference);
            if (auto name = local(absolute))
                return *name;
            ++missing;
            return absolute;
        };
        if (line.empty()) {
            out += '\n';
        } else if (line.front() != '#') {
            out += replace(line);
            out += '\n';
        } else if (const auto uri = UriAttribute(line)) {
            out.append(line.substr(0, uri->first));
            out += replace(line.substr(uri->first, uri->second - uri->first));
            out.append(line.substr(uri->second));
            out += '\n';
        } else {
            out.append(line);
            out += '\n';
        }
    }
    return out;
}

std::string HoleText(const std::vector<CopyInterval>& holes, std::optional<std::uint64_t> total) {
    std::string text;
    std::size_t shown = 0;
    for (const CopyInterval& hole : holes) {
        if (shown == 4) {
            text += " and " + std::to_string(holes.size() - shown) + " more";
            break;
        }
        text += (shown == 0 ? "" : ", ") + std::to_string(hole.first) + "-" +
                std::to_string(hole.end - 1);
        ++shown;
    }
    if (!total)
        text += (text.empty() ? "" : ", ") + std::string("its end");
    return text;
}

}  // namespace

std::string SavedMediaName(int number, std::string_view url, std::string_view type) {
    std::string name = SafeSegment(LastSegment(url));
    bool cleanType = !type.empty() && type.size() <= 8;
    for (const char c : type) cleanType = cleanType && SafeByte(c) && c != '.' && c != '-';
    if (name.find('.') == std::string::npos && cleanType) {
        name += '.';
        for (const char c : type)
            name += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return std::to_string(number) + "-" + name;
}

MediaSaver::MediaSaver(int spoolFd, const std::string& outputFolder)
    : m_spoolFd(spoolFd), m_outputFolder(outputFolder), m_converter(FindJoinConverter()) {
    if (mkdir(outputFolder.c_str(), 0777) != 0 && errno != EEXIST) {
        m_error = "cannot make the folder '" + outputFolder + "': " + std::strerror(errno);
        return;
    }
    m_outputFd = open(outputFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_outputFd < 0)
        m_error = "cannot open the folder '" + outputFolder + "': " + std::strerror(errno);
}

MediaSaver::~MediaSaver() {
    if (m_outputFd >= 0)
        close(m_outputFd);
}

SavedMedium MediaSaver::Save(const SniffedMedia& record, const CopyStatus& status) {
    if (status.state == CopyState::Gone || (status.keptBytes == 0 && status.parts == 0)) {
        SavedMedium saved;
        saved.note = "not saved: nothing of it was kept";
        if (status.stop != CopyStop::None)
            saved.note += std::string(" (") + CopyStopText(status.stop) + ")";
        return saved;
    }
    return status.kind == CopyKind::Stream ? SaveStream(record, status) : SaveFile(record, status);
}

SavedMedium MediaSaver::SaveFile(const SniffedMedia& record, const CopyStatus& status) {
    SavedMedium saved;
    std::string name = SavedMediaName(record.number, record.url, record.type);
    const bool whole = status.state == CopyState::Whole;
    if (!whole)
        name += ".partial";
    int error = 0;
    const auto placed = Place(m_spoolFd, status.name, m_outputFd, name, error);
    if (!placed) {
        saved.note = "not saved: " + m_outputFolder + "/" + name + ": " + std::strerror(error);
        return saved;
    }
    saved.path = m_outputFolder + "/" + *placed;
    if (!whole) {
        const std::uint64_t total = status.total.value_or(0);
        std::vector<CopyInterval> holes;
        std::uint64_t at = 0;
        for (const CopyInterval& kept : status.intervals) {
            if (kept.first > at)
                holes.push_back({at, kept.first});
            at = std::max(at, kept.end);
        }
        if (status.total && at < total)
            holes.push_back({at, total});
        saved.note = "bytes " + HoleText(holes, status.total) +
                     (status.total ? " of " + std::to_string(total) : std::string()) +
                     " were not captured";
        if (status.stop != CopyStop::None)
            saved.note += std::string(" (stopped: ") + CopyStopText(status.stop) + ")";
        saved.note += "; saved what was as " + *placed;
    }
    return saved;
}

std::optional<SavedMedium> MediaSaver::JoinStream(const SniffedMedia& record,
                                                  const CopyStatus& status, std::string& why) {
    // The work folder lies inside the output folder: the joined file goes in by a link.
    const std::string work = MakePrivateFolder(m_outputFolder, ".pelnix-join-", why);
    if (work.empty())
        return std::nullopt;
    CapturedStreamLayout layout;
    std::optional<SavedMedium> saved;
    if (!LayOutCapturedStream(m_spoolFd, status, work, layout, why)) {
        RemoveSpoolFolder(work);
        return std::nullopt;
    }
    if (!layout.Whole()) {
        why = std::to_string(layout.missing.size()) + " of its segments were not captured (" +
              layout.missing.front() + (layout.missing.size() > 1 ? ", ..." : "") + ")";
        RemoveSpoolFolder(work);
        return std::nullopt;
    }
    const std::string joined = work + "/joined.mp4";
    // Copying the streams goes at the speed of the disk; a long stream gets more time.
    const auto limit = std::chrono::minutes(10) +
                       std::chrono::milliseconds(static_cast<long long>(
                           std::min(layout.seconds, 1e7) * 100));
    if (JoinCapturedStream(m_converter, layout, joined, why, limit)) {
        std::string name = SavedMediaName(record.number, record.url, {});
        const std::size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot > name.find('-'))
            name.resize(dot);
        name += ".mp4";
        int error = EEXIST;
        for (int attempt = 1; attempt <= kMaxNameTries && error == EEXIST; ++attempt) {
            const std::string candidate = Candidate(name, attempt);
            if (linkat(AT_FDCWD, joined.c_str(), m_outputFd, candidate.c_str(), 0) == 0) {
                fchmodat(m_outputFd, candidate.c_str(), NewFileMode(), 0);
                saved = SavedMedium{m_outputFolder + "/" + candidate, {}, {}};
                error = 0;
            } else {
                error = errno;
            }
        }
        if (error != 0)
            why = "cannot put the joined file in " + m_outputFolder + ": " + std::strerror(error);
    }
    RemoveSpoolFolder(work);
    return saved;
}

SavedMedium MediaSaver::SaveStream(const SniffedMedia& record, const CopyStatus& status) {
    std::string unjoined = "no converter (ffmpeg) was found";
    if (!m_converter.empty()) {
        if (std::optional<SavedMedium> joined = JoinStream(record, status, unjoined))
            return *joined;
    }
    SavedMedium saved;
    const int copyFd = openat(m_spoolFd, status.name.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    StreamIndex index;
    std::string why;
    if (copyFd < 0 || !ReadStreamIndex(copyFd, index, why)) {
        if (copyFd >= 0)
            close(copyFd);
        saved.note = "not saved: " + (why.empty() ? std::string(std::strerror(errno)) : why);
        return saved;
    }
    std::string folder = SavedMediaName(record.number, record.url, {});
    const std::size_t dot = folder.rfind('.');
    if (dot != std::string::npos && dot > folder.find('-'))
        folder.resize(dot);
    if (status.state == CopyState::Holes || status.state == CopyState::Stopped)
        folder += ".partial";
    std::string taken;
    for (int attempt = 1; attempt <= kMaxNameTries && taken.empty(); ++attempt) {
        const std::string name = Candidate(folder, attempt);
        if (mkdirat(m_outputFd, name.c_str(), 0777) == 0)
            taken = name;
        else if (errno != EEXIST)
            break;
    }
    const int outFd = taken.empty() ? -1
                                    : openat(m_outputFd, taken.c_str(),
                                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (outFd < 0) {
        saved.note = "not saved: cannot make a folder " + m_outputFolder + "/" + folder + ": " +
                     std::strerror(errno);
        close(copyFd);
        return saved;
    }
    saved.path = m_outputFolder + "/" + taken;

    // Pieces first: the playlists name them.
    std::unordered_map<std::string, std::string> localName;
    std::string listing;
    int error = 0;
    std::size_t failed = 0;
    for (const StreamIndexPart& part : index.parts) {
        char number[16];
        std::snprintf(number, sizeof number, "%05u-", part.number);
        const std::string wanted = number + SafeSegment(LastSegment(part.url));
        const auto placed = Place(copyFd, part.file, outFd, wanted, error);
        if (!placed) {
            ++failed;
            continue;
        }
        if (part.complete)
            localName[part.url] = *placed;
        listing += *placed + "\t" + EscapeIndexField(part.url) + "\n";
    }
    std::size_t k = 0;
    for (const StreamIndexPlaylist& playlist : index.playlists) {
        const bool listed = playlist.url == index.url;
        const std::string extension = index.kind == StreamKind::Dash ? ".mpd" : ".m3u8";
        localName[playlist.url] =
            listed ? "playlist" + extension
                   : "p" + std::to_string(++k) + "-" + SafeSegment(LastSegment(playlist.url));
    }
    std::size_t missing = 0;
    const auto local = [&localName](const std::string& url) -> std::optional<std::string> {
        const auto found = localName.find(url);
        return found == localName.end() ? std::nullopt : std::optional<std::string>(found->second);
    };
    for (const StreamIndexPlaylist& playlist : index.playlists) {
        const auto text = ReadText(copyFd, playlist.file, kMaxPlaylistBytes);
        if (!text) {
            ++failed;
            continue;
        }
        // A DASH manifest is kept as it came: its templates are the local join's to follow.
        const std::string written = index.kind == StreamKind::Hls
                                        ? RewriteHls(*text, playlist.url, local, missing)
                                        : *text;
        if (!WriteNew(outFd, localName[playlist.url], written, error))
            ++failed;
    }
    if (!WriteNew(outFd, "pieces.txt", listing, error))
        ++failed;
    close(outFd);
    close(copyFd);

    if (status.state == CopyState::Unchecked) {
        saved.note = std::to_string(index.parts.size()) +
                     " pieces saved; whether they are all of the stream cannot be told";
    } else if (status.state != CopyState::Whole) {
        saved.note = std::to_string(status.wholeParts) + " of " + std::to_string(status.parts) +
                     " pieces whole";
        if (missing > 0)
            saved.note += ", " + std::to_string(missing) +
                          " references of its playlists not captured (left as their URLs)";
        if (status.stop != CopyStop::None)
            saved.note += std::string(" (stopped: ") + CopyStopText(status.stop) + ")";
    }
    if (failed > 0) {
        saved.note += std::string(saved.note.empty() ? "" : "; ") + std::to_string(failed) +
                      " files could not be written: " + std::strerror(error);
    }
    saved.notice = "not joined into one file: " + unjoined + "; saved its pieces in " + taken;
    return saved;
}
