#include "spool/CaptureSpool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "spool/IntervalSet.h"
#include "spool/SpoolFolder.h"
#include "spool/StreamIndex.h"

namespace {

// The part number of a file copy's one file.
constexpr std::uint32_t kWholeFile = UINT32_MAX;
// Contiguous pieces of one body join in one job (one write) up to this size and count while
// it waits.
constexpr std::size_t kJoinBytes = 1u << 20;
constexpr std::size_t kJoinPieces = 256;

std::uint64_t UrlHash(std::string_view url) {
    return std::hash<std::string_view>{}(url);
}

std::string FileKeyText(const MediaFileKey& key) {
    return key.url + '\n' + key.validator + '\n' +
           (key.total ? std::to_string(*key.total) : std::string("?"));
}

CopyStop WriteFailure(int error) {
    return error == ENOSPC || error == EDQUOT ? CopyStop::DiskFull : CopyStop::WriteFailed;
}

// Writes all of `size` bytes at `offset` (or appends, at -1); the error number, 0 on success.
int WriteAll(int fd, const char* data, std::size_t size, std::int64_t offset) {
    while (size > 0) {
        const ssize_t n = offset >= 0 ? pwrite(fd, data, size, offset) : write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        data += n;
        size -= static_cast<std::size_t>(n);
        if (offset >= 0)
            offset += n;
    }
    return 0;
}

// Writes every piece, one after the other, from `offset` on; the error number, 0 on success.
int WritePieces(int fd, const std::vector<std::string>& pieces, std::uint64_t offset) {
    std::vector<iovec> vectors;
    vectors.reserve(pieces.size());
    for (const std::string& piece : pieces)
        vectors.push_back({const_cast<char*>(piece.data()), piece.size()});
    std::size_t first = 0;
    while (first < vectors.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(vectors.size() - first, IOV_MAX));
        const ssize_t n = pwritev(fd, vectors.data() + first, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        offset += static_cast<std::uint64_t>(n);
        for (std::size_t left = static_cast<std::size_t>(n); left > 0;) {
            iovec& v = vectors[first];
            const std::size_t used = std::min(left, v.iov_len);
            v.iov_base = static_cast<char*>(v.iov_base) + used;
            v.iov_len -= used;
            left -= used;
            if (v.iov_len == 0)
                ++first;
        }
        while (first < vectors.size() && vectors[first].iov_len == 0) ++first;
    }
    return 0;
}

// A new private file in `dirFd`; an entry of an earlier run under the same name is removed
// first. -1 with errno set when it cannot be made.
int MakeFile(int dirFd, const std::string& name, int flags = 0) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = openat(dirFd, name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | flags, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
        RemoveSpoolEntry(dirFd, name);
    }
    return -1;
}

// Whether `name` is one the spool makes ("f12", "s7"), for the removal of an earlier run's.
bool SpoolName(const char* name) {
    if (name[0] != 'f' && name[0] != 's')
        return false;
    std::size_t digits = 0;
    for (const char* c = name + 1; *c != '\0'; ++c, ++digits) {
        if (*c < '0' || *c > '9')
            return false;
    }
    return digits > 0;
}

}  // namespace

const char* CopyStateText(CopyState state) {
    switch (state) {
        case CopyState::Filling:
            return "filling";
        case CopyState::Whole:
            return "whole";
        case CopyState::Holes:
            return "holes";
        case CopyState::Unchecked:
            return "unchecked";
        case CopyState::Stopped:
            return "stopped";
        case CopyState::Gone:
            return "gone";
    }
    return "unknown";
}

const char* CopyStopText(CopyStop stop) {
    switch (stop) {
        case CopyStop::None:
            return "";
        case CopyStop::DiskFull:
            return "the disk is full";
        case CopyStop::QueueFull:
            return "the writer fell behind the capture";
        case CopyStop::Limit:
            return "the spool's size limit";
        case CopyStop::Coded:
            return "the server sent it compressed";
        case CopyStop::WriteFailed:
            return "it could not be written";
        case CopyStop::Fragmented:
            return "too many separate pieces";
    }
    return "";
}

struct CaptureSpool::Job {
    enum class Kind : std::uint8_t { Bytes, End, Playlist };
    Kind kind = Kind::Bytes;
    bool complete = false;  // End
    bool partial = false;   // End: the body was a range
    std::uint32_t part = kWholeFile;  // Playlist: the playlist's index
    std::uint64_t copy = 0;
    std::uint64_t offset = 0;  // Bytes: where they go; End: where the body ended
    std::uint64_t start = 0;   // End: where the body began
    // Bytes: the pieces, contiguous, as they came (joined without copying them again);
    // Playlist: its text.
    std::vector<std::string> pieces;
    std::size_t size = 0;
};

struct CaptureSpool::Copy {
    // A piece of a stream: the answers to one URL.
    struct Part {
        std::string url;
        std::string namer;
        std::string file;
        StreamPartRole role = StreamPartRole::Segment;
        std::optional<std::uint64_t> total;
        IntervalSet kept;
        bool complete = false;
        bool refused = false;  // content-coded, or too fragmented: nothing more is kept
        std::uint32_t openBodies = 0;
        int fd = -1;  // writer
        bool made = false;
    };
    struct Playlist {
        std::string url;
        std::string file;
        bool master = false;
        bool live = false;
        bool partial = false;  // truncated, or names pieces by templates
        std::vector<std::uint64_t> names;  // URL hashes of what it names, sorted
        std::uint64_t bytes = 0;
    };

    std::uint64_t id = 0;
    CopyKind kind = CopyKind::File;
    std::string name;
    CopyState state = CopyState::Filling;
    CopyStop stop = CopyStop::None;
    std::uint32_t openBodies = 0;
    std::uint32_t jobs = 0;
    std::uint64_t queued = 0;
    std::uint64_t kept = 0;
    bool changed = false;
    bool filesDeleted = false;
    std::optional<CopyStatus> told;

    // File copies.
    std::string fileKey;
    std::optional<std::uint64_t> total;
    IntervalSet intervals;
    int fd = -1;  // writer
    bool made = false;

    // Streams.
    StreamKind streamKind = StreamKind::Hls;
    std::string url;
    std::deque<Part> parts;
    std::unordered_map<std::uint64_t, std::uint32_t> partByUrl;
    std::deque<Playlist> playlists;
    std::unordered_map<std::string, std::uint32_t> playlistByUrl;
    int folderFd = -1;  // writer
    int indexFd = -1;   // writer
    bool folderMade = false;

    bool Live() const { return state != CopyState::Gone; }
    bool Taking() const { return state != CopyState::Gone && state != CopyState::Stopped; }
};

// A body's bytes on their way to the spool. Gives up for good once its copy takes no more.
class CaptureSpool::Receiver final : public HttpBodyReceiver {
public:
    Receiver(CaptureSpool& spool, std::uint64_t copy, std::uint32_t part, std::uint64_t start,
             bool partial)
        : m_spool(spool), m_copy(copy), m_part(part), m_start(start), m_end(start),
          m_partial(partial) {}
    ~Receiver() override { OnBodyEnd(false); }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    void OnBodyBytes(std::uint64_t offset, const std::uint8_t* data, std::size_t size) override {
        if (m_dropped || m_ended)
            return;
        const std::uint64_t at = m_start + offset;
        if (!m_spool.Put(m_copy, m_part, at, data, size))
            m_dropped = true;
        else
            m_end = std::max(m_end, at + size);
    }
    void OnBodyEnd(bool complete) override {
        if (m_ended)
            return;
        m_ended = true;
        m_spool.EndBody(m_copy, m_part, m_start, m_end, complete && !m_dropped, m_partial);
    }

private:
    CaptureSpool& m_spool;
    const std::uint64_t m_copy;
    const std::uint32_t m_part;
    const std::uint64_t m_start;
    std::uint64_t m_end;
    const bool m_partial;
    bool m_dropped = false;
    bool m_ended = false;
};

std::unique_ptr<CaptureSpool> CaptureSpool::Open(int folderFd, std::string_view shownAs,
                                                 Options options, std::string& error) {
    error = CheckPrivateFolder(folderFd, shownAs);
    if (!error.empty()) {
        close(folderFd);
        return nullptr;
    }
    // What an earlier run left under the names this spool makes is no copy of this run's.
    const int listFd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (DIR* folder = listFd >= 0 ? fdopendir(listFd) : nullptr) {
        std::vector<std::string> stale;
        while (const dirent* entry = readdir(folder)) {
            if (SpoolName(entry->d_name))
                stale.emplace_back(entry->d_name);
        }
        closedir(folder);
        for (const std::string& name : stale) RemoveSpoolEntry(folderFd, name);
    } else if (listFd >= 0) {
        close(listFd);
    }
    return std::unique_ptr<CaptureSpool>(new CaptureSpool(folderFd, std::move(options)));
}

CaptureSpool::CaptureSpool(int folderFd, Options options)
    : m_folderFd(folderFd), m_options(std::move(options)) {
    m_writer = std::thread([this] { Run(); });
}

CaptureSpool::~CaptureSpool() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_work.notify_all();
    m_room.notify_all();
    m_writer.join();
    close(m_folderFd);
}

CaptureSpool::Copy* CaptureSpool::Find(std::uint64_t copyId) const {
    const auto it = m_copies.find(copyId);
    return it == m_copies.end() ? nullptr : it->second.get();
}

CaptureSpool::Copy& CaptureSpool::NewCopy(CopyKind kind) {
    auto copy = std::make_unique<Copy>();
    copy->id = ++m_nextId;
    copy->kind = kind;
    copy->name = (kind == CopyKind::File ? "f" : "s") + std::to_string(copy->id);
    Copy& made = *copy;
    m_copies.emplace(made.id, std::move(copy));
    m_order.push_back(made.id);
    Changed(made);
    return made;
}

void CaptureSpool::Wake() {
    // Only a writer that sleeps needs the system call.
    if (m_writerWaiting)
        m_work.notify_one();
}

void CaptureSpool::Changed(Copy& copy) {
    if (!copy.changed) {
        copy.changed = true;
        m_changed.push_back(copy.id);
        Wake();
    }
}

void CaptureSpool::Stop(Copy& copy, CopyStop why) {
    if (!copy.Taking())
        return;
    copy.state = CopyState::Stopped;
    copy.stop = why;
    Changed(copy);
}

void CaptureSpool::Drop(Copy& copy, CopyStop why) {
    if (!copy.Live())
        return;
    m_liveBytes -= std::min(m_liveBytes, copy.kept + copy.queued);
    copy.state = CopyState::Gone;
    copy.stop = why;
    if (copy.kind == CopyKind::File) {
        const auto it = m_fileCopies.find(copy.fileKey);
        if (it != m_fileCopies.end() && it->second == copy.id)
            m_fileCopies.erase(it);
    }
    m_deletions.push_back(copy.id);
    Wake();
    Changed(copy);
}

bool CaptureSpool::MakeRoom(const Copy& keep, std::size_t size) {
    while (m_liveBytes + size > m_options.limitBytes) {
        Copy* oldest = nullptr;
        for (auto it = m_order.begin(); it != m_order.end();) {
            Copy* copy = Find(*it);
            if (copy == nullptr || !copy->Live()) {
                it = m_order.erase(it);
                continue;
            }
            if (copy != &keep) {
                oldest = copy;
                break;
            }
            ++it;
        }
        if (oldest == nullptr)
            return false;
        Drop(*oldest, CopyStop::Limit);
    }
    return true;
}

bool CaptureSpool::Room(std::unique_lock<std::mutex>& lock, std::uint64_t copyId,
                        std::size_t size, Copy*& copy) {
    while (m_queueBytes > 0 && m_queueBytes + size > m_options.queueBytes) {
        if (!m_options.waitWhenFull || m_stopping) {
            Stop(*copy, CopyStop::QueueFull);
            return false;
        }
        ++m_roomWaiters;
        m_work.notify_one();
        m_room.wait(lock);
        --m_roomWaiters;
        copy = Find(copyId);
        if (copy == nullptr || !copy->Taking())
            return false;
    }
    if (!MakeRoom(*copy, size)) {
        Stop(*copy, CopyStop::Limit);
        return false;
    }
    return true;
}

CaptureSpool::FileBody CaptureSpool::OpenFileBody(const MediaFileKey& key, std::uint64_t start,
                                                  bool partial, bool coded) {
    std::lock_guard lock(m_mutex);
    std::string keyText = FileKeyText(key);
    const auto it = m_fileCopies.find(keyText);
    Copy* copy = it != m_fileCopies.end() ? Find(it->second) : nullptr;
    if (copy == nullptr) {
        copy = &NewCopy(CopyKind::File);
        copy->total = key.total;
        copy->fileKey = keyText;
        m_fileCopies[std::move(keyText)] = copy->id;
    }
    return FileBodyOf(*copy, start, partial, coded);
}

CaptureSpool::FileBody CaptureSpool::JoinFileBody(const MediaFileKey& key, std::uint64_t start,
                                                  bool coded) {
    std::lock_guard lock(m_mutex);
    const auto it = m_fileCopies.find(FileKeyText(key));
    Copy* copy = it != m_fileCopies.end() ? Find(it->second) : nullptr;
    if (copy == nullptr || coded)
        return {};
    return FileBodyOf(*copy, start, true, false);
}

CaptureSpool::FileBody CaptureSpool::FileBodyOf(Copy& copy, std::uint64_t start, bool partial,
                                                bool coded) {
    FileBody body;
    body.copyId = copy.id;
    if (coded) {
        // A medium is never kept coded; a copy that has bytes of it already keeps them.
        if (copy.kept == 0 && copy.queued == 0 && copy.openBodies == 0)
            Stop(copy, CopyStop::Coded);
        return body;
    }
    if (!copy.Taking() || copy.state == CopyState::Whole)
        return body;
    ++copy.openBodies;
    Evaluate(copy);
    body.receiver = std::make_unique<Receiver>(*this, copy.id, kWholeFile, start, partial);
    return body;
}

std::uint64_t CaptureSpool::OpenStream(std::string_view playlistUrl, StreamKind kind) {
    std::lock_guard lock(m_mutex);
    Copy& copy = NewCopy(CopyKind::Stream);
    copy.url = std::string(playlistUrl);
    copy.streamKind = kind;
    return copy.id;
}

void CaptureSpool::KeepPlaylist(std::uint64_t copyId, std::string_view url, std::string_view text,
                                const StreamPlaylist& parsed) {
    std::unique_lock lock(m_mutex);
    Copy* copy = Find(copyId);
    if (copy == nullptr || copy->kind != CopyKind::Stream || !copy->Taking())
        return;
    const std::string key(url);
    auto found = copy->playlistByUrl.find(key);
    if (found == copy->playlistByUrl.end()) {
        if (copy->playlists.size() >= kMaxPlaylists)
            return;
        const auto index = static_cast<std::uint32_t>(copy->playlists.size());
        copy->playlists.emplace_back();
        copy->playlists.back().url = key;
        copy->playlists.back().file = "p" + std::to_string(index + 1);
        found = copy->playlistByUrl.emplace(key, index).first;
    }
    const std::uint32_t index = found->second;
    Copy::Playlist& playlist = copy->playlists[index];
    playlist.master = parsed.master;
    playlist.live = parsed.live;
    playlist.partial = parsed.truncated || !parsed.segmentPatterns.empty();
    m_playlistNames -= playlist.names.size();
    playlist.names.clear();
    const std::size_t count = parsed.segmentUrls.size() + parsed.keyUrls.size();
    if (m_playlistNames + count <= kMaxPlaylistNames) {
        playlist.names.reserve(count);
        for (const auto* list : {&parsed.segmentUrls, &parsed.keyUrls}) {
            for (const std::string& name : *list) playlist.names.push_back(UrlHash(name));
        }
        std::sort(playlist.names.begin(), playlist.names.end());
        m_playlistNames += playlist.names.size();
    } else {
        playlist.partial = true;  // too many to remember: whether it is whole cannot be told
    }
    if (!Room(lock, copyId, text.size(), copy))
        return;
    Job job;
    job.kind = Job::Kind::Playlist;
    job.copy = copyId;
    job.part = index;
    job.pieces.emplace_back(text);
    job.size = text.size();
    copy->queued += text.size();
    ++copy->jobs;
    m_liveBytes += text.size();
    m_queueBytes += text.size();
    m_jobs.push_back(std::move(job));
    Wake();
}

std::unique_ptr<HttpBodyReceiver> CaptureSpool::OpenStreamBody(
    std::uint64_t copyId, std::string_view url, StreamPartRole role, std::string_view playlistUrl,
    std::uint64_t start, std::optional<std::uint64_t> total, bool partial, bool coded) {
    std::lock_guard lock(m_mutex);
    Copy* copy = Find(copyId);
    if (copy == nullptr || copy->kind != CopyKind::Stream || !copy->Taking())
        return nullptr;
    const std::uint64_t hash = UrlHash(url);
    auto found = copy->partByUrl.find(hash);
    if (found == copy->partByUrl.end()) {
        if (copy->parts.size() >= kMaxParts) {
            Stop(*copy, CopyStop::Fragmented);
            return nullptr;
        }
        const auto index = static_cast<std::uint32_t>(copy->parts.size());
        copy->parts.emplace_back();
        Copy::Part& part = copy->parts.back();
        part.url = std::string(url);
        part.namer = std::string(playlistUrl);
        part.role = role;
        part.file = "g" + std::to_string(index + 1);
        found = copy->partByUrl.emplace(hash, index).first;
    }
    const std::uint32_t index = found->second;
    Copy::Part& part = copy->parts[index];
    if (coded) {
        if (part.kept.Bytes() == 0)
            part.refused = true;
        return nullptr;
    }
    if (part.complete || part.refused)
        return nullptr;
    if (!part.total)
        part.total = total;
    ++part.openBodies;
    ++copy->openBodies;
    Evaluate(*copy);
    return std::make_unique<Receiver>(*this, copyId, index, start, partial);
}

bool CaptureSpool::Put(std::uint64_t copyId, std::uint32_t part, std::uint64_t offset,
                       const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return true;
    std::unique_lock lock(m_mutex);
    Copy* copy = Find(copyId);
    if (copy == nullptr || !copy->Taking())
        return false;
    if (part == kWholeFile) {
        if (copy->state == CopyState::Whole)
            return true;  // every byte is there already
    } else if (part >= copy->parts.size() || copy->parts[part].refused) {
        return false;
    } else if (copy->parts[part].complete) {
        return true;
    }
    if (!Room(lock, copyId, size, copy))
        return false;
    const char* bytes = reinterpret_cast<const char*>(data);
    Job* last = m_jobs.empty() ? nullptr : &m_jobs.back();
    if (last != nullptr && last->kind == Job::Kind::Bytes && last->copy == copyId &&
        last->part == part && last->offset + last->size == offset &&
        last->size + size <= kJoinBytes && last->pieces.size() < kJoinPieces) {
        last->pieces.emplace_back(bytes, size);
        last->size += size;
    } else {
        Job job;
        job.copy = copyId;
        job.part = part;
        job.offset = offset;
        job.pieces.emplace_back(bytes, size);
        job.size = size;
        m_jobs.push_back(std::move(job));
        ++copy->jobs;
    }
    copy->queued += size;
    m_liveBytes += size;
    m_queueBytes += size;
    // Bytes wake the writer once a write's worth waits (a body's end, a playlist or a Flush
    // wakes it at once): a writer woken for every piece costs two context switches a piece.
    if (m_queueBytes >= std::min(kJoinBytes, m_options.queueBytes / 4))
        Wake();
    return true;
}

void CaptureSpool::EndBody(std::uint64_t copyId, std::uint32_t part, std::uint64_t start,
                           std::uint64_t end, bool complete, bool partial) {
    std::lock_guard lock(m_mutex);
    Copy* copy = Find(copyId);
    if (copy == nullptr)
        return;
    // Never refused for room: it is small, and its copy waits for it.
    Job job;
    job.kind = Job::Kind::End;
    job.copy = copyId;
    job.part = part;
    job.start = start;
    job.offset = end;
    job.complete = complete;
    job.partial = partial;
    m_jobs.push_back(std::move(job));
    ++copy->jobs;
    Wake();
}

void CaptureSpool::Discard(std::uint64_t copyId) {
    std::lock_guard lock(m_mutex);
    if (Copy* copy = Find(copyId))
        Drop(*copy, CopyStop::None);
}

void CaptureSpool::Flush() {
    std::unique_lock lock(m_mutex);
    m_work.notify_one();  // bytes below the wake-up size may wait
    m_idle.wait(lock, [this] {
        return m_stopping ||
               (m_jobs.empty() && m_deletions.empty() && m_changed.empty() && !m_busy);
    });
}

std::optional<CopyStatus> CaptureSpool::Status(std::uint64_t copyId) const {
    std::lock_guard lock(m_mutex);
    const Copy* copy = Find(copyId);
    if (copy == nullptr)
        return std::nullopt;
    return Describe(*copy);
}

std::uint64_t CaptureSpool::BytesHeld() const {
    std::lock_guard lock(m_mutex);
    return m_liveBytes;
}

CopyStatus CaptureSpool::Describe(const Copy& copy) const {
    CopyStatus status;
    status.id = copy.id;
    status.kind = copy.kind;
    status.state = copy.state;
    status.stop = copy.stop;
    status.name = copy.name;
    status.keptBytes = copy.state == CopyState::Gone ? 0 : copy.kept;
    if (copy.kind == CopyKind::File) {
        status.total = copy.total;
        const auto& ranges = copy.intervals.Ranges();
        status.intervalsCut = ranges.size() > CopyStatus::kMaxIntervals;
        status.intervals.assign(ranges.begin(),
                                ranges.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                     ranges.size(), CopyStatus::kMaxIntervals)));
    } else {
        status.parts = static_cast<std::uint32_t>(copy.parts.size());
        for (const Copy::Part& part : copy.parts) status.wholeParts += part.complete ? 1 : 0;
    }
    return status;
}

void CaptureSpool::Evaluate(Copy& copy) {
    if (!copy.Taking())
        return;
    CopyState next = CopyState::Filling;
    const bool busy = copy.openBodies > 0 || copy.jobs > 0;
    if (copy.kind == CopyKind::File) {
        if (copy.total && copy.intervals.Covers(*copy.total))
            next = CopyState::Whole;
        else if (!busy)
            next = CopyState::Holes;
    } else if (!busy) {
        // Whole when every playlist the player fetched pieces of is final and each piece it
        // names is kept complete. A DASH manifest, a live or cut playlist cannot tell.
        std::vector<bool> used(copy.playlists.size(), false);
        for (const Copy::Part& part : copy.parts) {
            const auto found = copy.playlistByUrl.find(part.namer);
            if (found != copy.playlistByUrl.end())
                used[found->second] = true;
        }
        bool any = false;
        bool checkable = copy.streamKind == StreamKind::Hls;
        bool whole = true;
        for (std::size_t i = 0; i < copy.playlists.size(); ++i) {
            const Copy::Playlist& playlist = copy.playlists[i];
            if (!used[i] || playlist.master)
                continue;
            any = true;
            if (playlist.live || playlist.partial)
                checkable = false;
            for (const std::uint64_t name : playlist.names) {
                const auto part = copy.partByUrl.find(name);
                if (part == copy.partByUrl.end() || !copy.parts[part->second].complete) {
                    whole = false;
                    break;
                }
            }
        }
        next = !checkable ? CopyState::Unchecked
                          : (any && whole ? CopyState::Whole : CopyState::Holes);
    }
    if (next != copy.state) {
        copy.state = next;
        Changed(copy);
    }
}

// The writer thread.

void CaptureSpool::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (!m_deletions.empty()) {
            std::vector<std::uint64_t> deletions;
            deletions.swap(m_deletions);
            for (const std::uint64_t id : deletions) {
                if (Copy* copy = Find(id))
                    DeleteFiles(lock, *copy);
            }
            continue;
        }
        if (!m_jobs.empty()) {
            Job job = std::move(m_jobs.front());
            m_jobs.pop_front();
            m_queueBytes -= job.size;
            // A capture thread waiting for room is woken once half the queue is free, not
            // for every job: else it adds one piece per wake-up and the two threads take
            // turns at every piece (a file read with --save did so for each record).
            if (m_roomWaiters > 0 && m_queueBytes <= m_options.queueBytes / 2)
                m_room.notify_all();
            Process(lock, job);
            continue;
        }
        if (!m_changed.empty()) {
            TellChanges(lock);
            continue;
        }
        if (m_stopping)
            break;
        m_idle.notify_all();
        m_writerWaiting = true;
        m_work.wait(lock);
        m_writerWaiting = false;
    }
    // Stopping: every file the writer holds is closed.
    for (auto& [id, copy] : m_copies) {
        for (int* fd : {&copy->fd, &copy->indexFd, &copy->folderFd}) {
            if (*fd >= 0)
                close(*fd);
            *fd = -1;
        }
        for (Copy::Part& part : copy->parts) {
            if (part.fd >= 0)
                close(part.fd);
            part.fd = -1;
        }
    }
    m_idle.notify_all();
}

void CaptureSpool::Process(std::unique_lock<std::mutex>& lock, Job& job) {
    Copy* copy = Find(job.copy);
    if (copy == nullptr)
        return;
    switch (job.kind) {
        case Job::Kind::Bytes:
            WriteBytes(lock, *copy, job);
            break;
        case Job::Kind::Playlist:
            WritePlaylist(lock, *copy, job);
            break;
        case Job::Kind::End:
            FinishBody(*copy, job);
            break;
    }
    --copy->jobs;
    if (job.kind != Job::Kind::End) {
        copy->queued -= std::min<std::uint64_t>(copy->queued, job.size);
        if (copy->Live())
            m_liveBytes -= std::min<std::uint64_t>(m_liveBytes, job.size);
    }
    Evaluate(*copy);
    if (!copy->Live() && copy->jobs == 0 && copy->openBodies == 0)
        Changed(*copy);  // to be forgotten once told
    CloseIdleFiles(*copy);
}

// Opens (makes, the first time) the file that `part` of the copy goes to, with the stream's
// folder and index first. Runs on the writer thread with the lock held for the copy's fields;
// the calls themselves are short metadata operations.
bool CaptureSpool::OpenTarget(Copy& copy, std::uint32_t part, CopyStop& why) {
    const auto failed = [&why](int error) {
        why = WriteFailure(error);
        return false;
    };
    if (copy.kind == CopyKind::File) {
        if (copy.fd >= 0)
            return true;
        copy.fd = copy.made ? openat(m_folderFd, copy.name.c_str(),
                                     O_WRONLY | O_NOFOLLOW | O_CLOEXEC)
                            : MakeFile(m_folderFd, copy.name);
        if (copy.fd < 0)
            return failed(errno);
        copy.made = true;
        return true;
    }
    if (copy.folderFd < 0) {
        if (!copy.folderMade) {
            if (mkdirat(m_folderFd, copy.name.c_str(), 0700) != 0) {
                if (errno != EEXIST)
                    return failed(errno);
                RemoveSpoolEntry(m_folderFd, copy.name);
                if (mkdirat(m_folderFd, copy.name.c_str(), 0700) != 0)
                    return failed(errno);
            }
            copy.folderMade = true;
        }
        copy.folderFd = openat(m_folderFd, copy.name.c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (copy.folderFd < 0)
            return failed(errno);
        copy.indexFd = MakeFile(copy.folderFd, std::string(kStreamIndexName), O_APPEND);
        if (copy.indexFd < 0)
            return failed(errno);
        const std::string header = StreamIndexHeader(copy.streamKind, copy.url);
        if (const int error = WriteAll(copy.indexFd, header.data(), header.size(), -1))
            return failed(error);
    }
    if (part == kWholeFile)
        return true;
    Copy::Part& piece = copy.parts[part];
    if (piece.fd >= 0)
        return true;
    piece.fd = piece.made ? openat(copy.folderFd, piece.file.c_str(),
                                   O_WRONLY | O_NOFOLLOW | O_CLOEXEC)
                          : MakeFile(copy.folderFd, piece.file);
    if (piece.fd < 0)
        return failed(errno);
    if (!piece.made) {
        piece.made = true;
        StreamIndexPart line;
        line.number = part + 1;
        line.role = piece.role;
        line.file = piece.file;
        line.url = piece.url;
        line.namer = piece.namer;
        AppendIndex(copy, StreamIndexPartLine(line));
    }
    return true;
}

void CaptureSpool::AppendIndex(Copy& copy, const std::string& line) {
    if (copy.indexFd < 0)
        return;
    if (const int error = WriteAll(copy.indexFd, line.data(), line.size(), -1))
        Stop(copy, WriteFailure(error));
}

void CaptureSpool::WriteBytes(std::unique_lock<std::mutex>& lock, Copy& copy, Job& job) {
    // Bytes queued before a copy stopped for room are written; after a failure, none.
    const bool writable = copy.Taking() || (copy.state == CopyState::Stopped &&
                                            (copy.stop == CopyStop::QueueFull ||
                                             copy.stop == CopyStop::Limit));
    if (!writable)
        return;
    CopyStop why = CopyStop::None;
    if (!OpenTarget(copy, job.part, why)) {
        Stop(copy, why);
        return;
    }
    const int fd = job.part == kWholeFile ? copy.fd : copy.parts[job.part].fd;
    m_busy = true;
    lock.unlock();
    const int error = WritePieces(fd, job.pieces, job.offset);
    lock.lock();
    m_busy = false;
    if (error != 0) {
        Stop(copy, WriteFailure(error));
        return;
    }
    if (!copy.Live())
        return;  // deleted meanwhile: its files are gone with it
    IntervalSet& kept = job.part == kWholeFile ? copy.intervals : copy.parts[job.part].kept;
    std::uint64_t added = 0;
    if (!kept.Add(job.offset, job.offset + job.size, kMaxIntervals, added)) {
        Stop(copy, CopyStop::Fragmented);
        return;
    }
    copy.kept += added;
    m_liveBytes += added;
    if (job.part != kWholeFile) {
        Copy::Part& part = copy.parts[job.part];
        part.complete = part.total && part.kept.Covers(*part.total);
    }
}

void CaptureSpool::WritePlaylist(std::unique_lock<std::mutex>& lock, Copy& copy, Job& job) {
    if (!copy.Taking())
        return;
    CopyStop why = CopyStop::None;
    if (!OpenTarget(copy, kWholeFile, why)) {
        Stop(copy, why);
        return;
    }
    Copy::Playlist& playlist = copy.playlists[job.part];
    const std::string file = playlist.file;
    const std::string staged = file + ".new";
    const int folder = copy.folderFd;
    m_busy = true;
    lock.unlock();
    int error = 0;
    const int fd = MakeFile(folder, staged);
    if (fd < 0) {
        error = errno;
    } else {
        error = WritePieces(fd, job.pieces, 0);
        if (close(fd) != 0 && error == 0)
            error = errno;
        if (error == 0 && renameat(folder, staged.c_str(), folder, file.c_str()) != 0)
            error = errno;
        if (error != 0)
            unlinkat(folder, staged.c_str(), 0);
    }
    lock.lock();
    m_busy = false;
    if (error != 0) {
        Stop(copy, WriteFailure(error));
        return;
    }
    if (!copy.Live())
        return;
    copy.kept += job.size;
    copy.kept -= std::min(copy.kept, playlist.bytes);
    m_liveBytes += job.size;
    m_liveBytes -= std::min(m_liveBytes, playlist.bytes);
    playlist.bytes = job.size;
    AppendIndex(copy, StreamIndexPlaylistLine({playlist.url, playlist.file, playlist.master}));
}

void CaptureSpool::FinishBody(Copy& copy, const Job& job) {
    if (copy.openBodies > 0)
        --copy.openBodies;
    // A whole answer that ended where its framing said tells the size no head gave.
    const bool sized = job.complete && job.start == 0 && !job.partial;
    if (job.part == kWholeFile) {
        if (sized && !copy.total)
            copy.total = job.offset;
        Changed(copy);
        return;
    }
    Copy::Part& part = copy.parts[job.part];
    if (part.openBodies > 0)
        --part.openBodies;
    if (sized && !part.total)
        part.total = job.offset;
    part.complete = part.total && part.kept.Covers(*part.total);
    if (part.made && copy.Taking()) {
        StreamIndexPart line;
        line.number = job.part + 1;
        line.complete = part.complete;
        line.bytes = part.kept.Bytes();
        line.total = part.total;
        AppendIndex(copy, StreamIndexEndLine(line));
    }
    Changed(copy);
}

void CaptureSpool::CloseIdleFiles(Copy& copy) {
    // A file stays open while bodies write to it (or a stopped copy's queued bytes wait).
    const bool done = !copy.Taking() || copy.state == CopyState::Whole;
    if (copy.kind == CopyKind::File) {
        if (copy.fd >= 0 && (copy.openBodies == 0 || done) && copy.jobs == 0) {
            close(copy.fd);
            copy.fd = -1;
        }
        return;
    }
    for (Copy::Part& part : copy.parts) {
        if (part.fd >= 0 && (part.openBodies == 0 || done) && copy.jobs == 0) {
            close(part.fd);
            part.fd = -1;
        }
    }
}

void CaptureSpool::DeleteFiles(std::unique_lock<std::mutex>& lock, Copy& copy) {
    if (copy.filesDeleted)
        return;
    copy.filesDeleted = true;
    std::vector<int> open;
    for (int* fd : {&copy.fd, &copy.indexFd, &copy.folderFd}) {
        if (*fd >= 0)
            open.push_back(*fd);
        *fd = -1;
    }
    for (Copy::Part& part : copy.parts) {
        if (part.fd >= 0)
            open.push_back(part.fd);
        part.fd = -1;
    }
    const bool made = copy.made || copy.folderMade;
    const std::string name = copy.name;
    // A stream's folder may hold thousands of pieces: removed without the lock.
    m_busy = true;
    lock.unlock();
    for (const int fd : open) close(fd);
    if (made)
        RemoveSpoolEntry(m_folderFd, name);
    lock.lock();
    m_busy = false;
    Changed(copy);
}

void CaptureSpool::TellChanges(std::unique_lock<std::mutex>& lock) {
    std::vector<std::uint64_t> changed;
    changed.swap(m_changed);
    std::vector<CopyStatus> statuses;
    for (const std::uint64_t id : changed) {
        Copy* copy = Find(id);
        if (copy == nullptr)
            continue;
        copy->changed = false;
        CopyStatus status = Describe(*copy);
        const bool repeat = copy->told && copy->told->state == status.state &&
                            copy->told->stop == status.stop &&
                            copy->told->keptBytes == status.keptBytes &&
                            copy->told->total == status.total &&
                            copy->told->parts == status.parts &&
                            copy->told->wholeParts == status.wholeParts &&
                            copy->told->intervals == status.intervals;
        if (!repeat) {
            copy->told = status;
            statuses.push_back(std::move(status));
        }
        // A deleted copy is forgotten once nothing refers to it any more.
        if (!copy->Live() && copy->filesDeleted && copy->jobs == 0 && copy->openBodies == 0) {
            m_playlistNames -= std::min(m_playlistNames, [&] {
                std::size_t names = 0;
                for (const Copy::Playlist& playlist : copy->playlists)
                    names += playlist.names.size();
                return names;
            }());
            m_copies.erase(id);
        }
    }
    if (statuses.empty() || !m_options.onStatus)
        return;
    m_busy = true;
    lock.unlock();
    for (const CopyStatus& status : statuses) m_options.onStatus(status);
    lock.lock();
    m_busy = false;
}
