// The records of a classic capture file of Ethernet frames, read in pieces of 256 KiB straight
// from the file: libpcap reads every record with two reads through the C library's buffer and
// copies each frame once more into its own buffer.
//
// A thread of the reader's own does the reads ahead into a ring of eight pieces (2 MiB, however
// large the file), so that the kernel's copy of the file runs beside the parsing on another core;
// the parsing takes the filled pieces in order and frames are handed on from inside them. Only a
// record that runs across the end of a piece is copied, into a buffer of its own. The thread
// ends at the end of the file, at a read error, and when the reader is destroyed (also when its
// caller stops before the end): it never waits for anything but a free piece or that end. When
// no thread can be started the reads are done in the caller's thread, with the same results.
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
    // The size of the pieces read ahead, and how many of them there are.
    static constexpr std::size_t kPieceBytes = 256 << 10;
    static constexpr std::size_t kPieces = 8;

    // Reads the file of `fd` from its start with pread, so that the descriptor's offset stays
    // where it was (for libpcap when the file is not taken), through a descriptor of its own.
    // Nothing when the file is not one this reader takes (or no descriptor is left); `fd`
    // stays the caller's either way, to close when it likes.
    static std::optional<CaptureFileRecords> Open(int fd);

    CaptureFileRecords(CaptureFileRecords&&) noexcept;
    CaptureFileRecords& operator=(CaptureFileRecords&&) noexcept;
    // Ends the thread that reads ahead, and waits for it (at most one read long).
    ~CaptureFileRecords();

    enum class Step { Record, End, Error };
    // The next record: its header, and its frame (valid until the next call).
    Step Next(pcap_pkthdr& header, const std::uint8_t*& frame);
    // Why the last step was Error.
    const std::string& Error() const { return m_error; }

private:
    class ReadAhead;

    CaptureFileRecords();
    // Makes at least `need` bytes available from m_begin, all in one run, unless the file ends
    // first; gives what is there.
    std::size_t Available(std::size_t need);
    // Takes the next piece from the ring into m_piece; false at the end of the file or at an
    // error (m_error then says which).
    bool TakePiece();
    void ReleasePiece();

    bool m_swapped = false;
    bool m_nanoseconds = false;
    std::uint32_t m_snapshot = 0;
    std::unique_ptr<ReadAhead> m_readAhead;
    // The piece taken from the ring, when one is held: its bytes, and how many of them the
    // parsing has not used yet from m_pieceBegin on.
    const std::uint8_t* m_piece = nullptr;
    std::size_t m_pieceBegin = 0;
    std::size_t m_pieceEnd = 0;
    // A record across the end of a piece, gathered.
    std::unique_ptr<std::uint8_t[]> m_gathered;
    // The unread bytes: [m_begin, m_end) of m_data, which is either m_piece or m_gathered.
    const std::uint8_t* m_data = nullptr;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
    bool m_fileEnded = false;
    std::string m_error;
};
