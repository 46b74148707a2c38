// Download of listed HTTPS files and HLS/DASH streams through the main window's button, from
// nginx over TLS in a network namespace. nginx answers only requests that carry the session
// cookie of the captured request; a second server on another port (another origin, no cookie
// needed) and a plain HTTP one log what reaches them. The save prompt and the message boxes are
// answered through their seams.
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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
#include "widgets/TemplateDialog.h"
#include "window/SniffedMediaList.h"
#include "window/TavrelSnifferWindow.h"

namespace fs = std::filesystem;

namespace {

constexpr int kPreview = 1138;
constexpr int kDownload = 1141;
constexpr int kPort = 8443;
constexpr int kOtherPort = 8444;  // the same address, another origin
constexpr int kPlainPort = 8080;
constexpr double kSourceSeconds = 4.0;
const std::string kCookie = "pelnix_session=s3cret";
const std::string kMp3Options = "-vn -codec:a libmp3lame -q:a 2 -f mp3";

std::string NoCapture() {
    return {};
}

std::string Origin(int port = kPort, const char* scheme = "https") {
    return std::string(scheme) + "://" + VethPair::kServerAddress + ":" + std::to_string(port);
}

// The page the captured request came from: its query is the user's own.
std::string CapturedReferer() {
    return Origin() + "/watch?v=secret";
}

// The captured request: the session cookie on two lines, a user agent, and the range a browser
// asked for, which a fetch must not send again.
std::string CapturedRequest(const std::string& path) {
    return "GET " + path + " HTTP/1.1\r\nHost: " + VethPair::kServerAddress +
           "\r\nUser-Agent: PelnixTestBrowser/1\r\nReferer: " + CapturedReferer() +
           "\r\nCookie: " + kCookie +
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

    std::string Log(const char* name = "access") const {
        return convtest::ReadFile(m_root + "/" + name + ".log");
    }

    void WriteSettings(const std::string& caFile) {
        convtest::WriteFile(g_settingsFile, "[Pelnix]\nTlsCaFile=" + caFile + "\n");
    }

    // Downloads the one entry `report` lists; gives its status image afterwards (-1 when the
    // window did not come up).
    int Download(const MediaReport& report) {
        TavrelSnifferWindow window(nullptr, &NoCapture);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return -1;
        window.MediaList()->AddSniffedMedia(report, std::time(nullptr));
        if (window.MediaList()->Count() != 1)
            return -1;
        window.ControlAs<QPushButton>(kDownload)->click();
        return window.MediaList()->Record(0)->statusImage;
    }

    // What the work folder holds once a stream download is over: the converter's scripts and
    // notes and the joined MP4, never the fetch's own folder; no script holds the session.
    void CheckWorkFolder() {
        for (const auto& entry : fs::directory_iterator(m_root + "/work")) {
            const std::string name = entry.path().filename().string();
            QVERIFY2(!entry.is_directory(), name.c_str());
            QVERIFY2(convtest::ReadFile(entry.path().string()).find("s3cret") == std::string::npos,
                     name.c_str());
        }
    }

    // Makes `seconds` of picture and sound as HLS with one-second TS segments in `folder` of
    // the site.
    bool MakeTsStream(const std::string& folder, int seconds) {
        fs::create_directories(m_site + folder);
        const std::string length = std::to_string(seconds);
        return Ffmpeg("-f lavfi -i testsrc=size=128x96:rate=10:duration=" + length +
                      " -f lavfi -i sine=frequency=440:duration=" + length +
                      " -c:v libx264 -preset ultrafast -g 10 -c:a aac -b:a 64k -shortest -f hls "
                      "-hls_time 1 -hls_playlist_type vod -hls_segment_filename '" +
                      m_site + folder + "/s%d.ts' '" + m_site + folder + "/index.m3u8'");
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
        for (const char* folder : {"/ts", "/fmp4", "/dash", "/drm", "/aes", "/x", "/live"})
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
        // Picture and sound in playlists of their own, the sound an audio rendition.
        QVERIFY(Ffmpeg(source +
                       "-map 0:v -map 1:a -f hls -hls_time 1 -hls_playlist_type vod "
                       "-hls_segment_type fmp4 -master_pl_name master.m3u8 -var_stream_map "
                       "'v:0,agroup:aud a:0,agroup:aud' -hls_segment_filename '" +
                       m_site + "/fmp4/v%v_%d.m4s' '" + m_site + "/fmp4/v%v.m3u8'"));
        // Six seconds, of which only the first two segments can be fetched: the others are
        // missing (404), or the server drops the connection for them.
        QVERIFY(MakeTsStream("/gone", 6));
        for (int i = 2; i < 6; ++i) fs::remove(m_site + "/gone/s" + std::to_string(i) + ".ts");
        QVERIFY(MakeTsStream("/drop", 6));
        // A variant on the other origin whose segments come from everywhere: through the site's
        // redirect to the other origin, from the other origin, through a redirect down to
        // plain HTTP, and from the site itself.
        convtest::WriteFile(m_site + "/x/master.m3u8",
                            "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=100000,RESOLUTION=128x96\n" +
                                Origin(kOtherPort) + "/x/variant.m3u8\n");
        convtest::WriteFile(m_site + "/x/variant.m3u8",
                            "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-PLAYLIST-TYPE:VOD\n"
                            "#EXTINF:1.0,\n" +
                                Origin() +
                                "/x/to-other/s0.ts\n"
                                "#EXTINF:1.0,\n" +
                                Origin(kOtherPort) +
                                "/ts/s1.ts\n"
                                "#EXTINF:1.0,\n" +
                                Origin() +
                                "/x/to-plain/s2.ts\n"
                                "#EXTINF:1.0,\n" +
                                Origin() + "/ts/s3.ts\n#EXT-X-ENDLIST\n");
        // A live playlist: no end, so it is asked again and again while it stays the same.
        convtest::WriteFile(m_site + "/live/index.m3u8",
                            "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXT-X-MEDIA-SEQUENCE:0\n"
                            "#EXTINF:1.0,\n/ts/s0.ts\n#EXTINF:1.0,\n/ts/s1.ts\n"
                            "#EXTINF:1.0,\n/ts/s2.ts\n#EXTINF:1.0,\n/ts/s3.ts\n");
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
            << "  log_format probe '$request_uri|$http_referer|$http_cookie|$http_range|"
            << "$http_user_agent';\n"
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
            << "    location = /ts/index.m3u8 { gzip_static always; }\n"
            << "    location ~ ^/drop/s[2-5]\\.ts$ { return 444; }\n"
            << "    location ~ ^/x/to-other/(.*)$ { return 302 " << Origin(kOtherPort)
            << "/ts/$1; }\n"
            << "    location ~ ^/x/to-plain/(.*)$ { return 302 " << Origin(kPlainPort, "http")
            << "/ts/$1; }\n  }\n"
            << "  server {\n    listen " << kOtherPort << " ssl;\n"
            << "    ssl_certificate " << f << "/server.pem;\n"
            << "    ssl_certificate_key " << f << "/server.key;\n"
            << "    access_log " << f << "/other.log probe;\n    root " << m_site << ";\n  }\n"
            << "  server {\n    listen " << kPlainPort << ";\n"
            << "    access_log " << f << "/plain.log probe;\n    root " << m_site << ";\n  }\n}\n";

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
        for (const char* path :
             {"/ts/index.m3u8", "/fmp4/index.m3u8", "/aes/index.m3u8", "/dash/manifest.mpd",
              "/drm/index.m3u8", "/fmp4/master.m3u8", "/gone/index.m3u8", "/drop/index.m3u8",
              "/x/master.m3u8", "/live/index.m3u8"})
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
            QVERIFY2(m_messages[0].startsWith(
                         "Video Download failed: the server's certificate is not trusted. Set "
                         "TlsCaFile in " +
                         QString::fromStdString(g_settingsFile)),
                     qPrintable(m_messages[0]));
            QVERIFY(!fs::exists(output));
            QCOMPARE(Log().size(), logBefore);  // no request got through
            return;
        }
        QCOMPARE(m_messages, QStringList());
        QVERIFY(convtest::ReadFile(output) == song);
        QCOMPARE(Log().substr(logBefore), "/song.mp3|" + CapturedReferer() + "|" + kCookie +
                                              "; other=1|-|PelnixTestBrowser/1\n");
    }

    // Each stream becomes an MP3 of the source's length (an MP4 when that is the chosen file),
    // every request carrying the captured cookie.
    void streamsAreSaved_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("format");
        QTest::newRow("HLS, TS segments, compressed playlist, to MP4") << "/ts/index.m3u8"
                                                                       << "ts.mp4"
                                                                       << "mov,mp4";
        QTest::newRow("HLS, fMP4 segments") << "/fmp4/index.m3u8"
                                            << "fmp4.mp3"
                                            << "mp3";
        QTest::newRow("HLS, fMP4 segments, to MP4") << "/fmp4/index.m3u8"
                                                    << "fmp4.mp4"
                                                    << "mov,mp4";
        QTest::newRow("HLS, sound in a rendition of its own") << "/fmp4/master.m3u8"
                                                              << "rendition.mp3"
                                                              << "mp3";
        QTest::newRow("HLS, AES-128 segments, to MP4") << "/aes/index.m3u8"
                                                       << "aes.mp4"
                                                       << "mov,mp4";
        QTest::newRow("DASH, to MP4") << "/dash/manifest.mpd"
                                      << "dash.mp4"
                                      << "mov,mp4";
    }
    void streamsAreSaved() {
        QFETCH(QString, path);
        QFETCH(QString, output);
        QFETCH(QString, format);
        const std::string target = m_root + "/out/" + output.toStdString();
        m_answer = QString::fromStdString(target);
        const MediaReport report =
            StreamReport(m_playlists[path.toStdString()], path.toStdString());
        // A multivariant playlist has no duration of its own.
        QVERIFY(report.durationSeconds > 0 || path.endsWith("master.m3u8"));
        const std::size_t logBefore = Log().size();
        QCOMPARE(Download(report), SniffedMediaList::kDownloaded);
        QCOMPARE(m_messages, QStringList());
        CheckWorkFolder();
        const QString probe = QString::fromStdString(convtest::ProbeFormatAndDuration(target));
        QVERIFY2(probe.startsWith(format + (format == "mp3" ? " " : "")), qPrintable(probe));
        QVERIFY2(qAbs(probe.section(' ', 1).toDouble() - kSourceSeconds) <= 0.5, qPrintable(probe));
        // Only the chosen file is left in the output folder: nothing half-made beside it.
        QCOMPARE(std::distance(fs::directory_iterator(m_root + "/out"), fs::directory_iterator()),
                 1);
        const std::string log = Log().substr(logBefore);
        QVERIFY2(log.starts_with(path.toStdString() + "|"), log.c_str());
        // The playlist and its segments, each asked for with the session, whole: never from the
        // captured range on.
        std::size_t requests = 0;
        for (std::size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos;
             at = end + 1, ++requests) {
            const std::string line = log.substr(at, end - at);
            QVERIFY2(line.ends_with("|" + CapturedReferer() + "|" + kCookie +
                                    "; other=1|-|PelnixTestBrowser/1"),
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

    // A stream whose segments stop arriving after two of six fails with the segment and the
    // reason, the entry goes red and the file the user had at the chosen path stays.
    void brokenStreamKeepsTheEarlierFile_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing segments") << "/gone/index.m3u8"
                                          << "status 404";
        QTest::newRow("server drops the connection") << "/drop/index.m3u8"
                                                     << "not closed cleanly";
    }
    void brokenStreamKeepsTheEarlierFile() {
        QFETCH(QString, path);
        QFETCH(QString, reason);
        const std::string target = m_root + "/out/show.mp3";
        convtest::WriteFile(target, "the earlier show");
        m_answer = QString::fromStdString(target);
        const MediaReport report =
            StreamReport(m_playlists[path.toStdString()], path.toStdString());
        QCOMPARE(Download(report), SniffedMediaList::kNotDownloaded);
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].startsWith("Video Download failed") &&
                     m_messages[0].contains(" | Segment 3 of 6 ("),
                 qPrintable(m_messages[0]));
        QVERIFY2(m_messages[0].contains(reason), qPrintable(m_messages[0]));
        QCOMPARE(convtest::ReadFile(target), std::string("the earlier show"));
        QCOMPARE(std::distance(fs::directory_iterator(m_root + "/out"), fs::directory_iterator()),
                 1);
        CheckWorkFolder();
    }

    // The session goes to the site alone: another origin (a variant there, its segments, a
    // redirect to it) gets the Referer's origin and no cookie; a step down to plain HTTP gets
    // neither. The stream still arrives whole.
    void sessionStaysWithTheSite() {
        const std::string target = m_root + "/out/mixed.mp4";
        m_answer = QString::fromStdString(target);
        const std::size_t siteBefore = Log().size(), otherBefore = Log("other").size(),
                          plainBefore = Log("plain").size();
        QCOMPARE(Download(StreamReport(m_playlists["/x/master.m3u8"], "/x/master.m3u8")),
                 SniffedMediaList::kDownloaded);
        QCOMPARE(m_messages, QStringList());
        const QString probe = QString::fromStdString(convtest::ProbeFormatAndDuration(target));
        QVERIFY2(qAbs(probe.section(' ', 1).toDouble() - kSourceSeconds) <= 0.5, qPrintable(probe));
        const std::string site =
            "|" + CapturedReferer() + "|" + kCookie + "; other=1|-|" + "PelnixTestBrowser/1\n";
        QCOMPARE(Log().substr(siteBefore), "/x/master.m3u8" + site + "/x/to-other/s0.ts" + site +
                                               "/x/to-plain/s2.ts" + site + "/ts/s3.ts" + site);
        const std::string other = "|" + Origin() + "/|-|-|PelnixTestBrowser/1\n";
        QCOMPARE(Log("other").substr(otherBefore),
                 "/x/variant.m3u8" + other + "/ts/s0.ts" + other + "/ts/s1.ts" + other);
        QCOMPARE(Log("plain").substr(plainBefore),
                 std::string("/ts/s2.ts|-|-|-|PelnixTestBrowser/1\n"));
    }

    // Without the test's authority the site is not trusted: no request with the cookie gets
    // through, and the download fails saying why.
    void untrustedSiteGetsNothing() {
        WriteSettings("");
        m_answer = QString::fromStdString(m_root + "/out/untrusted.mp3");
        const std::size_t logBefore = Log().size();
        QCOMPARE(Download(StreamReport(m_playlists["/fmp4/index.m3u8"], "/fmp4/index.m3u8")),
                 SniffedMediaList::kNotDownloaded);
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].startsWith(
                     "Video Download failed: the server's certificate is not trusted. Set "
                     "TlsCaFile in "),
                 qPrintable(m_messages[0]));
        QVERIFY2(m_messages[0].contains(" | The playlist (") &&
                     m_messages[0].contains("certificate problem"),
                 qPrintable(m_messages[0]));
        QCOMPARE(Log().size(), logBefore);
        QVERIFY(!fs::exists(m_root + "/out/untrusted.mp3"));
    }

    // A live playlist is recorded as it says, shown as live (no percentage), and Cancel keeps
    // what was recorded in a file of its own beside the chosen one, which stays as it was.
    void liveStreamRecordsUntilCancelled() {
        const std::string target = m_root + "/out/live.mp3";
        convtest::WriteFile(target, "the earlier show");
        m_answer = QString::fromStdString(target);
        bool sawLive = false;
        QTimer watcher;
        watcher.setInterval(50);
        connect(&watcher, &QTimer::timeout, this, [&] {
            auto* dialog = qobject_cast<TemplateDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr || dialog->objectName() != "CStreamDownloadDlg")
                return;
            auto* status = dialog->ControlAs<QLabel>(1502);
            auto* bar = dialog->ControlAs<QProgressBar>(1504);
            const QString text = status != nullptr ? status->text() : QString();
            if (!text.startsWith("Live stream: 4 segments"))
                return;
            sawLive = bar != nullptr && bar->maximum() == 0 &&
                      dialog->windowTitle() == "Recording Live Stream";
            dialog->reject();
            watcher.stop();
        });
        watcher.start();
        QCOMPARE(Download(StreamReport(m_playlists["/live/index.m3u8"], "/live/index.m3u8")),
                 SniffedMediaList::kNotDownloaded);
        QVERIFY(sawLive);
        QCOMPARE(convtest::ReadFile(target), std::string("the earlier show"));
        const std::string recording = m_root + "/out/live-live-1.mp3";
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].startsWith(QString::fromStdString(
                     "The live recording stopped before the stream's end. What was recorded is "
                     "in " +
                     recording + ". | The recording was stopped.")),
                 qPrintable(m_messages[0]));
        const QString probe = QString::fromStdString(convtest::ProbeFormatAndDuration(recording));
        QVERIFY2(probe.startsWith("mp3 "), qPrintable(probe));
        QVERIFY2(qAbs(probe.section(' ', 1).toDouble() - kSourceSeconds) <= 0.5, qPrintable(probe));
        CheckWorkFolder();
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
