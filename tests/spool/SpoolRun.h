// The spool tests' harness: the stream engine reading real HTTPS traffic (OpenSSL peers in
// process, wrapped into a capture's frames) into a capture spool in a private folder.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "spool/CaptureSpool.h"
#include "streams/StreamEngine.h"
#include "support/HttpsScript.h"
#include "support/QuicTraffic.h"

namespace spooltest {

using Frame = TcpConversation::Frame;

const IpAddress kClient{Ipv4Address{10, 0, 0, 2}};
const IpAddress kServer{Ipv4Address{10, 0, 0, 7}};

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The stream engine feeding a spool in a private folder, as a session runs them.
class SpoolRun {
public:
    explicit SpoolRun(std::string keys) {
        ::chmod(m_folder.path.c_str(), 0700);
        std::string error;
        CaptureSpool::Options options;
        options.waitWhenFull = true;
        m_spool = CaptureSpool::Open(::open(m_folder.path.c_str(), O_RDONLY | O_DIRECTORY),
                                     m_folder.path.string(), options, error);
        EXPECT_TRUE(m_spool) << error;
        m_keys.AddText(keys);
        StreamEngine::Setup setup;
        setup.budget = &m_budget;
        setup.keyLog = &m_keys;
        setup.copies = m_spool.get();
        m_engine = std::make_unique<StreamEngine>(
            setup, [this](MediaReport report) { m_reports.push_back(std::move(report)); });
    }

    void Feed(const std::vector<Frame>& frames) {
        for (const Frame& frame : frames) {
            const auto view = DecodeFrame(frame.size(), frame.data(), LocalAddresses{kClient});
            ASSERT_TRUE(view);
            m_engine->HandlePacket(*view, 100);
        }
    }
    void Feed(const std::vector<QuicDatagramOut>& datagrams) {
        for (const QuicDatagramOut& datagram : datagrams) {
            const std::vector<std::uint8_t> frame = QuicCaptureFrame(datagram);
            DatagramView view;
            ASSERT_TRUE(DecodeUdpFrame(frame.size(), frame.data(), view));
            m_engine->HandleDatagram(view, 100);
        }
    }
    void Finish() {
        m_engine->Finish();
        m_spool->Flush();
    }

    // The one copy every report of `url` names (0 when they disagree or none has one).
    std::uint64_t CopyOf(const std::string& url) const {
        std::uint64_t id = 0;
        for (const MediaReport& report : m_reports) {
            if (report.url != url)
                continue;
            if (report.copyId == 0 || (id != 0 && id != report.copyId))
                return 0;
            id = report.copyId;
        }
        return id;
    }
    CopyStatus Status(std::uint64_t id) const { return m_spool->Status(id).value_or(CopyStatus{}); }
    std::string Bytes(const CopyStatus& status) const {
        return ReadFile(m_folder.path / status.name);
    }
    const std::filesystem::path& Folder() const { return m_folder.path; }
    CaptureSpool& Spool() { return *m_spool; }

private:
    TempFolder m_folder;
    std::unique_ptr<CaptureSpool> m_spool;
    MemoryBudget m_budget{32u << 20};
    KeyLog m_keys;
    std::vector<MediaReport> m_reports;
    std::unique_ptr<StreamEngine> m_engine;
};

inline std::vector<Frame> Connection(const TlsTrafficResult& traffic, std::uint16_t port) {
    TcpConversation tcp(kClient, kServer, port);
    std::vector<Frame> frames;
    https::EmitConnection(tcp, traffic, 1448, [&](Frame f) { frames.push_back(std::move(f)); });
    return frames;
}

inline TlsTrafficConfig Config(std::uint16_t version, bool http2, const std::string& host) {
    TlsTrafficConfig config;
    config.version = version;
    config.cipher = version == 0x0303 ? "ECDHE-ECDSA-AES128-GCM-SHA256" : "TLS_AES_128_GCM_SHA256";
    config.serverName = host;
    config.alpn = http2 ? std::vector<std::string>{"h2"} : std::vector<std::string>{"http/1.1"};
    return config;
}

}  // namespace spooltest
