// The records of a classic capture file of Ethernet frames, read in pieces of 128 KiB straight
// from the file: libpcap reads every record with two reads through the C library's buffer and
// copies each frame once more into its own buffer.
//
// Only the plainest files are taken: the two classic magic numbers (micro- or nanosecond
// times) in either byte order, version 2.4, link type Ethernet with nothing more in the field,
// and a snapshot length from 1 to 262,144. Anything else (pcapng, other link types, odd
// versions, a snapshot length libpcap adjusts) is left to libpcap. On the files taken the
// records, their times (in microseconds, as libpcap gives them), the end and every error (a cut
// record header or frame, a captured length past what libpcap accepts) are libpcap's, with its
// texts.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class CaptureFileRecords {
public:
    // The largest captured length libpcap accepts in an Ethernet capture.
    static constexpr std::uint32_t kMaxCaptureLength = 262144;

    // Reads the file of `fd` from its start with pread, so that the descriptor's offset stays
    // where it was (for libpcap when the file is not taken). Nothing when the file is not one
    // this reader takes; `fd` stays the caller's either way.
    static std::optional<CaptureFileRecords> Open(int fd);

    enum class Step { Record, End, Error };
    // The next record: its header, and its frame (valid until the next call).
    Step Next(pcap_pkthdr& header, const std::uint8_t*& frame);
    // Why the last step was Error.
    const std::string& Error() const { return m_error; }

private:
    CaptureFileRecords() = default;
    // Makes at least `need` bytes available from m_begin unless the file ends first; gives
    // what is there.
    std::size_t Available(std::size_t need);

    int m_fd = -1;
    bool m_swapped = false;
    bool m_nanoseconds = false;
    std::uint32_t m_snapshot = 0;
    std::uint64_t m_fileOffset = 0;  // of the byte after the buffer's end
    std::unique_ptr<std::uint8_t[]> m_buffer;
    std::size_t m_begin = 0;  // unread bytes: [m_begin, m_end)
    std::size_t m_end = 0;
    bool m_fileEnded = false;
    std::string m_error;
};
