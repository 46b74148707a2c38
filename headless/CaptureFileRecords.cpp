#include "headless/CaptureFileRecords.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Room for the largest record and the pieces read ahead of it.
constexpr std::size_t kBufferBytes = 1 << 20;
constexpr std::size_t kPieceBytes = 128 << 10;
constexpr std::size_t kFileHeaderBytes = 24;
constexpr std::size_t kRecordHeaderBytes = 16;
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
    records.m_fd = fd;
    records.m_swapped = swapped;
    records.m_nanoseconds = magic == kNanosecondMagic;
    records.m_snapshot = snapshot;
    records.m_fileOffset = kFileHeaderBytes;
    records.m_buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferBytes);
    return records;
}

std::size_t CaptureFileRecords::Available(std::size_t need) {
    if (m_end - m_begin >= need || m_fileEnded)
        return m_end - m_begin;
    std::memmove(m_buffer.get(), m_buffer.get() + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_begin = 0;
    while (m_end < need) {
        const ssize_t n = ::pread(m_fd, m_buffer.get() + m_end, std::min(kBufferBytes - m_end, kPieceBytes),
                                  static_cast<off_t>(m_fileOffset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_error = std::string("error reading dump file: ") + std::strerror(errno);
            m_fileEnded = true;
            break;
        }
        if (n == 0) {
            m_fileEnded = true;
            break;
        }
        m_end += static_cast<std::size_t>(n);
        m_fileOffset += static_cast<std::uint64_t>(n);
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
    const std::uint8_t* record = m_buffer.get() + m_begin;
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
    record = m_buffer.get() + m_begin;  // the bytes may have moved
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
