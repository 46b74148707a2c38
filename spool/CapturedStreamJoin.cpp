#include "spool/CapturedStreamJoin.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <tuple>
#include <unordered_map>

#include "base/Globals.h"
#include "mediarules/Playlist.h"
#include "mediarules/StreamSegments.h"
#include "spool/SpoolFolder.h"
#include "spool/StreamIndex.h"

extern char** environ;

namespace {

constexpr std::size_t kKeyBytes = 16;
// The largest piece laid out (a segment, an initialisation section).
constexpr std::uint64_t kMaxPieceBytes = std::uint64_t(1) << 32;
// Two segments nearer in time than this stand at the same place.
constexpr double kTimeSlack = 0.01;
// What is kept of the converter's messages for a failure's reason.
constexpr std::size_t kMaxMessageBytes = 4096;

// The spool's own names: a letter and digits ("g12", "p3", "s4").
bool SpoolName(std::string_view name, char letter) {
    if (name.size() < 2 || name.size() > 12 || name[0] != letter)
        return false;
    return std::all_of(name.begin() + 1, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string ReadBounded(int dir, const std::string& name, std::size_t limit, bool& tooLong) {
    tooLong = false;
    std::string text;
    const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > limit) {
            tooLong = true;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

struct CipherFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// One rendition the player may have fetched stretches of.
struct Variant {
    std::uint64_t bandwidth = 0;
    std::uint64_t pixels = 0;
    MediaTrack media;
    std::vector<double> starts;  // of each segment, the durations before it added up
};

struct Entry {
    std::string name;
    double seconds = 0;
    std::string init;
    bool discontinuity = false;
};

class Layout {
public:
    Layout(int copyFd, int workFd, const StreamIndex& index)
        : m_copyFd(copyFd), m_workFd(workFd), m_index(index) {
        for (const StreamIndexPart& part : index.parts) m_parts.emplace(part.url, &part);
    }

    // Lays out one track (`letter`) from its variants, best first.
    std::vector<Entry> Track(char letter, std::vector<Variant>& variants,
                             std::vector<std::string>& missing);
    const std::string& Problem() const { return m_problem; }

private:
    const StreamIndexPart* Piece(const std::string& url, StreamPartRole role) const;
    const std::string* Key(const std::string& url);
    // A piece (`range` of it) into a new file of the work folder named PREFIX.EXT, decrypted
    // with `key` when there is one; its name, or nothing.
    std::optional<std::string> Place(const StreamIndexPart& piece, ByteRange range,
                                     const std::string* key,
                                     const std::array<unsigned char, 16>& iv,
                                     const std::string& prefix, bool init);
    std::optional<std::string> Init(char letter, std::size_t variant, const MediaTrack& media,
                                    int index);
    std::optional<Entry> Segment(char letter, std::size_t variant, const MediaTrack& media,
                                 const MediaSegment& segment, std::size_t number);
    void Note(const std::string& problem) {
        if (m_problem.empty())
            m_problem = problem;
    }

    const int m_copyFd;
    const int m_workFd;
    const StreamIndex& m_index;
    std::unordered_map<std::string, const StreamIndexPart*> m_parts;
    std::map<std::string, std::optional<std::string>> m_keys;
    // By track letter, variant and section.
    std::map<std::tuple<char, std::size_t, int>, std::optional<std::string>> m_inits;
    std::size_t m_placed = 0;
    std::string m_problem;
};

const StreamIndexPart* Layout::Piece(const std::string& url, StreamPartRole role) const {
    const auto found = m_parts.find(url);
    if (found == m_parts.end())
        return nullptr;
    const StreamIndexPart* part = found->second;
    if (!part->complete || part->role != role || !SpoolName(part->file, 'g'))
        return nullptr;
    return part;
}

const std::string* Layout::Key(const std::string& url) {
    auto found = m_keys.find(url);
    if (found == m_keys.end()) {
        std::optional<std::string> key;
        if (const StreamIndexPart* piece = Piece(url, StreamPartRole::Key)) {
            bool tooLong = false;
            std::string bytes = ReadBounded(m_copyFd, piece->file, kKeyBytes, tooLong);
            if (bytes.size() == kKeyBytes && !tooLong)
                key = std::move(bytes);
            else
                Note("the key " + url + " is not 16 bytes long");
        }
        found = m_keys.emplace(url, std::move(key)).first;
    }
    return found->second ? &*found->second : nullptr;
}

std::optional<std::string> Layout::Place(const StreamIndexPart& piece, ByteRange range,
                                         const std::string* key,
                                         const std::array<unsigned char, 16>& iv,
                                         const std::string& prefix, bool init) {
    const int in = openat(m_copyFd, piece.file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return std::nullopt;
    struct stat info {};
    std::uint64_t offset = range.offset;
    std::uint64_t length = range.length;
    bool ok = fstat(in, &info) == 0 && S_ISREG(info.st_mode) && info.st_size >= 0;
    const auto size = ok ? static_cast<std::uint64_t>(info.st_size) : 0;
    if (ok && range.length == 0)
        length = size;
    ok = ok && length > 0 && length <= kMaxPieceBytes && offset <= size && length <= size - offset;
    if (!ok) {
        close(in);
        return std::nullopt;
    }
    const std::string part = prefix + ".part";
    unsigned char head[16] = {};
    std::size_t headSize = 0;
    // A whole piece as it was sent goes in by a link when the file system allows.
    if (key == nullptr && offset == 0 && length == size) {
        const ssize_t got = pread(in, head, sizeof head, 0);
        headSize = got > 0 ? static_cast<std::size_t>(got) : 0;
        const std::string name = prefix + "." + LocalSegmentExtension(head, headSize, init);
        if (linkat(m_copyFd, piece.file.c_str(), m_workFd, name.c_str(), 0) == 0) {
            close(in);
            return name;
        }
    }
    const int out =
        openat(m_workFd, part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        Note("cannot write in the work folder: " + std::string(std::strerror(errno)));
        return std::nullopt;
    }
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> cipher;
    if (key != nullptr) {
        cipher.reset(EVP_CIPHER_CTX_new());
        ok = cipher && EVP_DecryptInit_ex(cipher.get(), EVP_aes_128_cbc(), nullptr,
                                          reinterpret_cast<const unsigned char*>(key->data()),
                                          iv.data()) == 1;
    }
    headSize = 0;
    const auto put = [&](const unsigned char* data, std::size_t size) {
        if (headSize < sizeof head) {
            const std::size_t take = std::min(size, sizeof head - headSize);
            std::memcpy(head + headSize, data, take);
            headSize += take;
        }
        return WriteAll(out, data, size);
    };
    std::vector<unsigned char> buffer(1 << 16);
    std::vector<unsigned char> plain(buffer.size() + kKeyBytes);
    std::uint64_t done = 0;
    while (ok && done < length) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
        const ssize_t got = pread(in, buffer.data(), want, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = false;
            break;
        }
        done += static_cast<std::uint64_t>(got);
        if (!cipher) {
            ok = put(buffer.data(), static_cast<std::size_t>(got));
            continue;
        }
        int produced = 0;
        ok = EVP_DecryptUpdate(cipher.get(), plain.data(), &produced, buffer.data(),
                               static_cast<int>(got)) == 1 &&
             put(plain.data(), static_cast<std::size_t>(produced));
    }
    if (ok && cipher) {
        int produced = 0;
        ok = EVP_DecryptFinal_ex(cipher.get(), plain.data(), &produced) == 1 &&
             put(plain.data(), static_cast<std::size_t>(produced));
        if (!ok)
            Note(piece.url + " could not be decrypted (a wrong key, or cut short)");
    }
    close(in);
    ok = close(out) == 0 && ok;
    const std::string name = prefix + "." + LocalSegmentExtension(head, headSize, init);
    if (ok && renameat(m_workFd, part.c_str(), m_workFd, name.c_str()) == 0)
        return name;
    unlinkat(m_workFd, part.c_str(), 0);
    return std::nullopt;
}

std::optional<std::string> Layout::Init(char letter, std::size_t variant, const MediaTrack& media,
                                        int index) {
    const auto id = std::make_tuple(letter, variant, index);
    if (const auto known = m_inits.find(id); known != m_inits.end())
        return known->second;
    std::optional<std::string> name;
    const InitSection& section = media.inits[static_cast<std::size_t>(index)];
    const StreamIndexPart* piece = Piece(section.url, StreamPartRole::Segment);
    const std::string* key = nullptr;
    std::array<unsigned char, 16> iv{};
    bool keyed = true;
    if (section.key >= 0 && static_cast<std::size_t>(section.key) < media.keys.size()) {
        key = Key(media.keys[static_cast<std::size_t>(section.key)].url);
        iv = media.keys[static_cast<std::size_t>(section.key)].iv;
        keyed = key != nullptr;
    }
    if (piece != nullptr && keyed) {
        name = Place(*piece, section.range, key, iv,
                     std::string(1, letter) + "init" + std::to_string(m_inits.size()), true);
    }
    m_inits.emplace(id, name);
    return name;
}

std::optional<Entry> Layout::Segment(char letter, std::size_t variant, const MediaTrack& media,
                                     const MediaSegment& segment, std::size_t number) {
    Entry entry;
    if (segment.init >= 0 && static_cast<std::size_t>(segment.init) < media.inits.size()) {
        const auto init = Init(letter, variant, media, segment.init);
        if (!init)
            return std::nullopt;
        entry.init = *init;
    }
    const StreamIndexPart* piece = Piece(segment.url, StreamPartRole::Segment);
    if (piece == nullptr)
        return std::nullopt;
    const std::string* key = nullptr;
    std::array<unsigned char, 16> iv{};
    if (segment.key >= 0 && static_cast<std::size_t>(segment.key) < media.keys.size()) {
        const SegmentKey& named = media.keys[static_cast<std::size_t>(segment.key)];
        key = Key(named.url);
        if (key == nullptr)
            return std::nullopt;
        iv = named.iv;
        if (!named.explicitIv) {
            // The media sequence number, big-endian in the IV's last eight bytes.
            iv.fill(0);
            for (std::size_t i = 0; i < 8; ++i)
                iv[15 - i] = static_cast<unsigned char>(segment.position >> (8 * i));
        }
    }
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%c%06zu", letter, number);
    const auto name = Place(*piece, segment.range, key, iv, prefix, false);
    if (!name)
        return std::nullopt;
    entry.name = *name;
    entry.seconds = segment.seconds;
    entry.discontinuity = segment.discontinuity;
    return entry;
}

std::vector<Entry> Layout::Track(char letter, std::vector<Variant>& variants,
                                 std::vector<std::string>& missing) {
    double end = 0;
    for (Variant& variant : variants) {
        double at = 0;
        variant.starts.clear();
        for (const MediaSegment& segment : variant.media.segments) {
            variant.starts.push_back(at);
            at += std::max(0.0, segment.seconds);
        }
        end = std::max(end, at);
    }
    std::vector<Entry> entries;
    std::vector<std::size_t> cursor(variants.size(), 0);
    std::size_t previous = variants.size();
    double t = 0;
    while (t + kTimeSlack < end) {
        bool placed = false;
        std::string firstUrl;
        double firstEnd = 0;
        for (std::size_t v = 0; v < variants.size() && !placed; ++v) {
            const Variant& variant = variants[v];
            const auto& segments = variant.media.segments;
            std::size_t& i = cursor[v];
            // The segment that plays at t (time only moves on).
            while (i < segments.size() &&
                   variant.starts[i] + std::max(0.0, segments[i].seconds) <= t + kTimeSlack)
                ++i;
            if (i >= segments.size() || variant.starts[i] > t + kTimeSlack)
                continue;
            const double segmentEnd = variant.starts[i] + segments[i].seconds;
            if (firstUrl.empty()) {
                firstUrl = segments[i].url;
                firstEnd = segmentEnd;
            }
            std::optional<Entry> entry = Segment(letter, v, variant.media, segments[i], m_placed);
            if (!entry)
                continue;
            if (previous != variants.size() && previous != v)
                entry->discontinuity = true;
            previous = v;
            ++m_placed;
            entries.push_back(std::move(*entry));
            t = segmentEnd;
            placed = true;
        }
        if (placed)
            continue;
        if (firstUrl.empty())
            break;  // no variant plays at t: the end of what the playlists name
        missing.push_back(firstUrl);
        t = firstEnd;
    }
    return entries;
}

bool WriteNew(int dir, const std::string& name, const std::string& text) {
    const int fd =
        openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool ok = WriteAll(fd, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return close(fd) == 0 && ok;
}

std::string MediaPlaylist(const std::vector<Entry>& entries) {
    double longest = 1;
    for (const Entry& entry : entries) longest = std::max(longest, entry.seconds);
    std::string text = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:" +
                       std::to_string(static_cast<long long>(std::ceil(longest))) +
                       "\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n";
    std::string init;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        if (i > 0 && entry.discontinuity)
            text += "#EXT-X-DISCONTINUITY\n";
        if (entry.init != init || (i > 0 && entry.discontinuity && !init.empty())) {
            init = entry.init;
            if (!init.empty())
                text += "#EXT-X-MAP:URI=\"" + init + "\"\n";
        }
        char extinf[64];
        std::snprintf(extinf, sizeof extinf, "#EXTINF:%.6f,\n", entry.seconds);
        text += extinf + entry.name + "\n";
    }
    return text + "#EXT-X-ENDLIST\n";
}

// The latest text of the playlist `url` the copy kept; nothing when it kept none.
std::optional<std::string> PlaylistText(int copyFd, const StreamIndex& index,
                                        const std::string& url) {
    const StreamIndexPlaylist* playlist = index.FindPlaylist(url);
    if (playlist == nullptr || !SpoolName(playlist->file, 'p'))
        return std::nullopt;
    bool tooLong = false;
    std::string text = ReadBounded(copyFd, playlist->file, kMaxPlaylistBytes, tooLong);
    if (tooLong || text.empty())
        return std::nullopt;
    return text;
}

std::optional<Variant> HlsVariant(int copyFd, const StreamIndex& index, const std::string& url,
                                  const StreamVariant& named) {
    const auto text = PlaylistText(copyFd, index, url);
    if (!text)
        return std::nullopt;
    std::optional<MediaTrack> media = ReadHlsSegments(*text, url);
    if (!media || !media->refusal.empty() || media->segments.empty())
        return std::nullopt;
    Variant variant;
    variant.bandwidth = named.bandwidth;
    variant.pixels = static_cast<std::uint64_t>(std::max(0, named.width)) *
                     static_cast<std::uint64_t>(std::max(0, named.height));
    variant.media = std::move(*media);
    return variant;
}

void SortBest(std::vector<Variant>& variants) {
    std::stable_sort(variants.begin(), variants.end(), [](const Variant& a, const Variant& b) {
        return a.bandwidth != b.bandwidth ? a.bandwidth > b.bandwidth : a.pixels > b.pixels;
    });
}

}  // namespace

bool LayOutCapturedStream(int spoolFd, const CopyStatus& status, const std::string& workFolder,
                          CapturedStreamLayout& out, std::string& error) {
    out = {};
    if (status.kind != CopyKind::Stream || !SpoolName(status.name, 's')) {
        error = "not a stream's copy";
        return false;
    }
    const int copyFd =
        openat(spoolFd, status.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (copyFd < 0) {
        error = "cannot open the stream's copy: " + std::string(std::strerror(errno));
        return false;
    }
    StreamIndex index;
    if (!ReadStreamIndex(copyFd, index, error)) {
        close(copyFd);
        return false;
    }
    if (mkdir(workFolder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make the folder '" + workFolder + "': " + std::strerror(errno);
        close(copyFd);
        return false;
    }
    const int workFd = OpenPrivateFolder(workFolder, error);
    if (workFd < 0) {
        close(copyFd);
        return false;
    }

    // Each track's variants, best first.
    std::vector<Variant> main;
    std::vector<Variant> sound;
    const auto listed = PlaylistText(copyFd, index, index.url);
    if (!listed) {
        error = "the stream's playlist was not captured";
    } else if (index.kind == StreamKind::Dash) {
        std::optional<DashTracks> tracks = ReadDashSegments(*listed, index.url);
        if (!tracks)
            error = "the stream's manifest is no DASH manifest";
        else if (!tracks->refusal.empty())
            error = tracks->refusal;
        else {
            main.push_back({0, 0, std::move(tracks->main), {}});
            if (tracks->audio)
                sound.push_back({0, 0, std::move(*tracks->audio), {}});
        }
    } else if (std::optional<MediaTrack> media = ReadHlsSegments(*listed, index.url)) {
        if (!media->refusal.empty())
            error = media->refusal;
        else
            main.push_back({0, 0, std::move(*media), {}});
    } else if (const auto playlist = ParseHlsPlaylist(*listed, index.url);
               playlist && playlist->master) {
        bool pictures = false;
        for (const StreamVariant& named : playlist->variants) pictures |= !named.audioOnly;
        std::vector<std::string> sounds;
        for (const StreamVariant& named : playlist->variants) {
            if (pictures && named.audioOnly)
                continue;
            if (auto variant = HlsVariant(copyFd, index, named.url, named))
                main.push_back(std::move(*variant));
            if (named.separateAudio && !named.audioUrl.empty() &&
                std::find(sounds.begin(), sounds.end(), named.audioUrl) == sounds.end()) {
                sounds.push_back(named.audioUrl);
                if (auto variant = HlsVariant(copyFd, index, named.audioUrl, named))
                    sound.push_back(std::move(*variant));
            }
        }
        if (main.empty())
            error = "no variant's playlist of the stream was captured";
    } else {
        error = "the stream's playlist is no HLS playlist";
    }
    SortBest(main);
    SortBest(sound);

    Layout layout(copyFd, workFd, index);
    std::vector<Entry> picture;
    std::vector<Entry> audio;
    if (!main.empty()) {
        picture = layout.Track('v', main, out.missing);
        audio = layout.Track('a', sound, out.missing);
    }
    close(copyFd);
    out.segments = picture.size() + audio.size();
    for (const Entry& entry : picture) out.seconds += entry.seconds;
    bool ok = !picture.empty();
    if (!ok && error.empty()) {
        error = layout.Problem().empty() ? "no segment of the stream was captured whole"
                                         : layout.Problem();
    }
    if (ok) {
        std::string master = "#EXTM3U\n#EXT-X-VERSION:7\n";
        std::string variant = "#EXT-X-STREAM-INF:BANDWIDTH=1000000";
        ok = WriteNew(workFd, "v.m3u8", MediaPlaylist(picture));
        if (ok && !audio.empty()) {
            ok = WriteNew(workFd, "a.m3u8", MediaPlaylist(audio));
            master +=
                "#EXT-X-MEDIA:TYPE=AUDIO,GROUP-ID=\"sound\",NAME=\"sound\",DEFAULT=YES,"
                "AUTOSELECT=YES,URI=\"a.m3u8\"\n";
            variant += ",AUDIO=\"sound\"";
        }
        ok = ok && WriteNew(workFd, "stream.m3u8", master + variant + "\nv.m3u8\n");
        if (!ok)
            error = "cannot write the stream's playlist in '" + workFolder +
                    "': " + std::strerror(errno);
    }
    close(workFd);
    if (ok)
        out.playlist = workFolder + "/stream.m3u8";
    return ok;
}

std::string FindJoinConverter() {
    const auto runs = [](const std::string& path) {
        struct stat info {};
        return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
               access(path.c_str(), X_OK) == 0;
    };
    if (!g_ffmpegExe.empty() && g_ffmpegExe.front() != 'x' && runs(g_ffmpegExe))
        return g_ffmpegExe;
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "";
    while (!folders.empty()) {
        const std::size_t colon = folders.find(':');
        const std::string_view folder = folders.substr(0, colon);
        folders.remove_prefix(colon == std::string_view::npos ? folders.size() : colon + 1);
        if (folder.empty() || folder.front() != '/')
            continue;  // only absolute folders: never the working folder
        const std::string candidate = std::string(folder) + "/ffmpeg";
        if (runs(candidate))
            return candidate;
    }
    return {};
}

bool JoinCapturedStream(const std::string& ffmpegExe, const CapturedStreamLayout& layout,
                        const std::string& outputPath, std::string& error,
                        std::chrono::milliseconds limit) {
    if (ffmpegExe.empty() || layout.playlist.empty()) {
        error = "no converter to join with";
        return false;
    }
    struct stat there {};
    if (lstat(outputPath.c_str(), &there) == 0) {
        error = outputPath + " is there already";
        return false;
    }
    // "file:" keeps a path with a colon in it a file name; -n never writes over a file.
    const std::vector<std::string> arguments = {ffmpegExe,
                                                "-nostdin",
                                                "-hide_banner",
                                                "-loglevel",
                                                "error",
                                                "-protocol_whitelist",
                                                "file,crypto",
                                                "-f",
                                                "hls",
                                                "-i",
                                                "file:" + layout.playlist,
                                                "-c",
                                                "copy",
                                                "-f",
                                                "mp4",
                                                "-progress",
                                                "pipe:1",
                                                "-nostats",
                                                "-n",
                                                "file:" + outputPath};
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const int nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    sigset_t defaults, empty;
    sigfillset(&defaults);
    sigemptyset(&empty);
    bool ok = nullFd > STDERR_FILENO && pipeFds[1] > STDERR_FILENO &&
              posix_spawn_file_actions_adddup2(&actions, nullFd, STDIN_FILENO) == 0 &&
              posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO) == 0 &&
              posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO) == 0 &&
              posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0 &&
              posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                  POSIX_SPAWN_SETSIGMASK) == 0 &&
              posix_spawnattr_setpgroup(&attr, 0) == 0 &&
              posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
              posix_spawnattr_setsigmask(&attr, &empty) == 0;
    pid_t pid = -1;
    if (ok) {
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        ok = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ) == 0;
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (nullFd >= 0)
        close(nullFd);
    close(pipeFds[1]);
    if (!ok) {
        close(pipeFds[0]);
        error = "the converter " + ffmpegExe + " could not start";
        return false;
    }
    // Its messages and progress until they end (it exits then), bounded in time and in what is
    // kept: the last progress report (a few hundred bytes) says how far the output plays.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string messages;
    bool late = false;
    for (;;) {
        if (std::chrono::steady_clock::now() >= deadline) {
            late = true;
            break;
        }
        pollfd entry{pipeFds[0], POLLIN, 0};
        const int ready = poll(&entry, 1, 100);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char buffer[4096];
        const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        messages.append(buffer, static_cast<std::size_t>(got));
        if (messages.size() > 2 * kMaxMessageBytes) {
            // Whole lines only: from the first line end of the last part.
            const std::size_t cut = messages.find('\n', messages.size() - kMaxMessageBytes);
            messages.erase(0, cut == std::string::npos ? messages.size() : cut + 1);
        }
    }
    close(pipeFds[0]);
    int status = 0;
    for (;;) {
        if (late || std::chrono::steady_clock::now() >= deadline) {
            late = true;
            kill(-pid, SIGKILL);
        }
        const pid_t reaped = waitpid(pid, &status, late ? 0 : WNOHANG);
        if (reaped == pid)
            break;
        if (reaped < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        if (reaped == 0)
            usleep(10000);
    }
    // The last progress report's time, and the last line that is no part of a report.
    double joined = -1;
    std::string line;
    for (std::size_t at = 0; at < messages.size();) {
        std::size_t end = messages.find('\n', at);
        if (end == std::string::npos)
            end = messages.size();
        std::string_view text(messages.data() + at, end - at);
        at = end + 1;
        if (!text.empty() && text.back() == '\r')
            text.remove_suffix(1);
        const std::size_t equals = text.find('=');
        const bool report = equals != std::string_view::npos &&
                            text.substr(0, equals).find_first_not_of(
                                "abcdefghijklmnopqrstuvwxyz0123456789_") == std::string_view::npos;
        if (report && text.starts_with("out_time_us=")) {
            const std::string value(text.substr(equals + 1));
            char* stop = nullptr;
            const long long us = std::strtoll(value.c_str(), &stop, 10);
            if (stop != value.c_str() && *stop == '\0' && us >= 0)
                joined = static_cast<double>(us) / 1e6;
        } else if (!report && !text.empty()) {
            line = std::string(text);
        }
    }
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            c = '?';
    }
    struct stat info {};
    const bool written = stat(outputPath.c_str(), &info) == 0 && info.st_size > 0;
    const double tolerance = std::max(1.0, layout.seconds / 100);
    if (!late && WIFEXITED(status) && WEXITSTATUS(status) == 0 && written) {
        if (joined + tolerance >= layout.seconds)
            return true;
        char text[160];
        std::snprintf(text, sizeof text,
                      "the joined stream plays %.1f seconds of the playlists' %.1f",
                      std::max(0.0, joined), layout.seconds);
        error = text;
    } else if (late) {
        error = "the converter took longer than " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) +
                " seconds";
    } else if (!line.empty()) {
        error = "the converter failed: " + line;
    } else {
        error = "the converter wrote nothing";
    }
    unlink(outputPath.c_str());
    return false;
}
