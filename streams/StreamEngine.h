// The stream engine of one capture session (or of one file read): decoded packets in, media
// reports out, through every stage in turn:
//
//   TCP reassembly -> TLS with the key log (or the bytes as they are) -> HTTP/1.1 or HTTP/2
//   -> the media rules on whole exchanges -> the session's report sink
//   UDP datagrams -> QUIC with the key log -> HTTP/3 -> the same media rules
//
// Each connection gets a handler that probes its first bytes. A TLS connection is decrypted
// with the key log and its plaintext read as HTTP with the scheme https (HTTP/2 when ALPN chose
// "h2"). A connection that is not TLS is read as plain HTTP only under the rules `streams`;
// otherwise the engine gives it up at once and the packet rules keep plain HTTP as they are.
//
// Keys: the key log is followed live. PollKeyLog, called from the packet loop and when the
// capture is idle, reads it at most every kKeyLogPollInterval (a step of it at every call while
// more is waiting than one step read), and when its secrets changed
// (by this session's poll or another's: sessions may share one KeyLog) the connections
// waiting for keys are given another try. A connection whose records first wait for keys
// reads the key log itself (at most every kKeyLookInterval for all together), since a browser
// writes the secrets during the handshake: at link rate, a tenth of a second of records would
// otherwise pile up. A connection that closes while its records still
// wait for keys is kept a while (at most kParkSeconds, kMaxParked of them, an eighth of the
// budget), so that keys the browser writes a moment late still list its media.
//
// QUIC (with a key log only): datagrams to or from UDP port 443, or a port that a server named
// for HTTP/3 in an Alt-Svc answer (QuicPorts), go to the QUIC stage; a connection that chose
// (or, before its choice is read, offered) "h3" is read as HTTP/3, its exchanges going to the
// media rules with https URLs. Its packets wait for keys as TLS records do; a connection whose
// keys never came is told once through the notice sink (kQuicKeysNotice), and so are TLS
// connections whose keys never came (kTlsKeysNotice).
//
// Memory: every connection's state and buffers come out of the MemoryBudget, which sessions
// may share and which is never passed. One engine serves one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string_view>

#include "mediarules/MessageMediaRules.h"
#include "quic/QuicReader.h"
#include "streams/QuicPorts.h"
#include "streams/StreamOptions.h"
#include "tcp/MemoryBudget.h"
#include "tcp/TcpReassembler.h"
#include "tls/KeyLog.h"

class StreamEngine final : private TcpConnectionSink, private QuicConnectionSink {
public:
    static constexpr std::chrono::milliseconds kKeyLogPollInterval{100};
    static constexpr std::chrono::milliseconds kKeyLookInterval{1};
    static constexpr std::chrono::seconds kParkSeconds{10};
    static constexpr std::size_t kMaxParked = 1024;

    struct Setup {
        MemoryBudget* budget = nullptr;  // required; may be shared with other engines
        KeyLog* keyLog = nullptr;        // null: no key log, TLS connections are given up
        CaptureRules rules = CaptureRules::Packets;
        TcpReassembler::Limits limits{};
        // Where the bodies of listed media go (the capture spool); null: no copies. It must
        // outlive the engine.
        MediaCopySink* copies = nullptr;
        // Told what the user must know about the capture (QUIC whose keys never came), once.
        std::function<void(std::string_view text)> notice;
    };

    struct Statistics {
        std::uint64_t tls = 0;          // connections that opened with a ClientHello
        std::uint64_t decrypted = 0;    // of them, those whose plaintext reached HTTP
        std::uint64_t plain = 0;        // connections read as plain HTTP
        std::uint64_t leftAlone = 0;    // plain HTTP left to the packet rules
        std::uint64_t failed = 0;       // connections given up by TLS or HTTP
        std::uint64_t parked = 0;       // closed while waiting for keys
        std::uint64_t keysTooLate = 0;  // parked ones whose keys never came
        std::uint64_t http3 = 0;        // QUIC connections read as HTTP/3
    };

    StreamEngine(const Setup& setup, MessageMediaRules::ReportSink sink,
                 MessageMediaRules::IgnoreCheck ignore = {});
    // Ends every connection (nothing more is reported) and gives back all memory.
    ~StreamEngine() override;
    StreamEngine(const StreamEngine&) = delete;
    StreamEngine& operator=(const StreamEngine&) = delete;

    // One decoded packet with its capture time in seconds (any steady clock).
    void HandlePacket(const PacketView& packet, std::int64_t nowSeconds) {
        m_reassembler.HandlePacket(packet, nowSeconds);
    }

    // One UDP datagram with its capture time: QUIC's, when the engine reads QUIC.
    void HandleDatagram(const DatagramView& datagram, std::int64_t nowSeconds);
    // Whether it reads QUIC (it has a key log): then a capture hands it UDP datagrams, whole.
    bool ReadsQuic() const { return m_quic != nullptr; }
    // The UDP ports whose QUIC it reads: a capture filter takes them whole.
    const QuicPorts& QuicPortsRead() const { return m_quicPorts; }

    // Reads the key log when kKeyLogPollInterval has passed since the last read, gives
    // connections waiting for keys another try when the secrets changed, and lets parked
    // connections past their time go.
    void PollKeyLog(std::chrono::steady_clock::time_point now);
    // The same at once, whatever the interval.
    void PollKeyLogNow(std::chrono::steady_clock::time_point now);
    // Whether the key log has more waiting than its last read took: PollKeyLog then reads on
    // at once, and a loop polling it should not sleep.
    bool KeyLogBehind() const { return m_keyLog != nullptr && m_keyLog->Behind(); }

    // The end of the capture or the file: reads the key log once more, then ends every
    // connection, parked ones included, reporting what they hold.
    void Finish();

    const Statistics& Stats() const { return m_stats; }
    const TcpReassembler& Reassembler() const { return m_reassembler; }
    const QuicReader* Quic() const { return m_quic.get(); }
    // Connections (live or parked) whose records wait for keys.
    std::size_t WaitingForKeys() const { return m_waitingCount; }
    std::size_t ParkedCount() const { return m_parked.size(); }

    class Connection;

private:
    class Handler;
    class Http3Handler;
    friend class Connection;
    friend class Handler;

    struct Parked {
        std::unique_ptr<Connection> connection;
        std::chrono::steady_clock::time_point until;
        TcpEndReason reason;
        std::size_t bytes;
    };

    std::unique_ptr<TcpStreamHandler> OnConnection(const TcpConnectionInfo& info) override;
    std::unique_ptr<QuicStreamHandler> OnQuicConnection(const QuicConnectionInfo& info) override;
    bool OnKeysWanted() override { return LookForKeys(); }
    // Tells the notice once when QUIC connections gave up waiting for keys, and once when TLS
    // connections did (kTlsKeysNotice).
    void NoticeUnopened();
    void Park(std::unique_ptr<Connection> connection, TcpEndReason reason);
    void RetryWaiting();
    void SweepParked(std::chrono::steady_clock::time_point now, bool all);
    // Reads the key log for a connection that starts to wait; true when the secrets changed
    // since the last PollKeyLog.
    bool LookForKeys();
    void LinkWaiting(Connection& connection);
    void UnlinkWaiting(Connection& connection);

    MemoryBudget& m_budget;
    KeyLog* const m_keyLog;
    // Stands in for a missing key log, so that a TLS connection can still be told apart.
    KeyLog m_noKeys;
    const bool m_plainHttp;
    MessageMediaRules m_rules;
    Statistics m_stats;

    Connection* m_waiting = nullptr;  // a list through the connections, newest first
    std::size_t m_waitingCount = 0;
    std::deque<Parked> m_parked;  // oldest first
    std::size_t m_parkedBytes = 0;
    std::uint64_t m_seenGeneration = 0;
    std::chrono::steady_clock::time_point m_lastPoll{};
    bool m_polled = false;
    std::chrono::steady_clock::time_point m_lastLook{};
    bool m_looked = false;
    std::function<void(std::string_view text)> m_notice;
    bool m_quicNoticed = false;
    bool m_tlsNoticed = false;
    bool m_keysNeverCame = false;  // a live TLS connection ended while waiting for keys
    QuicPorts m_quicPorts;

    // Last: their connections' handlers reach everything above, and they go first.
    TcpReassembler m_reassembler;
    std::unique_ptr<QuicReader> m_quic;  // with a key log
};
