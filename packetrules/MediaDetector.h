// Recognises outgoing GET requests and incoming media responses in single packets, ties each
// response to its request, forms the media URL and reports the transfer. One detector per
// capture session; it works on decoded packets, never on a capture handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/MediaReport.h"
#include "frames/FrameDecoder.h"
#include "packetrules/ConnectionAnswers.h"
#include "packetrules/PendingRequests.h"

// Receives one report.
using ReportSink = std::function<void(MediaReport report)>;

// The farthest payload byte any rule reads: a request's header block is searched up to twice
// the scan window past a marker found within the first window. The one search that runs to the
// payload end (the end of a Flash video answer's header block) needs only to know whether the
// packet went on past the captured bytes, which PacketView::wireLength tells.
inline constexpr std::size_t kDetectionReach = 3 * kScanWindow;

// Longest URL a report carries; a longer one is cut to this many bytes.
inline constexpr std::size_t kMaxUrlLength = 4095;

// The URL of a request: host (or the server's address when there is no Host value) followed
// by the path, blanks trimmed. Empty when the path is empty.
std::string BuildMediaUrl(const PendingRequest& request);

class MediaDetector {
public:
    // Installed before the first packet; runs on the thread that calls HandlePacket.
    void SetReportSink(ReportSink sink) { m_sink = std::move(sink); }
    // Told each URL whose sighting an ignore-list entry suppressed (the entry is gone then).
    // Installed before the first packet; runs on the thread that calls HandlePacket.
    void SetIgnoredSink(std::function<void(const std::string& url)> sink) {
        m_ignoredSink = std::move(sink);
    }

    // Forgets the pending requests and the remembered answers (the capture loop starts).
    void Reset();

    // Handles one decoded packet. `nowSeconds` is the clock of the pending requests and of the
    // remembered answers.
    void HandlePacket(const PacketView& packet, std::int64_t nowSeconds);

    // Applies the empty-URL and ignore rules, then hands the report (its URL with the "http://"
    // scheme, the server the request went to) to the sink.
    void ReportMedia(const PendingRequest& request, std::string_view lengthText,
                     std::string_view typeText);

    // The ignore list holds at most this many entries; past that, the oldest give way.
    static constexpr std::size_t kMaxIgnoredUrls = 1024;

    // Whether the ignore list holds `url` (without scheme): that entry is used up and the
    // ignored sink told. The stream engine's rules consult the same list through it.
    bool TakeIgnored(std::string_view url);

    // Appends `count` copies of `url` to the ignore list: each suppresses one later sighting.
    // Gives how many of the oldest entries gave way to them. Safe to call from any thread.
    std::size_t IgnoreUrl(const std::string& url, int count);
    std::size_t IgnoreListSize() const;
    void ClearIgnoreList();

    const PendingRequestList& Pending() const { return m_pending; }
    const ConnectionAnswers& Answers() const { return m_answers; }

private:
    void HandleRequest(const PacketView& packet, std::int64_t nowSeconds);
    void HandleResponse(const PacketView& packet, std::int64_t nowSeconds);
    void HandleFirstBodyPacket(const PacketView& packet);
    static ConnectionKey AnswerKey(const PacketView& packet);

    ReportSink m_sink;
    std::function<void(const std::string& url)> m_ignoredSink;
    PendingRequestList m_pending;
    // The request and length text of the most recent incoming packet of each connection that
    // contained "HTTP": a body that starts in the connection's next packet is reported with
    // them, whatever other transfers came in between.
    ConnectionAnswers m_answers;
    // The same for the adapter as a whole: a Flash video body on a connection whose answer
    // was never seen (or was forgotten) is reported with the adapter's most recent answer.
    PendingRequest m_lastRequest;
    std::string m_lastLengthText;
    // Scratch request reused for each response so that no packet allocates.
    PendingRequest m_currentRequest;

    mutable std::mutex m_ignoreMutex;
    std::vector<std::string> m_ignoreList;  // guarded by m_ignoreMutex
};
