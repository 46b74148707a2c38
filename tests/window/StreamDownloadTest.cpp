// Download of listed HTTPS files and HLS/DASH streams through the main window's button, from
// nginx over TLS in a network namespace. nginx answers only requests that carry the session
// cookie of the captured request; the save prompt and the message boxes are answered through
// their seams.
#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "base/Globals.h"
#include "base/ShowMessage.h"
#include "converter/ConversionJobs.h"
#include "converter/ConverterTestSupport.h"
#include "http/LocalHttpServer.h"
#include "mediarules/Playlist.h"
#include "support/LiveNetwork.h"
#include "support/TestAuthority.h"
#include "window/SniffedMediaList.h"
#include "window/TavrelSnifferWindow.h"

namespace fs = std::filesystem;

namespace {

constexpr int kPreview = 1138;
constexpr int kDownload = 1141;
constexpr int kPort = 8443;
constexpr double kSourceSeconds = 4.0;
const std::string kCookie = "pelnix_session=s3cret";
const std::string kMp3Options = "-vn -codec:a libmp3lame -q:a 2 -f mp3";

std::string NoCapture() {
    return {};
}

std::string Origin() {
    return "https://" + std::string(VethPair::kServerAddress) + ":" + std::to_string(kPort);
}

// The captured request: the session cookie on two lines, a user agent, and the range a browser
// asked for, which a fetch must not send again.
std::string CapturedRequest(const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: " + VethPair::kServerAddress +
           "\r\nUser-Agent: PelnixTestBrowser/1\r\nCookie: " + kCookie +
           "\r\nRange: bytes=5000-\r\nIf-Range: \"e1\"\r\nCookie: other=1\r\n\r\n";
}

bool Ffmpeg(const std::string& arguments) {
    return convtest::RunCommand("ffmpeg -v error -y " + arguments) == 0;
}

// The stream entry the capture side lists for the playlist `text` at `path` of the site.
MediaReport StreamReport(const std::string& text, const std::string& path) {
    const std::string url = Origin() + path;
    const bool dash = path.ends_with(".mpd");
    const std::optional<StreamPlaylist> playlist =
        dash ? ParseDashManifest(text, url) : ParseHlsPlaylist(text, url);
    MediaReport report = PlainReport(url, CapturedRequest(path), "", dash ? "dash" : "hls");
    report.kind = report.typeText;
    if (playlist) {
        report.detail = PlaylistDetail(*playlist);
        report.durationSeconds = playlist->durationSeconds;
        report.variantUrl = BestVariantUrl(*playlist);
    }
    return report;
}

}  // namespace

class StreamDownloadTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    std::string m_root, m_site;
    std::unique_ptr<VethPair> m_network;
    pid_t m_nginx = -1;
    QStringList m_messages;
    QString m_answer;
    int m_prompts = 0;
    std::map<std::string, std::string> m_playlists;  // path -> text, as served uncompressed

    std::string Log() const { return convtest::ReadFile(m_root + "/access.log"); }

    void WriteSettings(const std::string& caFile) {
        convtest::WriteFile(g_settingsFile, "[Pelnix]\nTlsCaFile=" + caFile + "\n");
    }

    void Download(const MediaReport& report) {
        TavrelSnifferWindow window(nullptr, &NoCapture);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.MediaList()->AddSniffedMedia(report, std::time(nullptr));
        QCOMPARE(window.MediaList()->Count(), 1);
        window.ControlAs<QPushButton>(kDownload)->click();
    }

private slots:
    void initTestCase() {
        if (geteuid() != 0)
            QSKIP("needs root for its network namespaces");
        for (const char* program : {"nginx", "openssl", "ffmpeg", "ffprobe", "curl", "gzip"}) {
            if (!HaveProgram(program))
                QSKIP(qPrintable(QStringLiteral("needs the program %1").arg(program)));
        }
        ClearProxyEnvironment();
        m_root = m_dir.path().toStdString();
        m_site = m_root + "/site";
        for (const char* folder : {"/ts", "/fmp4", "/dash", "/drm", "/aes"})
            fs::create_directories(m_site + folder);
        QVERIFY(MakeTestAuthority(m_root));

        // A few seconds of picture and sound, as HLS with TS and with fMP4 segments and as DASH.
        const std::string source =
            "-f lavfi -i testsrc=size=128x96:rate=10:duration=4 -f lavfi -i "
            "sine=frequency=440:duration=4 -c:v libx264 -preset ultrafast -g 10 -c:a aac -b:a 64k "
            "-shortest ";
        QVERIFY(Ffmpeg(source +
                       "-f hls -hls_time 1 -hls_playlist_type vod -hls_segment_filename '" +
                       m_site + "/ts/s%d.ts' '" + m_site + "/ts/index.m3u8'"));
        QVERIFY(Ffmpeg(source +
                       "-f hls -hls_time 1 -hls_playlist_type vod -hls_segment_type fmp4 "
                       "-hls_segment_filename '" +
                       m_site + "/fmp4/s%d.m4s' '" + m_site + "/fmp4/index.m3u8'"));
        // AES-128 segments, their key served beside them.
        convtest::WriteFile(m_site + "/aes/key.bin", "0123456789abcdef");
        convtest::WriteFile(m_root + "/keyinfo",
                            Origin() + "/aes/key.bin\n" + m_site + "/aes/key.bin\n");
        QVERIFY(Ffmpeg(source + "-f hls -hls_time 1 -hls_playlist_type vod -hls_key_info_file '" +
                       m_root + "/keyinfo' '" + m_site + "/aes/index.m3u8'"));
        QVERIFY(Ffmpeg(source + "-f dash -seg_duration 1 '" + m_site + "/dash/manifest.mpd'"));
        QVERIFY(Ffmpeg("-f lavfi -i sine=duration=6 -c:a libmp3lame -b:a 192k '" + m_site +
                       "/song.mp3'"));
        convtest::WriteFile(
            m_site + "/drm/index.m3u8",
            "#EXTM3U\n#EXT-X-TARGETDURATION:2\n"
            "#EXT-X-KEY:METHOD=SAMPLE-AES,URI=\"skd://key\",KEYFORMAT=\""
            "com.apple.streamingkeydelivery\"\n#EXTINF:2,\ns0.ts\n#EXT-X-ENDLIST\n");

        const std::string f = m_root;
        std::ofstream(m_root + "/nginx.conf")
            << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            << "pid " << f << "/nginx.pid;\nerror_log " << f << "/error.log;\n"
            << "events { worker_connections 64; }\nhttp {\n"
            << "  log_format probe '$request_uri|$http_cookie|$http_range|$http_user_agent';\n"
            << "  access_log " << f << "/access.log probe;\n"
            << "  types { application/vnd.apple.mpegurl m3u8; video/mp2t ts; video/mp4 mp4;"
            << " video/iso.segment m4s; application/dash+xml mpd; audio/mpeg mp3; }\n"
            << "  client_body_temp_path " << f << "/body;\n  proxy_temp_path " << f << "/proxy;\n"
            << "  fastcgi_temp_path " << f << "/fastcgi;\n  uwsgi_temp_path " << f << "/uwsgi;\n"
            << "  scgi_temp_path " << f << "/scgi;\n"
            << "  server {\n    listen " << kPort << " ssl http2;\n"
            << "    ssl_certificate " << f << "/server.pem;\n"
            << "    ssl_certificate_key " << f << "/server.key;\n"
            << "    root " << m_site << ";\n"
            << "    if ($http_cookie !~ \"" << kCookie << "\") { return 403; }\n"
            << "    location = /ts/index.m3u8 { gzip_static always; }\n  }\n}\n";

        m_network = std::make_unique<VethPair>("wm");
        QVERIFY(m_network->Ok());
        m_nginx = StartProgram(m_network->InServer(
            {"nginx", "-p", f, "-c", f + "/nginx.conf", "-e", f + "/error.log"}));
        QVERIFY(m_nginx > 0);
        bool up = false;
        for (int i = 0; i < 100 && !up; ++i) {
            up = RunProgram(m_network->InClient({"curl", "-sf", "-o", "/dev/null", "--cacert",
                                                 f + "/ca.pem", "-b", kCookie,
                                                 Origin() + "/song.mp3"})) == 0;
            if (!up)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        QVERIFY2(up, convtest::ReadFile(f + "/error.log").c_str());
        for (const char* path : {"/ts/index.m3u8", "/fmp4/index.m3u8", "/aes/index.m3u8",
                                 "/dash/manifest.mpd", "/drm/index.m3u8"})
            m_playlists[path] = convtest::ReadFile(m_site + path);
        // The TS playlist is served compressed, and only so.
        QCOMPARE(convtest::RunCommand("gzip -9 '" + m_site + "/ts/index.m3u8'"), 0);
        // Everything the program fetches from here on goes out of the client namespace.
        QVERIFY(m_network->EnterClientNamespace());

        g_ffmpegExe = convtest::FindProgram("ffmpeg");
        g_ffmpegAudioOptions = kMp3Options;
        g_settingsFile = m_root + "/Pelnix.ini";
        SetMessageBoxDetailsHandler([this](QWidget*, const QString&, unsigned, const QString& text,
                                           const QString& details) {
            m_messages << text + " | " + details;
            return IDOK;
        });
        SetSavePromptHandler([this](QWidget*, const SavePrompt&) {
            ++m_prompts;
            return m_answer;
        });
    }
    void cleanupTestCase() {
        SetMessageBoxDetailsHandler({});
        SetSavePromptHandler({});
        if (m_nginx > 0)
            StopProgram(m_nginx);
        m_network.reset();
    }
    void init() {
        const std::string work = m_root + "/work";
        fs::remove_all(work);
        fs::remove_all(m_root + "/out");
        fs::create_directories(work);
        fs::create_directories(m_root + "/out");
        g_tempDir = work;
        m_messages.clear();
        m_prompts = 0;
        WriteSettings(m_root + "/ca.pem");
    }

    // The file arrives whole, with the captured cookies and user agent and without the captured
    // range; without the test's authority the server is not trusted and nothing is written.
    void httpsFileArrivesWholeWithTheCapturedSession_data() {
        QTest::addColumn<bool>("trusted");
        QTest::newRow("authority in TlsCaFile") << true;
        QTest::newRow("system authorities only") << false;
    }
    void httpsFileArrivesWholeWithTheCapturedSession() {
        QFETCH(bool, trusted);
        if (!trusted)
            WriteSettings("");
        const std::string output = m_root + "/out/song.mp3";
        m_answer = QString::fromStdString(output);
        const std::string song = convtest::ReadFile(m_site + "/song.mp3");
        const std::size_t logBefore = Log().size();
        Download(PlainReport(Origin() + "/song.mp3", CapturedRequest("/song.mp3"),
                             std::to_string(song.size()) + "\r\n", "mp3"));
        if (!trusted) {
            QCOMPARE(m_messages.size(), 1);
            QVERIFY2(m_messages[0].startsWith("Video Download failed."), qPrintable(m_messages[0]));
            QVERIFY(!fs::exists(output));
            QCOMPARE(Log().size(), logBefore);  // no request got through
            return;
        }
        QCOMPARE(m_messages, QStringList());
        QVERIFY(convtest::ReadFile(output) == song);
        QCOMPARE(Log().substr(logBefore),
                 "/song.mp3|" + kCookie + "; other=1|-|PelnixTestBrowser/1\n");
    }

    // Each stream becomes an MP3 of the source's length (an MP4 when that is the chosen file),
    // every request carrying the captured cookie.
    void streamsAreSaved_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("format");
        QTest::newRow("HLS, TS segments, compressed playlist") << "/ts/index.m3u8"
                                                               << "ts.mp3"
                                                               << "mp3";
        QTest::newRow("HLS, fMP4 segments") << "/fmp4/index.m3u8"
                                            << "fmp4.mp3"
                                            << "mp3";
        QTest::newRow("HLS, fMP4 segments, to MP4") << "/fmp4/index.m3u8"
                                                    << "fmp4.mp4"
                                                    << "mov,mp4";
        QTest::newRow("HLS, AES-128 segments") << "/aes/index.m3u8"
                                               << "aes.mp3"
                                               << "mp3";
        QTest::newRow("DASH") << "/dash/manifest.mpd"
                              << "dash.mp3"
                              << "mp3";
    }
    void streamsAreSaved() {
        QFETCH(QString, path);
        QFETCH(QString, output);
        QFETCH(QString, format);
        const std::string target = m_root + "/out/" + output.toStdString();
        m_answer = QString::fromStdString(target);
        const MediaReport report =
            StreamReport(m_playlists[path.toStdString()], path.toStdString());
        QVERIFY(report.durationSeconds > 0);
        const std::size_t logBefore = Log().size();
        Download(report);
        QCOMPARE(m_messages, QStringList());
        const QString probe = QString::fromStdString(convtest::ProbeFormatAndDuration(target));
        QVERIFY2(probe.startsWith(format + (format == "mp3" ? " " : "")), qPrintable(probe));
        QVERIFY2(qAbs(probe.section(' ', 1).toDouble() - kSourceSeconds) <= 0.5, qPrintable(probe));
        // Only the chosen file is left in the output folder: nothing half-made beside it.
        QCOMPARE(std::distance(fs::directory_iterator(m_root + "/out"), fs::directory_iterator()),
                 1);
        const std::string log = Log().substr(logBefore);
        QVERIFY2(log.starts_with(path.toStdString() + "|"), log.c_str());
        // The playlist and its segments, each asked for with the session, whole: never from the
        // captured range on (the converter itself may ask for "bytes=0-").
        std::size_t requests = 0;
        for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos;
             at = end + 1, ++requests) {
            const std::string line = log.substr(at, end - at);
            QVERIFY2(line.ends_with("|" + kCookie + "; other=1|-|PelnixTestBrowser/1") ||
                         line.ends_with("|" + kCookie + "; other=1|bytes=0-|PelnixTestBrowser/1"),
                     line.c_str());
        }
        QVERIFY2(requests >= 4, log.c_str());
        if (path.startsWith("/aes/"))
            QVERIFY2(log.find("/aes/key.bin|") != std::string::npos, log.c_str());
    }

    // Preview with the real player: it checks the server's certificate (the test's authority
    // comes through TlsCaFile) and never sends the captured cookie; without the authority the
    // server is not trusted and no request reaches it.
    void previewChecksTheServerAndSendsNoCookie_data() {
        QTest::addColumn<bool>("trusted");
        QTest::newRow("authority in TlsCaFile") << true;
        QTest::newRow("system authorities only") << false;
    }
    void previewChecksTheServerAndSendsNoCookie() {
        QFETCH(bool, trusted);
        if (!HaveProgram("ffplay"))
            QSKIP("needs the program ffplay");
        if (!trusted)
            WriteSettings("");
        // The player plays without a display or a sound device, then says how it ended.
        const std::string said = m_root + "/player.txt";
        const std::string ended = m_root + "/player-ended";
        fs::remove(ended);
        g_ffplayExe = m_root + "/player.sh";
        convtest::WriteFile(g_ffplayExe,
                            "#!/bin/sh\nSDL_AUDIODRIVER=dummy SDL_VIDEODRIVER=dummy timeout 20 "
                            "ffplay -nodisp -autoexit -loglevel error \"$@\" > '" +
                                said + "' 2>&1\necho $? > '" + ended + "'\n");
        fs::permissions(g_ffplayExe, fs::perms::owner_all);
        const std::size_t logBefore = Log().size();
        {
            TavrelSnifferWindow window(nullptr, &NoCapture);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            // The browser's request named the port, as browsers do for a port not the scheme's.
            const std::string request =
                "GET /song.mp3 HTTP/1.1\r\nHost: " + Origin().substr(8) +
                "\r\nUser-Agent: PelnixTestBrowser/1\r\nCookie: " + kCookie + "\r\n\r\n";
            window.MediaList()->AddSniffedMedia(
                PlainReport(Origin() + "/song.mp3", request, "150000\r\n", "mp3"),
                std::time(nullptr));
            window.ControlAs<QPushButton>(kPreview)->click();
            QTRY_VERIFY_WITH_TIMEOUT(fs::exists(ended) && fs::file_size(ended) > 0, 25000);
        }
        QCOMPARE(m_messages, QStringList());
        const std::string log = Log().substr(logBefore);
        const std::string player = convtest::ReadFile(said);
        if (!trusted) {
            QVERIFY2(log.empty(), log.c_str());
            QVERIFY2(player.find("certificate") != std::string::npos, player.c_str());
            return;
        }
        // The player reached the server with the browser's user agent and without its cookie
        // (which the server wants: it refuses).
        QVERIFY2(log.starts_with("/song.mp3|-|"), (log + player).c_str());
        QVERIFY2(log.find("|PelnixTestBrowser/1\n") != std::string::npos, log.c_str());
        QVERIFY2(log.find(kCookie) == std::string::npos, log.c_str());
    }

    // A stream whose playlist names DRM keys is refused before anything is asked or fetched.
    void drmStreamIsRefused() {
        const MediaReport report = StreamReport(m_playlists["/drm/index.m3u8"], "/drm/index.m3u8");
        QVERIFY(report.detail.find(kDrmNote) != std::string::npos);
        const std::size_t logBefore = Log().size();
        Download(report);
        QCOMPARE(m_prompts, 0);
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].contains("DRM-protected streams cannot be saved"),
                 qPrintable(m_messages[0]));
        QCOMPARE(Log().size(), logBefore);
    }
};

QTEST_MAIN(StreamDownloadTest)
#include "StreamDownloadTest.moc"
