#include "headless/CaptureFileRecords.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

constexpr std::size_t kFileHeaderBytes = 24;
constexpr std::size_t kRecordHeaderBytes = 16;
// The most a record takes: its header and the longest frame accepted.
constexpr std::size_t kGatheredBytes =
    kRecordHeaderBytes + CaptureFileRecords::kMaxCaptureLength;
constexpr std::uint32_t kMicrosecondMagic = 0xa1b2c3d4;
constexpr std::uint32_t kNanosecondMagic = 0xa1b23c4d;
constexpr std::uint32_t kEthernet = 1;

std::uint32_t Load32(const std::uint8_t* bytes, bool swapped) {
    std::uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    return swapped ? __builtin_bswap32(value) : value;
}

std::uint16_t Load16(const std::uint8_t* bytes, bool swapped) {
    std::uint16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return swapped ? __builtin_bswap16(value) : value;
}

std::string Truncated(const char* what, std::uint64_t wanted, std::uint64_t got) {
    return "truncated dump file; tried to read " + std::to_string(wanted) + " " + what +
           ", only got " + std::to_string(got);
}

}  // namespace

// The ring of pieces read ahead, shared by the thread that reads and the one that parses. A
// piece is the reading thread's from the moment the parsing hands it back until it is counted as
// produced, and the parsing's from then until it is handed back; the counts, the end and the
// stop are guarded by the mutex.
class CaptureFileRecords::ReadAhead {
public:
    // Takes `fd`, its own descriptor of the file.
    ReadAhead(int fd, std::uint64_t offset)
        : m_fd(fd),
          m_offset(offset),
          m_bytes(std::make_unique_for_overwrite<std::uint8_t[]>(kPieces * kPieceBytes)) {}

    ~ReadAhead() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_freed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_fd);
    }

    // Starts the thread, with every signal blocked in it that it does not raise itself (the
    // stop signals go to the threads that wait for them). Without one, Take reads.
    void Start() {
        sigset_t all, previous;
        sigfillset(&all);
        for (const int own : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT})
            sigdelset(&all, own);
        pthread_sigmask(SIG_BLOCK, &all, &previous);
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    // The next piece in the file's order; false at the end, with the read's errno in `error`
    // when a read failed (0 at the end of the file).
    bool Take(const std::uint8_t*& bytes, std::size_t& size, int& error) {
        std::unique_lock lock(m_mutex);
        if (!m_thread.joinable() && m_taken == m_produced && !m_ended) {
            const std::size_t piece = m_produced % kPieces;
            int readError = 0;
            const std::size_t got = Fill(piece, readError);
            Publish(piece, got, readError);
        }
        if (m_taken == m_produced && !m_ended) {
            m_parsingWaits = true;
            m_filled.wait(lock, [this] { return m_taken < m_produced || m_ended; });
            m_parsingWaits = false;
        }
        if (m_taken == m_produced) {
            error = m_error;
            return false;
        }
        const std::size_t piece = m_taken++ % kPieces;
        bytes = m_bytes.get() + piece * kPieceBytes;
        size = m_sizes[piece];
        return true;
    }

    // Hands the piece taken first of those still held back to the reading, which goes on once
    // half the ring is free (a wake-up per piece would cost more than the read).
    void Release() {
        bool wake;
        {
            std::lock_guard lock(m_mutex);
            ++m_released;
            wake = m_readingWaits && m_produced - m_released <= kPieces / 2;
        }
        if (wake)
            m_freed.notify_one();
    }

private:
    void Run() {
        for (;;) {
            std::size_t piece;
            {
                std::unique_lock lock(m_mutex);
                if (m_produced - m_released == kPieces) {
                    m_readingWaits = true;
                    m_freed.wait(lock, [this] {
                        return m_stopping || m_produced - m_released <= kPieces / 2;
                    });
                    m_readingWaits = false;
                }
                if (m_stopping)
                    return;
                piece = m_produced % kPieces;
            }
            int error = 0;
            const std::size_t got = Fill(piece, error);
            bool ended, wake;
            {
                std::lock_guard lock(m_mutex);
                Publish(piece, got, error);
                ended = m_ended;
                wake = m_parsingWaits;
            }
            if (wake)
                m_filled.notify_one();
            if (ended)
                return;
        }
    }

    // One read into a free piece: the bytes read; 0 at the end of the file or at an error
    // (its errno in `error`).
    std::size_t Fill(std::size_t piece, int& error) {
        for (;;) {
            const ssize_t n = ::pread(m_fd, m_bytes.get() + piece * kPieceBytes, kPieceBytes,
                                      static_cast<off_t>(m_offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = errno;
                return 0;
            }
            m_offset += static_cast<std::uint64_t>(n);
            return static_cast<std::size_t>(n);
        }
    }

    // Under the mutex.
    void Publish(std::size_t piece, std::size_t got, int error) {
        if (got == 0) {
            m_ended = true;
            m_error = error;
            return;
        }
        m_sizes[piece] = got;
        ++m_produced;
    }

    const int m_fd;
    std::uint64_t m_offset;  // the reading's alone
    std::unique_ptr<std::uint8_t[]> m_bytes;
    std::size_t m_sizes[kPieces] = {};
    std::mutex m_mutex;
    std::condition_variable m_filled;
    std::condition_variable m_freed;
    std::uint64_t m_produced = 0;
    std::uint64_t m_taken = 0;
    std::uint64_t m_released = 0;
    bool m_ended = false;  // after the last piece produced
    int m_error = 0;
    bool m_stopping = false;
    // Which side sleeps on its condition, so that the other wakes it only then.
    bool m_parsingWaits = false;
    bool m_readingWaits = false;
    std::thread m_thread;  // last: started when all the rest is there
};

CaptureFileRecords::CaptureFileRecords() = default;
CaptureFileRecords::CaptureFileRecords(CaptureFileRecords&&) noexcept = default;
CaptureFileRecords& CaptureFileRecords::operator=(CaptureFileRecords&&) noexcept = default;
CaptureFileRecords::~CaptureFileRecords() = default;

std::optional<CaptureFileRecords> CaptureFileRecords::Open(int fd) {
    std::uint8_t header[kFileHeaderBytes];
    std::size_t got = 0;
    while (got < sizeof header) {
        const ssize_t n = ::pread(fd, header + got, sizeof header - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        got += static_cast<std::size_t>(n);
    }
    std::uint32_t magic;
    std::memcpy(&magic, header, sizeof magic);
    const bool swapped = magic == __builtin_bswap32(kMicrosecondMagic) ||
                         magic == __builtin_bswap32(kNanosecondMagic);
    if (swapped)
        magic = __builtin_bswap32(magic);
    if (magic != kMicrosecondMagic && magic != kNanosecondMagic)
        return std::nullopt;
    const std::uint32_t snapshot = Load32(header + 16, swapped);
    if (Load16(header + 4, swapped) != 2 || Load16(header + 6, swapped) != 4 ||
        Load32(header + 20, swapped) != kEthernet || snapshot == 0 ||
        snapshot > kMaxCaptureLength)
        return std::nullopt;
    CaptureFileRecords records;
    records.m_swapped = swapped;
    records.m_nanoseconds = magic == kNanosecondMagic;
    records.m_snapshot = snapshot;
    records.m_gathered = std::make_unique_for_overwrite<std::uint8_t[]>(kGatheredBytes);
    // A descriptor of the reader's own: the caller may close its own while the thread still
    // reads ahead.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return std::nullopt;
    try {
        records.m_readAhead = std::make_unique<ReadAhead>(own, kFileHeaderBytes);
    } catch (...) {
        ::close(own);
        throw;
    }
    records.m_readAhead->Start();
    return records;
}

bool CaptureFileRecords::TakePiece() {
    int error = 0;
    if (m_readAhead->Take(m_piece, m_pieceEnd, error)) {
        m_pieceBegin = 0;
        return true;
    }
    m_piece = nullptr;
    if (error != 0)
        m_error = std::string("error reading dump file: ") + std::strerror(error);
    return false;
}

void CaptureFileRecords::ReleasePiece() {
    m_readAhead->Release();
    m_piece = nullptr;
    m_pieceBegin = m_pieceEnd = 0;
}

std::size_t CaptureFileRecords::Available(std::size_t need) {
    for (;;) {
        if (m_end - m_begin >= need || m_fileEnded)
            return m_end - m_begin;
        if (m_begin < m_end)
            break;
        // Nothing unread in hand: the rest of the piece held, or the next piece, in place.
        if (m_piece != nullptr && m_data != m_piece) {
            m_data = m_piece;
            m_begin = m_pieceBegin;
            m_end = m_pieceEnd;
            continue;
        }
        if (m_piece != nullptr)
            ReleasePiece();
        if (!TakePiece()) {
            m_fileEnded = true;
            m_data = nullptr;
            m_begin = m_end = 0;
            return 0;
        }
        m_data = m_piece;
        m_begin = 0;
        m_end = m_pieceEnd;
    }
    // What is unread runs on past the end of its piece: it and the bytes after it are gathered.
    const std::size_t have = m_end - m_begin;
    std::uint8_t* gathered = m_gathered.get();
    std::memmove(gathered, m_data + m_begin, have);
    if (m_data == m_piece)
        ReleasePiece();
    m_data = gathered;
    m_begin = 0;
    m_end = have;
    while (m_end < need) {
        if (m_piece == nullptr && !TakePiece()) {
            m_fileEnded = true;
            break;
        }
        const std::size_t n = std::min(need - m_end, m_pieceEnd - m_pieceBegin);
        std::memcpy(gathered + m_end, m_piece + m_pieceBegin, n);
        m_end += n;
        m_pieceBegin += n;
        if (m_pieceBegin == m_pieceEnd)
            ReleasePiece();
    }
    return m_end - m_begin;
}

CaptureFileRecords::Step CaptureFileRecords::Next(pcap_pkthdr& header,
                                                  const std::uint8_t*& frame) {
    const std::size_t have = Available(kRecordHeaderBytes);
    if (!m_error.empty())
        return Step::Error;
    if (have == 0)
        return Step::End;
    if (have < kRecordHeaderBytes) {
        m_error = Truncated("header bytes", kRecordHeaderBytes, have);
        return Step::Error;
    }
    const std::uint8_t* record = m_data + m_begin;
    const std::uint32_t seconds = Load32(record, m_swapped);
    const std::uint32_t fraction = Load32(record + 4, m_swapped);
    const std::uint32_t captured = Load32(record + 8, m_swapped);
    const std::uint32_t length = Load32(record + 12, m_swapped);
    if (captured > kMaxCaptureLength) {
        m_error = "invalid packet capture length " + std::to_string(captured) +
                  ", bigger than snaplen of " + std::to_string(m_snapshot);
        return Step::Error;
    }
    // What libpcap hands on of a frame longer than the file's snapshot length: its start.
    const std::uint32_t kept = captured > m_snapshot ? m_snapshot : captured;
    const std::size_t frameHave = Available(kRecordHeaderBytes + captured) - kRecordHeaderBytes;
    if (!m_error.empty())
        return Step::Error;
    if (frameHave < captured) {
        m_error = frameHave < kept ? Truncated("captured bytes", kept, frameHave)
                                   : Truncated("captured bytes", captured, frameHave);
        return Step::Error;
    }
    record = m_data + m_begin;  // the bytes may have been gathered
    // As libpcap gives them: signed 32-bit numbers in a file of this machine's byte order,
    // unsigned ones in a swapped file; nanoseconds scaled down to microseconds.
    std::int64_t second = m_swapped ? std::int64_t{seconds} : static_cast<std::int32_t>(seconds);
    std::int64_t part = m_swapped ? std::int64_t{fraction} : static_cast<std::int32_t>(fraction);
    header.ts.tv_sec = static_cast<time_t>(second);
    header.ts.tv_usec = static_cast<suseconds_t>(m_nanoseconds ? part / 1000 : part);
    header.caplen = kept;
    header.len = length;
    frame = record + kRecordHeaderBytes;
    m_begin += kRecordHeaderBytes + captured;
    return Step::Record;
}
