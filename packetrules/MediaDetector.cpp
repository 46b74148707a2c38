#include "packetrules/MediaDetector.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/Text.h"
#include "packetrules/MediaMarkers.h"

namespace {

// Without blanks (space characters: a tab, a line break or a form feed is part of the text) at
// either end.
std::string_view TrimSpaces(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Trimmed of blanks, except that blanks alone are left as they are.
std::string_view TrimUnlessBlank(std::string_view text) {
    const std::string_view trimmed = TrimSpaces(text);
    return trimmed.empty() ? text : trimmed;
}

std::string_view Bytes(const std::uint8_t* payload, std::size_t from, std::size_t to) {
    return {reinterpret_cast<const char*>(payload) + from, to - from};
}

}  // namespace

std::string BuildMediaUrl(const PendingRequest& request) {
    if (request.path.empty())
        return {};
    const std::string_view path = TrimUnlessBlank(request.path);
    const std::string_view host = TrimUnlessBlank(request.host);
    std::string url;
    // A Host value of blanks only names no host: the server's address serves instead.
    if (!TrimSpaces(host).empty()) {
        url.reserve(host.size() + path.size());
        url.append(host).append(path);
    } else if (request.destinationAddress.IsIpv4()) {
        url.append(AddressText(request.destinationAddress)).append(path);
    } else {
        // An IPv6 address in a URL is written in brackets, or its colons would read as a port.
        url.append("[").append(AddressText(request.destinationAddress)).append("]").append(path);
    }
    if (url.size() > kMaxUrlLength)
        url.resize(kMaxUrlLength);
    return url;
}

void MediaDetector::Reset() {
    m_pending.Clear();
    m_answers.Clear();
    m_lastRequest.Clear();
    m_lastLengthText.clear();
    m_currentRequest.Clear();
}

void MediaDetector::HandlePacket(const PacketView& packet, std::int64_t nowSeconds) {
    if (packet.payload == nullptr)
        return;
    if (packet.outgoing) {
        HandleRequest(packet, nowSeconds);
        return;
    }
    // Only while some answer awaits its body does a packet cost a look-up.
    if (m_answers.AwaitingBody() > 0 && packet.wireLength > 0)
        HandleFirstBodyPacket(packet);
    if (FindMarker(kMarkers.http, packet.payload, packet.rawLength, 0, packet.scanLength) !=
        kNotFound) {
        HandleResponse(packet, nowSeconds);
        return;
    }
    // A packet that starts a Flash video body continues its connection's last answer, or the
    // adapter's last answer when the connection's was never seen.
    if (BeginsWith(kMarkers.flashSignature, packet.payload, packet.rawLength, 0)) {
        if (const RememberedAnswer* answer = m_answers.Find(AnswerKey(packet))) {
            ReportMedia(answer->request, answer->lengthText, kMarkers.flashTypeText);
        } else {
            ReportMedia(m_lastRequest, m_lastLengthText, kMarkers.flashTypeText);
        }
    }
}

ConnectionKey MediaDetector::AnswerKey(const PacketView& packet) {
    // The answer travels the other way: its destination is the request's source.
    return {packet.destinationAddress, packet.sourceAddress, packet.destinationPort,
            packet.sourcePort};
}

void MediaDetector::HandleFirstBodyPacket(const PacketView& packet) {
    // The first data packet after a header packet that carried no body is that body's start:
    // an MP3 body there is what it would have been in the header packet.
    if (const RememberedAnswer* answer = m_answers.TakeFirstBody(AnswerKey(packet))) {
        if (BeginsWith(kMarkers.id3Signature, packet.payload, packet.rawLength, 0))
            ReportMedia(answer->request, answer->lengthText, kMarkers.mp3TypeText);
    }
}

void MediaDetector::HandleRequest(const PacketView& packet, std::int64_t nowSeconds) {
    const std::uint8_t* payload = packet.payload;
    const std::size_t raw = packet.rawLength;
    const std::size_t scanEnd = packet.scanLength;

    const std::size_t g = FindMarker(kMarkers.get, payload, raw, 0, scanEnd);
    if (g == kNotFound)
        return;
    const std::size_t s = FindMarker(kMarkers.blank, payload, raw, g, scanEnd - g);
    if (s == kNotFound)
        return;

    PendingRequest entry;
    entry.sourceAddress = packet.sourceAddress;
    entry.destinationAddress = packet.destinationAddress;
    entry.sourcePort = packet.sourcePort;
    entry.destinationPort = packet.destinationPort;
    entry.path.assign(Bytes(payload, g, s));

    const std::size_t h = FindMarker(kMarkers.host, payload, raw, s, scanEnd - s);
    if (h != kNotFound) {
        const std::size_t c = FindMarker(kMarkers.lineEnd, payload, raw, h, scanEnd - h);
        if (c != kNotFound)
            entry.host.assign(Bytes(payload, h, c - kMarkers.lineEnd.size()));
    }
    const std::size_t f = h != kNotFound ? h : s;
    const std::size_t e = FindMarker(kMarkers.headerEnd, payload, raw, f, 2 * scanEnd);
    // From the payload start: text before "GET " belongs to the block as well.
    if (e != kNotFound)
        entry.requestHeaders.assign(Bytes(payload, 0, e));

    m_pending.AddPendingRequest(std::move(entry), nowSeconds);
}

void MediaDetector::HandleResponse(const PacketView& packet, std::int64_t nowSeconds) {
    const std::uint8_t* payload = packet.payload;
    const std::size_t raw = packet.rawLength;
    const std::size_t scan = packet.scanLength;

    const ConnectionKey connection = AnswerKey(packet);
    m_pending.TakePendingRequest(connection.client, connection.server, connection.clientPort,
                                 connection.serverPort, m_currentRequest);

    std::string_view lengthText;
    const std::size_t q = FindMarker(kMarkers.contentLength, payload, raw, 0, scan);
    if (q != kNotFound) {
        const std::size_t c = FindMarker(kMarkers.lineEnd, payload, raw, q, scan);
        if (c != kNotFound)
            lengthText = Bytes(payload, q, c);
    }

    // Set when a body-signature rule applies but the header packet brought no body byte.
    bool awaitingBody = false;
    const std::size_t t = FindMarker(kMarkers.contentTypeVideo, payload, raw, 0, scan);
    if (t != kNotFound) {
        std::string_view typeText;
        const std::size_t c = FindMarker(kMarkers.lineEnd, payload, raw, t, scan);
        if (c != kNotFound)
            typeText = Bytes(payload, t, c);
        const std::size_t x = FindMarker(kMarkers.flashType, payload, raw, t, scan);
        if (x != kNotFound) {
            const std::size_t e = FindMarker(kMarkers.headerEnd, payload, raw, x, raw);
            // A header block that ends with the packet brought no body byte: the body's first
            // packet, which starts with the Flash signature, reports the transfer instead. A
            // packet whose end the snapshot length cut off did bring body bytes.
            if (e == kNotFound || e < raw || packet.wireLength > raw)
                ReportMedia(m_currentRequest, lengthText, typeText);
        } else {
            ReportMedia(m_currentRequest, lengthText, typeText);
        }
    } else {
        // One search serves both questions: where the body starts within the scan window,
        // and whether the header block ends exactly where the packet does.
        const std::size_t end = FindMarker(kMarkers.headerEnd, payload, raw, 0, scan + 1);
        if (end != kNotFound && end < scan) {
            if (BeginsWith(kMarkers.flashSignature, payload, raw, end)) {
                ReportMedia(m_currentRequest, lengthText, kMarkers.flashTypeText);
            } else if (BeginsWith(kMarkers.id3Signature, payload, raw, end)) {
                ReportMedia(m_currentRequest, lengthText, kMarkers.mp3TypeText);
            }
        }
        // An answer tied to no request could never be reported: it awaits nothing.
        awaitingBody = end == raw && packet.wireLength <= raw && !m_currentRequest.path.empty();
    }

    // Every "HTTP" packet replaces the remembered answer of its connection and of the adapter,
    // reported or not. Assigning and swapping keep the buffers, so this allocates only when a
    // text outgrows them.
    m_answers.Remember(connection, awaitingBody, nowSeconds, m_currentRequest, lengthText);
    std::swap(m_lastRequest, m_currentRequest);
    m_lastLengthText.assign(lengthText);
}

void MediaDetector::ReportMedia(const PendingRequest& request, std::string_view lengthText,
                                std::string_view typeText) {
    if (request.path.empty())
        return;  // nothing tied to the response: no URL
    std::string url = BuildMediaUrl(request);
    if (url.empty())
        return;
    if (TakeIgnored(url))
        return;
    if (m_sink) {
        MediaReport report;
        report.url = "http://" + url;
        report.requestHeaders = request.requestHeaders;
        report.lengthText.assign(lengthText);
        report.typeText.assign(typeText);
        report.serverAddress = request.destinationAddress;
        report.serverPort = ntohs(request.destinationPort);
        m_sink(std::move(report));
    }
}

bool MediaDetector::TakeIgnored(std::string_view url) {
    {
        std::lock_guard<std::mutex> lock(m_ignoreMutex);
        const auto it = std::find(m_ignoreList.begin(), m_ignoreList.end(), url);
        if (it == m_ignoreList.end())
            return false;
        m_ignoreList.erase(it);
    }
    if (m_ignoredSink)
        m_ignoredSink(std::string(url));
    return true;
}

std::size_t MediaDetector::IgnoreUrl(const std::string& url, int count) {
    std::lock_guard<std::mutex> lock(m_ignoreMutex);
    // Copies past the list's size would give way at once: they count as dropped.
    std::size_t dropped = count > static_cast<int>(kMaxIgnoredUrls)
                              ? static_cast<std::size_t>(count) - kMaxIgnoredUrls
                              : 0;
    for (int i = 0; i < count && i < static_cast<int>(kMaxIgnoredUrls); ++i)
        m_ignoreList.push_back(url);
    if (m_ignoreList.size() > kMaxIgnoredUrls) {
        const std::size_t over = m_ignoreList.size() - kMaxIgnoredUrls;
        m_ignoreList.erase(m_ignoreList.begin(),
                           m_ignoreList.begin() + static_cast<std::ptrdiff_t>(over));
        dropped += over;
    }
    return dropped;
}

std::size_t MediaDetector::IgnoreListSize() const {
    std::lock_guard<std::mutex> lock(m_ignoreMutex);
    return m_ignoreList.size();
}

void MediaDetector::ClearIgnoreList() {
    std::lock_guard<std::mutex> lock(m_ignoreMutex);
    m_ignoreList.clear();
}
