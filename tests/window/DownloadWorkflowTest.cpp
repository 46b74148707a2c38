// Preview and Download through the main window's buttons, against a real local HTTP server and
// the real ffmpeg; the save prompt and the message boxes are answered through their seams.
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "base/Globals.h"
#include "base/ShowMessage.h"
#include "converter/ConversionJobs.h"
#include "converter/ConverterAuthorities.h"
#include "converter/ConverterTestSupport.h"
#include "converter/TavrelImportProgressDlg.h"
#include "frames/FrameDecoder.h"
#include "helper/CaptureHelperClient.h"
#include "http/DownloadDialog.h"
#include "http/LocalHttpServer.h"
#include "http/ScriptedSocketServer.h"
#include "support/LiveNetwork.h"
#include "support/SmallDisk.h"
#include "support/TestAuthority.h"
#include "window/CaptureCopyDlg.h"
#include "window/CapturedCopy.h"
#include "window/SniffedMediaList.h"
#include "window/TavrelSnifferWindow.h"
#include "window/VideoPictures.h"

namespace fs = std::filesystem;

namespace {

constexpr int kPreview = 1138;
constexpr int kDownload = 1141;
const std::string kMp3Options = "-vn -codec:a libmp3lame -q:a 2 -f mp3";
// An MP3 by its first bytes (an ID3 tag), served as song.mp3.
const std::string kSong = "ID3" + std::string(149997, 's');

// Waits for what other threads and processes do: generous, since a loaded machine (both cores
// busy) takes seconds for what takes milliseconds when it is idle.
constexpr int kLoadedWaitMs = 30000;

// No capture helper: the window captures nothing.
std::string NoCapture() {
    return {};
}

// Runs `action` on every visible top-level widget of type T, every 20 ms, while it is set up.
template <typename T>
class DialogWatcher {
public:
    explicit DialogWatcher(std::function<void(T*)> action) : m_action(std::move(action)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* dialog = qobject_cast<T*>(widget); dialog && dialog->isVisible()) {
                    ++seen;
                    m_action(dialog);
                }
            }
        });
        m_timer.start(20);
    }
    int seen = 0;

private:
    std::function<void(T*)> m_action;
    QTimer m_timer;
};

std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

class DownloadWorkflowTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    std::string m_root, m_served, m_work, m_flv;
    std::unique_ptr<LocalHttpServer> m_server;
    QStringList m_messages;
    QStringList m_details;  // the detail part of each message box, in order
    QString m_answer;       // what the save prompt answers
    int m_prompts = 0;
    QString m_promptTitle;

    struct Window {
        TavrelSnifferWindow window{nullptr, &NoCapture};
        Window() {
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
        }
        SniffedMediaList* list() const { return window.MediaList(); }
        void add(const std::string& url, std::uint64_t size, const std::string& type,
                 const std::string& headers = "GET / HTTP/1.1\r\n\r\n") {
            list()->AddSniffedMedia(url, headers, std::to_string(size) + "\r\n", type,
                                    std::time(nullptr));
        }
        // A record whose request went to `server` (an address and port on loopback).
        void addSent(const std::string& url, std::uint64_t size, const std::string& type,
                     const std::string& headers, std::uint16_t serverPort) {
            MediaReport report = PlainReport(url, headers, std::to_string(size) + "\r\n", type);
            report.serverAddress = *ParseIpAddress("127.0.0.1");
            report.serverPort = serverPort;
            list()->AddSniffedMedia(report, std::time(nullptr));
        }
        // The record of `size` (sizes are unique in the list), or nothing.
        std::optional<SniffedMedia> bySize(std::uint64_t size) const {
            for (int i = 0; i < list()->Count(); ++i) {
                if (const auto record = list()->Record(i); record && record->size == size)
                    return record;
            }
            return std::nullopt;
        }
        void download() { window.ControlAs<QPushButton>(kDownload)->click(); }
        int status() const { return list()->Record(0)->statusImage; }
    };

    std::string Url(const std::string& path) const { return m_server->Url(path); }

    // Makes the player a script that writes down its arguments, each followed by "|"; returns
    // the file it writes.
    std::string StartRecordingPlayer() {
        const std::string said = m_root + "/player-args.txt";
        fs::remove(said);
        g_ffplayExe = m_root + "/record-player.sh";
        convtest::WriteFile(g_ffplayExe, "#!/bin/sh\nprintf '%s|' \"$@\" > '" + said +
                                             ".part'\n"
                                             "mv '" +
                                             said + ".part' '" + said + "'\n");
        fs::permissions(g_ffplayExe, fs::perms::owner_all);
        return said;
    }
    std::string Output() const { return m_root + "/out/chosen.mp3"; }

    // Right-clicks row `row`, notes what its menu offers and picks `pick`.
    QStringList MenuOfRow(const Window& w, int row, const QString& pick) {
        QStringList offered;
        DialogWatcher<QMenu> watcher([&](QMenu* menu) {
            for (QAction* action : menu->actions()) offered << action->text();
            for (QAction* action : menu->actions()) {
                if (action->text() == pick)
                    action->trigger();
            }
            menu->close();
        });
        QWidget* viewport = w.list()->viewport();
        const QPoint at = w.list()->visualItemRect(w.list()->topLevelItem(row)).center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
        QApplication::sendEvent(viewport, &event);
        return offered;
    }

    // One answer of a HAR export with its body; `headers` go beside Content-Type and
    // Content-Length (plain text: no quote or backslash to escape but a value's quotes).
    struct HarEntry {
        std::string url;
        std::string body;
        std::string mimeType = "audio/mpeg";
        int status = 200;
        std::vector<std::pair<std::string, std::string>> headers = {};
    };
    std::string WriteHar(const std::vector<HarEntry>& answers) {
        const auto header = [](const std::string& name, const std::string& value) {
            QString escaped = QString::fromStdString(value);
            escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
            return "{\"name\":\"" + name + "\",\"value\":\"" + escaped.toStdString() + "\"}";
        };
        std::string entries;
        for (const HarEntry& answer : answers) {
            if (!entries.empty())
                entries += ',';
            const std::string size = std::to_string(answer.body.size());
            std::string headers =
                header("Content-Type", answer.mimeType) + "," + header("Content-Length", size);
            for (const auto& [name, value] : answer.headers) headers += "," + header(name, value);
            entries +=
                "{\"startedDateTime\":\"2026-06-01T13:02:03Z\",\"request\":{\"method\":"
                "\"GET\",\"url\":\"" +
                answer.url +
                "\",\"headers\":[]},\"response\":{"
                "\"status\":" +
                std::to_string(answer.status) + ",\"headers\":[" + headers +
                "],\"content\":{\"size\":" + size + ",\"mimeType\":\"" + answer.mimeType +
                "\",\"encoding\":\"base64\",\"text\":\"" +
                QByteArray::fromStdString(answer.body).toBase64().toStdString() + "\"}}}";
        }
        const std::string har = m_root + "/bodies.har";
        convtest::WriteFile(har, "{\"log\":{\"entries\":[" + entries + "]}}");
        return har;
    }
    // A HAR export whose entries carry their bodies (`bodies`: URL and bytes), MP3 by their type.
    std::string WriteHarWithBodies(const std::vector<std::pair<std::string, std::string>>& bodies) {
        std::vector<HarEntry> answers;
        for (const auto& [url, body] : bodies) answers.push_back({url, body});
        return WriteHar(answers);
    }
    // A loopback port nothing listens on: a request there would be refused.
    static std::uint16_t ClosedPort() {
        const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(probe);
        return ntohs(address.sin_port);
    }
    std::vector<std::string> SpoolFolders() const {
        std::vector<std::string> folders;
        for (const std::string& name : FilesIn(m_work)) {
            if (name.find("spool") != std::string::npos)
                folders.push_back(m_work + "/" + name);
        }
        return folders;
    }

public:
    // Stands in for the desktop's file manager.
    Q_INVOKABLE void OpenLocalUrl(const QUrl& url) { m_opened << url; }

private:
    QList<QUrl> m_opened;

private slots:
    void initTestCase() {
        if (convtest::FindProgram("ffmpeg").empty() || convtest::FindProgram("ffprobe").empty())
            QSKIP("needs ffmpeg and ffprobe (Debian package ffmpeg)");
        ClearProxyEnvironment();
        m_root = m_dir.path().toStdString();
        m_served = m_root + "/served";
        fs::create_directories(m_served + "/youtube.com");
        m_flv = m_served + "/clip.flv";
        QVERIFY(convtest::MakeFlashVideo(m_flv, 3.0));
        fs::copy_file(m_flv, m_served + "/youtube.com/clip.flv");
        convtest::WriteFile(m_served + "/song.mp3", kSong);
        // Two seconds of sound in an MP4, and in a real MP3.
        QCOMPARE(convtest::RunCommand("ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                                      "sine=duration=2 -c:a aac '" +
                                      m_served +
                                      "/sound.mp4' "
                                      "-c:a libmp3lame '" +
                                      m_served + "/sound.mp3'"),
                 0);
        // A "video" that is an HLS playlist naming a local file with sound (of an extension the
        // playlist reader takes).
        convtest::WriteFile(m_served + "/playlist.flv",
                            "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:2,\nfile://" + m_served +
                                "/sound.mp3\n#EXT-X-ENDLIST\n");
        m_server = std::make_unique<LocalHttpServer>(PELNIX_HTTP_TEST_SERVER,
                                                     std::vector<std::string>{"--root", m_served});
        QVERIFY(m_server->Running());
        g_ffmpegExe = convtest::FindProgram("ffmpeg");
        g_settingsFile = m_root + "/Pelnix.ini";
        SetMessageBoxDetailsHandler([this](QWidget*, const QString& caption, unsigned flags,
                                           const QString& text, const QString& details) {
            m_messages << QStringLiteral("%1 %2: %3").arg(caption).arg(flags).arg(text);
            m_details << details;
            return IDOK;
        });
        SetSavePromptHandler([this](QWidget*, const SavePrompt& prompt) {
            ++m_prompts;
            m_promptTitle = prompt.title;
            return m_answer;
        });
    }
    void cleanupTestCase() {
        SetMessageBoxHandler({});
        SetSavePromptHandler({});
    }
    void init() {
        m_work = m_root + "/work";
        fs::remove_all(m_work);
        fs::remove_all(m_root + "/out");
        fs::create_directories(m_work);
        fs::create_directories(m_root + "/out");
        g_tempDir = m_work;
        fs::remove(g_settingsFile);
        g_ffmpegAudioOptions = kMp3Options;
        g_ffmpegExe = convtest::FindProgram("ffmpeg");
        m_messages.clear();
        m_details.clear();
        m_answer = QString::fromStdString(Output());
        m_prompts = 0;
    }

    void flashVideoBecomesAnMp3AtTheChosenPath() {
        // A session that captures nothing still takes the program's own URL on its ignore list.
        HelperSession session("pelnix-no-such-adapter", "no such adapter");
        Window w;
        g_captureSessions.push_back(&session);
        const std::string url = Url("/root/clip.flv");
        w.add(url, 150000, "x-flv\r\n");
        w.download();

        QCOMPARE(m_prompts, 1);
        QCOMPARE(m_promptTitle, QStringLiteral("Save Video As..."));
        QCOMPARE(m_messages, QStringList());
        const QString probe = QString::fromStdString(convtest::ProbeFormatAndDuration(Output()));
        QVERIFY2(probe.startsWith("mp3 "), qPrintable(probe));
        QVERIFY2(qAbs(probe.section(' ', 1).toDouble() - 3.0) < 0.2, qPrintable(probe));
        QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
        // The media stays in the work folder beside its URL note and script.
        QCOMPARE(FilesIn(m_work),
                 (std::vector<std::string>{"QXCmdTmp.bat", "Sniffer_0_150000.convert.bat",
                                           "Sniffer_0_150000.flv", "Sniffer_0_150000.url.txt"}));
        QCOMPARE(convtest::ReadFile(m_work + "/Sniffer_0_150000.flv"), convtest::ReadFile(m_flv));
        QCOMPARE(convtest::ReadFile(m_work + "/Sniffer_0_150000.url.txt"), url + "\n");
        QCOMPARE(session.IgnoreListSize(), std::size_t(1));
    }

    void mp3RecordGoesStraightToThePath() {
        Window w;
        w.add(Url("/root/song.mp3"), 150000, "MP3");
        w.download();
        QCOMPARE(m_messages, QStringList());
        QCOMPARE(convtest::ReadFile(Output()), kSong);
        QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
        // No media copy, no script, no duration query: no conversion ran.
        QCOMPARE(FilesIn(m_work), std::vector<std::string>{"Sniffer_0_150000.url.txt"});
    }

    // A downloaded video puts a picture, 160 pixels wide, into its row's tool tip (a clip shorter
    // than the seek gives its first frame), while the URL there stays escaped text; sound alone
    // gives no picture and no message. A picture goes with its row.
    void downloadedVideosPutTheirPictureInTheToolTip() {
        QCOMPARE(convtest::RunCommand("ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                                      "testsrc=size=320x240:rate=25:duration=5 -f lavfi -i "
                                      "sine=duration=5 -c:a aac '" +
                                      m_served + "/long.mp4' -t 1 -c:a aac '" + m_served +
                                      "/short.mp4'"),
                 0);
        Window w;
        const auto tipOf = [&](std::uint64_t size) {
            for (int i = 0; i < w.list()->Count(); ++i) {
                if (w.list()->Record(i)->size == size)
                    return w.list()->topLevelItem(w.list()->Count() - 1 - i)->toolTip(0);
            }
            return QString();
        };
        // The MP3 listed as a video is converted like one; its picture is asked for first.
        w.add(Url("/root/sound.mp3"), 170001, "x-flv\r\n");
        w.download();
        w.add(Url("/root/short.mp4"), 170002, "mp4");
        w.download();
        w.add(Url("/root/long.mp4?<b>x</b>&amp;"), 170003, "mp4");
        w.download();
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join('\n')));
        // Pictures are taken in order: once the last is there, the others are done.
        QTRY_VERIFY_WITH_TIMEOUT(tipOf(170003).contains("<img"), kLoadedWaitMs);
        QVERIFY(tipOf(170002).contains("<img"));
        QVERIFY2(!tipOf(170001).contains("<img"), qPrintable(tipOf(170001)));
        QCOMPARE(w.list()->PictureCount(), std::size_t(2));
        QCOMPARE(m_messages, QStringList());

        const QString tip = tipOf(170003);
        QVERIFY2(tip.contains("long.mp4?&lt;b&gt;x&lt;/b&gt;&amp;amp;"), qPrintable(tip));
        QVERIFY(!tip.contains("<b>"));
        const qsizetype from = tip.indexOf("src=\"") + 5;
        const QString source = tip.mid(from, tip.indexOf('"', from) - from);
        QVERIFY2(source.startsWith("data:image/png;base64,"), qPrintable(source.left(40)));
        QImage picture;
        QVERIFY(picture.loadFromData(QByteArray::fromBase64(source.section(',', 1).toLatin1())));
        QCOMPARE(picture.size(), QSize(VideoPictures::kWidth, 120));
        // Qt's rich text, which shows tool tips, finds the picture inline.
        QTextDocument document;
        document.setHtml(tip);
        const QVariant shown = document.resource(QTextDocument::ImageResource, QUrl(source));
        QCOMPARE(qvariant_cast<QImage>(shown).width(), VideoPictures::kWidth);

        w.list()->RemoveAt(w.list()->Count() - 1);  // the newest: the long video
        QVERIFY(!w.bySize(170003));
        QCOMPARE(w.list()->PictureCount(), std::size_t(1));
    }

    // A row's menu copies its URL (control characters and spaces percent-encoded, as Ctrl+C
    // does), and once its download finished opens the folder it went to.
    void rowMenuCopiesTheUrlAndOpensTheDownloadsFolder() {
        Window w;
        w.add("http://evil.test/a b\x07\x1b[2J.flv", 160000, "x-flv\r\n");
        const std::string url = Url("/root/song.mp3");
        w.add(url, 150000, "MP3");
        QClipboard* clipboard = QGuiApplication::clipboard();
        clipboard->clear();
        QTest::keyClick(w.list(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(clipboard->text(), QString::fromStdString(url));

        QCOMPARE(MenuOfRow(w, 1, "Copy URL"), QStringList{"Copy URL"});
        QCOMPARE(clipboard->text(), QStringLiteral("http://evil.test/a%20b%07%1B[2J.flv"));
        QTest::keyClick(w.list(), Qt::Key_C, Qt::ControlModifier);  // the row clicked is selected
        QCOMPARE(clipboard->text(), QStringLiteral("http://evil.test/a%20b%07%1B[2J.flv"));

        w.list()->clearSelection();
        w.list()->setCurrentItem(w.list()->topLevelItem(0));
        QCOMPARE(MenuOfRow(w, 0, "Copy URL"), QStringList{"Copy URL"});  // not downloaded yet
        w.download();
        QCOMPARE(m_messages, QStringList());
        QCOMPARE(w.bySize(150000)->statusImage, SniffedMediaList::kDownloaded);
        QDesktopServices::setUrlHandler("file", this, "OpenLocalUrl");
        const auto unset = qScopeGuard([] { QDesktopServices::unsetUrlHandler("file"); });
        m_opened.clear();
        QCOMPARE(MenuOfRow(w, 0, "Open Folder"), (QStringList{"Copy URL", "Open Folder"}));
        QCOMPARE(m_opened,
                 QList<QUrl>{QUrl::fromLocalFile(QString::fromStdString(m_root + "/out"))});
    }

    void cancelledPromptWritesNothing() {
        Window w;
        w.add(Url("/root/clip.flv"), 150000, "x-flv\r\n");
        m_answer.clear();
        w.download();
        QCOMPARE(m_prompts, 1);
        QVERIFY(FilesIn(m_work).empty());
        QVERIFY(FilesIn(m_root + "/out").empty());
        QCOMPARE(w.status(), SniffedMediaList::kNotDownloaded);
        QCOMPARE(m_messages, QStringList());
    }

    void failedDownloadsTurnRedAndConvertNothing_data() {
        QTest::addColumn<QString>("path");  // empty: a closed port
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("cause");  // what the message's details say
        QTest::addColumn<QString>("said");   // the message's own text
        QTest::newRow("404") << "/status/404"
                             << "x-flv\r\n"
                             << "404"
                             << "Video Download failed: the server answered with status 404.";
        QTest::newRow("unreachable") << QString() << "x-flv\r\n"
                                     << "connect"
                                     << "Video Download failed: the server refused the connection.";
        QTest::newRow("cut short") << "/short/150000/1000"
                                   << "x-flv\r\n"
                                   << "1000 of 150000"
                                   << "Video Download failed.";
        QTest::newRow("404, MP3 record")
            << "/status/404"
            << "MP3"
            << "404"
            << "Video Download failed: the server answered with status 404.";
        QTest::newRow("cut short, MP3 record") << "/short/150000/1000"
                                               << "MP3"
                                               << "1000 of 150000"
                                               << "Video Download failed.";
        // No length: bounded at twice the sniffed 150000 bytes plus 1 MiB.
        QTest::newRow("endless body") << "/nolength/5000000"
                                      << "x-flv\r\n"
                                      << "1348576"
                                      << "Video Download failed.";
        QTest::newRow("endless body, MP3 record") << "/nolength/5000000"
                                                  << "MP3"
                                                  << "1348576"
                                                  << "Video Download failed.";
    }
    void failedDownloadsTurnRedAndConvertNothing() {
        QFETCH(QString, path);
        QFETCH(QString, type);
        QFETCH(QString, cause);
        QFETCH(QString, said);
        Window w;
        const std::string url =
            path.isEmpty() ? "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/a.flv"
                           : Url(path.toStdString());
        // What the user had at the chosen path stays, whatever the download did.
        convtest::WriteFile(Output(), "an earlier MP3");
        w.add(url, 150000, type.toStdString());
        w.download();
        QCOMPARE(m_messages, QStringList{"Pelnix 0: " + said});
        QVERIFY2(m_details.value(0).contains(cause), qPrintable(m_details.value(0)));
        QCOMPARE(w.status(), SniffedMediaList::kNotDownloaded);
        QVERIFY(!fs::exists(m_work + "/Sniffer_0_150000.convert.bat"));
        QCOMPARE(convtest::ReadFile(Output()), std::string("an earlier MP3"));
        // Nothing half-made under a final name, nor a temporary file left.
        QCOMPARE(FilesIn(m_root + "/out"), std::vector<std::string>{"chosen.mp3"});
        QCOMPARE(FilesIn(m_work), std::vector<std::string>{"Sniffer_0_150000.url.txt"});
    }

    // A server whose certificate no trusted authority signed: the message itself says so and
    // names the setting that mends it, or the authority file that lacks the signer; libcurl's
    // words stay in the details.
    void untrustedCertificateNamesTlsCaFile() {
        const std::string cert = m_root + "/self.pem", key = m_root + "/self.key";
        QCOMPARE(
            RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert}),
            0);
        LocalHttpServer server(PELNIX_HTTP_TEST_SERVER, {"--tls", cert, key, "--root", m_served});
        QVERIFY(server.Running());
        Window w;
        w.add(server.Url("/root/song.mp3", "https"), 150000, "MP3");
        w.download();
        QCOMPARE(m_messages,
                 QStringList{QString::fromStdString(
                     "Pelnix 0: Video Download failed: the server's certificate is not trusted. "
                     "Set TlsCaFile in " +
                     g_settingsFile + " to a file of the authorities that signed it.")});
        QVERIFY2(m_details.value(0).contains("certificate"), qPrintable(m_details.value(0)));
        QCOMPARE(w.status(), SniffedMediaList::kNotDownloaded);

        QVERIFY(MakeTestAuthority(m_root));  // another authority, not the signer
        convtest::WriteFile(g_settingsFile, "[Pelnix]\nTlsCaFile=" + m_root + "/ca.pem\n");
        m_messages.clear();
        w.download();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].contains("not trusted. Add the authority that signed it to " +
                                        QString::fromStdString(m_root) + "/ca.pem (TlsCaFile in"),
                 qPrintable(m_messages[0]));
        QVERIFY(!fs::exists(Output()));
    }

    // A destination that fills up fails the download with the system's words and the path, and
    // leaves no partial file.
    void fullDestinationFailsTheDownload() {
        if (const std::string why = SmallDisk::SkipReason(); !why.empty())
            QSKIP(why.c_str());
        SmallDisk disk(64 * 1024);
        QVERIFY(disk.Ok());
        const std::string output = disk.Path() + "/chosen.mp3";
        convtest::WriteFile(output, "an earlier MP3");
        m_answer = QString::fromStdString(output);
        Window w;
        w.add(Url("/root/song.mp3"), 150000, "MP3");
        w.download();
        QCOMPARE(m_messages, QStringList{"Pelnix 0: Video Download failed."});
        QVERIFY2(m_details.value(0).contains("No space left on device"),
                 qPrintable(m_details.value(0)));
        QVERIFY2(m_details.value(0).contains(QString::fromStdString(output)),
                 qPrintable(m_details.value(0)));
        QCOMPARE(w.status(), SniffedMediaList::kNotDownloaded);
        QCOMPARE(convtest::ReadFile(output), std::string("an earlier MP3"));
        QCOMPARE(FilesIn(disk.Path()), std::vector<std::string>{"chosen.mp3"});
    }

    void cancelledDownloadTurnsRed() {
        Window w;
        w.add(Url("/slow/200000"), 200000, "x-flv\r\n");
        DialogWatcher<DownloadDialog> cancel([](DownloadDialog* dialog) {
            if (auto* button = dialog->ControlAs<QPushButton>(2); button && button->isEnabled())
                button->click();
        });
        w.download();
        QVERIFY(cancel.seen > 0);
        QCOMPARE(m_messages, QStringList{"Pelnix 0: Video Download canceled."});
        QCOMPARE(w.status(), SniffedMediaList::kNotDownloaded);
        QVERIFY(!fs::exists(m_work + "/Sniffer_0_200000.convert.bat"));
    }

    void cancelledConversionStaysGreen() {
        const std::string longer = m_served + "/long.flv";
        QVERIFY(convtest::RunCommand("ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                                     "sine=duration=30 -c:a libmp3lame -f flv '" +
                                     longer + "'") == 0);
        // The converter runs at playback speed, so it is still at work when cancelled.
        g_ffmpegAudioOptions = "-vn -af arealtime -codec:a libmp3lame -f mp3";
        Window w;
        w.add(Url("/root/long.flv"), 480000, "x-flv\r\n");
        DialogWatcher<TavrelImportProgressDlg> cancel([](TavrelImportProgressDlg* dialog) {
            auto* bar = dialog->ControlAs<QProgressBar>(TavrelImportProgressDlg::kProgressId);
            auto* button = dialog->ControlAs<QPushButton>(TavrelImportProgressDlg::kCancelId);
            if (bar && bar->value() > 0 && button)
                button->click();
        });
        convtest::WriteFile(Output(), "an earlier MP3");
        w.download();
        QVERIFY(cancel.seen > 0);
        QCOMPARE(m_messages, QStringList{"Pelnix 0: Video Import canceled."});
        QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
        QCOMPARE(convtest::ReadFile(Output()), std::string("an earlier MP3"));
        QCOMPARE(FilesIn(m_root + "/out"), std::vector<std::string>{"chosen.mp3"});
        QVERIFY(fs::exists(m_work + "/Sniffer_0_480000.flv"));
    }

    void conversionFailureShowsTheConvertersOutput() {
        Window w;
        convtest::WriteFile(m_served + "/junk.flv", std::string(150000, 'j'));
        w.add(Url("/root/junk.flv"), 150000, "x-flv\r\n");
        w.download();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].startsWith("Pelnix 0: The conversion command failed.  The output "
                                          "from the converter is:\n\n"),
                 qPrintable(m_messages[0]));
        QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
    }

    // A converter that answers the duration query and, when converting, writes part of an MP3
    // at its last argument, says so, and ends with `ending` (a shell command).
    std::string FakeConverter(const std::string& ending) {
        const std::string path = m_root + "/fake-ffmpeg.sh";
        convtest::WriteFile(path,
                            "#!/bin/sh\n"
                            "case \" $* \" in *\" -y \"*) ;; *) echo '  Duration: 00:00:03.00, "
                            "start: 0'; exit 1;; esac\n"
                            "for last; do :; done\n"
                            "printf 'ID3 half an mp3' > \"$last\"\n"
                            "echo 'fake converter: cannot go on' >&2\n" +
                                ending + "\n");
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    // A converter that fails (killed, terminated, or ending with a non-zero status) has failed,
    // whatever it left behind: its output is shown and the chosen path keeps what it held.
    void failedConversionsLeaveNothingHalfMade_data() {
        QTest::addColumn<QString>("ending");  // empty: the converter is /bin/false
        QTest::addColumn<QString>("said");    // how the message says it ended
        QTest::newRow("killed") << "kill -KILL $$"
                                << "killed by signal SIGKILL";
        QTest::newRow("terminated") << "kill -TERM $$"
                                    << "killed by signal SIGTERM";
        QTest::newRow("exit status 1") << "exit 1"
                                       << "exit status 1";
        // Not a word of output: the message still says how it ended.
        QTest::newRow("/bin/false") << QString() << "exit status 1";
    }
    void failedConversionsLeaveNothingHalfMade() {
        QFETCH(QString, ending);
        QFETCH(QString, said);
        g_ffmpegExe = ending.isEmpty() ? "/bin/false" : FakeConverter(ending.toStdString());
        convtest::WriteFile(Output(), "an earlier MP3");
        Window w;
        w.add(Url("/root/clip.flv"), 150000, "x-flv\r\n");
        w.download();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].startsWith("Pelnix 0: The conversion command failed.  The output "
                                          "from the converter is:\n\n"),
                 qPrintable(m_messages[0]));
        if (!ending.isEmpty()) {
            QVERIFY2(m_messages[0].contains("fake converter: cannot go on"),
                     qPrintable(m_messages[0]));
        }
        QVERIFY2(m_messages[0].endsWith("\n\nThe converter ended with " + said + "."),
                 qPrintable(m_messages[0]));
        QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
        QCOMPARE(convtest::ReadFile(Output()), std::string("an earlier MP3"));
        QCOMPARE(FilesIn(m_root + "/out"), std::vector<std::string>{"chosen.mp3"});
    }

    // A work file that cannot be written stops the run with the reason; nothing runs on it.
    void unwritableWorkFilesSayWhy_data() {
        QTest::addColumn<QString>("blocked");  // the work file that cannot be written
        QTest::addColumn<int>("status");
        QTest::newRow("URL note") << "Sniffer_0_150000.url.txt"
                                  << int(SniffedMediaList::kNotDownloaded);
        QTest::newRow("script") << "Sniffer_0_150000.convert.bat"
                                << int(SniffedMediaList::kDownloaded);
    }
    void unwritableWorkFilesSayWhy() {
        QFETCH(QString, blocked);
        QFETCH(int, status);
        // A folder of that name: no file can be made there, by root either.
        const std::string path = m_work + "/" + blocked.toStdString();
        fs::create_directories(path);
        Window w;
        w.add(Url("/root/clip.flv"), 150000, "x-flv\r\n");
        w.download();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].contains(QString::fromStdString(path)), qPrintable(m_messages[0]));
        QVERIFY2(m_messages[0].contains("Is a directory"), qPrintable(m_messages[0]));
        QCOMPARE(w.status(), status);
        QVERIFY(!fs::exists(Output()));
    }

    // The failure box shows the end of the output also when there is no banner to cut at.
    void conversionFailureWithoutBannerShowsTheOutput() {
        g_ffmpegExe = FakeConverter("exit 3");
        Window w;
        w.add(Url("/root/clip.flv"), 150000, "x-flv\r\n");
        w.download();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].endsWith("fake converter: cannot go on\n\nThe converter ended "
                                        "with exit status 3."),
                 qPrintable(m_messages[0]));
    }

    // Records that arrive while the download runs push the oldest off the list and shift every
    // index: the yellow, and then the green, still go to the record that is downloaded.
    void statusStaysWithTheDownloadedRecord() {
        // The slow bodies are no MP3 whatever their type says: a converter that succeeds at
        // once converts them.
        g_ffmpegExe = FakeConverter("exit 0");
        Window w;
        for (int i = 0; i < MediaCatalogue::kMaxRecords; ++i)
            w.add(Url("/slow/3000?" + std::to_string(i)), 150000 + i, "MP3");
        const std::uint64_t chosen = 150005;  // index 5
        QCOMPARE(w.list()->Record(5)->size, chosen);
        int yellowSeen = 0;
        bool added = false;
        DialogWatcher<DownloadDialog> during([&](DownloadDialog*) {
            const auto record = w.bySize(chosen);
            if (record && record->statusImage == SniffedMediaList::kDownloading)
                ++yellowSeen;
            if (!added) {
                added = true;
                w.add(Url("/root/song.mp3?late"), 160000, "MP3");
            }
        });
        w.window.DownloadAndImport(5);
        QVERIFY(added);
        QVERIFY(yellowSeen > 0);
        QCOMPARE(m_messages, QStringList());
        QVERIFY(!w.bySize(150000));  // evicted meanwhile
        for (int i = 0; i < w.list()->Count(); ++i) {
            const SniffedMedia record = *w.list()->Record(i);
            QCOMPARE(record.statusImage, record.size == chosen ? SniffedMediaList::kDownloaded
                                                               : SniffedMediaList::kNotDownloaded);
        }
    }

    // With no row selected, Download and Preview do nothing.
    void noSelectionDoesNothing() {
        const std::string said = m_root + "/player-args.txt";
        fs::remove(said);
        g_ffplayExe = m_root + "/player.sh";
        convtest::WriteFile(g_ffplayExe, "#!/bin/sh\ntouch '" + said + "'\n");
        fs::permissions(g_ffplayExe, fs::perms::owner_all);
        Window w;
        w.add(Url("/root/song.mp3"), 150000, "MP3");
        w.list()->clearSelection();
        QCOMPARE(w.list()->SelectedRecord(), -1);
        w.download();
        w.window.ControlAs<QPushButton>(kPreview)->click();
        QTest::qWait(300);
        QCOMPARE(m_prompts, 0);
        QVERIFY(!fs::exists(said));
        QVERIFY(FilesIn(m_work).empty());
        QCOMPARE(w.status(), SniffedMediaList::kNotDownloaded);
    }

    // A second Download of the same entry asks again and replaces its work files.
    void secondDownloadAsksAgainAndReplacesTheWorkFiles() {
        Window w;
        w.add(Url("/root/clip.flv"), 150000, "x-flv\r\n");
        w.download();
        QCOMPARE(m_prompts, 1);
        for (const char* name :
             {"Sniffer_0_150000.url.txt", "Sniffer_0_150000.convert.bat", "Sniffer_0_150000.flv"}) {
            convtest::WriteFile(m_work + "/" + name, "stale");
        }
        fs::remove(Output());
        w.download();
        QCOMPARE(m_prompts, 2);
        QCOMPARE(m_messages, QStringList());
        QCOMPARE(convtest::ReadFile(m_work + "/Sniffer_0_150000.flv"), convtest::ReadFile(m_flv));
        QCOMPARE(convtest::ReadFile(m_work + "/Sniffer_0_150000.url.txt"),
                 Url("/root/clip.flv") + "\n");
        QVERIFY(convtest::ReadFile(m_work + "/Sniffer_0_150000.convert.bat").find("stale") ==
                std::string::npos);
        QVERIFY(convtest::ProbeFormatAndDuration(Output()).rfind("mp3 ", 0) == 0);
    }

    // A page can plant a request block in a POST body whose Host line names a local service.
    // The replay of a site entry goes to the server the captured request went to, and nowhere
    // else, with the block from "GET " on.
    void replayGoesOnlyToTheServerTheRequestWentTo() {
        const std::string media = convtest::ReadFile(m_flv);
        ScriptedSocketServer localService({{"+OK\r\n"}});
        ScriptedSocketServer origin({{"HTTP/1.1 200 OK\r\nContent-Length: " +
                                      std::to_string(media.size()) + "\r\n\r\n" + media}},
                                    ScriptedSocketServer::End::Hold);
        const std::string planted =
            "GET /youtube.com/v HTTP/1.1\r\nHost: " + localService.HostPort() +
            "\r\nCookie: session=abc\r\n\r\n";
        const std::string block = "POST /upload HTTP/1.1\r\nHost: " + origin.HostPort() +
                                  "\r\nContent-Length: " + std::to_string(planted.size()) +
                                  "\r\n\r\n" + planted;
        Window w;
        w.addSent("http://www.youtube.com/v", 150000, "x-flv\r\n", block, origin.Port());
        QCOMPARE(w.list()->Record(0)->siteFlag, 1);
        w.download();
        QCOMPARE(localService.Request(), std::string());
        QCOMPARE(origin.Request(), planted);
        QCOMPARE(m_messages, QStringList());
        QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
        QVERIFY(convtest::ProbeFormatAndDuration(Output()).rfind("mp3 ", 0) == 0);
    }

    // A replay that fails turns the entry red and says so.
    void failedReplayTurnsRed() {
        ScriptedSocketServer origin(
            {{"HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"}},
            ScriptedSocketServer::End::Hold);
        const std::string headers =
            "GET /youtube.com/get_video?id=7 HTTP/1.1\r\nHost: " + origin.HostPort() + "\r\n\r\n";
        Window w;
        w.addSent("http://www.youtube.com/get_video?id=7", 150000, "x-flv\r\n", headers,
                  origin.Port());
        w.download();
        QCOMPARE(
            m_messages,
            QStringList{"Pelnix 0: Video Download failed: the server answered with status 404."});
        QVERIFY2(m_details.value(0).contains("404"), qPrintable(m_details.value(0)));
        QCOMPARE(w.status(), SniffedMediaList::kNotDownloaded);
        QVERIFY(!fs::exists(Output()));
        QCOMPARE(FilesIn(m_work), std::vector<std::string>{"Sniffer_0_150000.url.txt"});
    }

    void siteRecordReplaysTheCapturedRequest() {
        const std::string media = convtest::ReadFile(m_flv);
        ScriptedSocketServer server({{"HTTP/1.1 200 OK\r\nContent-Length: " +
                                      std::to_string(media.size()) + "\r\n\r\n" + media}},
                                    ScriptedSocketServer::End::Hold);
        // The site by its host name; the replay goes to the address the request went to.
        const std::string url = "http://www.youtube.com/get_video?id=7";
        const std::string headers =
            "GET /youtube.com/get_video?id=7 HTTP/1.1\r\nHost: " + server.HostPort() +
            "\r\nCookie: session=abc\r\n\r\n";
        Window w;
        w.addSent(url, 150000, "x-flv\r\n", headers, server.Port());
        QVERIFY(w.list()->Record(0));
        QCOMPARE(w.list()->Record(0)->siteFlag, 1);
        w.download();
        // The captured block went out byte for byte: the replay download, not a request of the
        // transfer engine's own.
        QCOMPARE(server.Request(), headers);
        QCOMPARE(m_messages, QStringList());
        const QString probe = QString::fromStdString(convtest::ProbeFormatAndDuration(Output()));
        QVERIFY2(probe.startsWith("mp3 "), qPrintable(probe));
        QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
    }

    // A HAR names the server of each entry, and it may name a local service: what a file lists
    // is fetched by its URL and never replayed, whatever its URL holds ("youtube.com" in the
    // path here, which is no site entry either).
    void fileEntriesAreFetchedByUrlNeverReplayed() {
        // Something listening where the HAR points: the address it names, the URL's port.
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        QVERIFY(listener >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_server->Port());
        address.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        QVERIFY(::listen(listener, 8) == 0);
        std::atomic<bool> done{false};
        std::atomic<int> connections{0};
        std::thread watcher([&] {
            while (!done) {
                if (const int taken = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                    taken >= 0) {
                    ++connections;
                    ::close(taken);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        const auto stopped = qScopeGuard([&] {
            done = true;
            watcher.join();
            ::close(listener);
        });
        const std::string url = Url("/root/youtube.com/clip.flv");
        const std::string har = m_root + "/session.har";
        convtest::WriteFile(
            har, R"({"log":{"entries":[{"startedDateTime":"2026-06-01T13:02:03Z",)"
                 R"("serverIPAddress":"127.0.0.2","request":{"method":"GET","url":")" +
                     url +
                     R"(","headers":[{"name":"Cookie","value":"id=1"}]},"response":{"status":200,)"
                     R"("headers":[{"name":"Content-Type","value":"video/x-flv"},)"
                     R"({"name":"Content-Length","value":"150000"}]}}]}})");
        Window w;
        w.window.ReadMediaFiles({har});
        QTRY_COMPARE(w.list()->Count(), 1);
        QCOMPARE(w.list()->Record(0)->url, url);
        QCOMPARE(w.list()->Record(0)->siteFlag, 0);
        QVERIFY(w.list()->Record(0)->fromFile);
        w.download();
        QCOMPARE(connections.load(), 0);
        QCOMPARE(m_messages, QStringList());
        QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
        QVERIFY(convtest::ProbeFormatAndDuration(Output()).rfind("mp3 ", 0) == 0);
    }

    void hostileTypeTextStaysInTheWorkFolder_data() {
        QTest::addColumn<QString>("type");
        QTest::newRow("command") << "$(touch pelnix-hostile-mark)";
        QTest::newRow("path") << "../../pelnix-hostile-mark";
        QTest::newRow("quote") << "flv'; touch pelnix-hostile-mark; '";
    }
    void hostileTypeTextStaysInTheWorkFolder() {
        QFETCH(QString, type);
        const fs::path before = fs::current_path();
        fs::current_path(m_work);
        Window w;
        w.add(Url("/root/clip.flv"), 150000, type.toStdString());
        w.download();
        fs::current_path(before);
        QCOMPARE(m_messages, QStringList());
        QVERIFY(convtest::ProbeFormatAndDuration(Output()).rfind("mp3 ", 0) == 0);
        for (const std::string& folder : {m_root, m_work, m_root + "/out", before.string()}) {
            for (const std::string& name : FilesIn(folder))
                QVERIFY2(name.find("pelnix-hostile-mark") == std::string::npos, name.c_str());
        }
        for (const std::string& name : FilesIn(m_work))
            QVERIFY2(name.rfind("Sniffer_0_150000.", 0) == 0 || name == "QXCmdTmp.bat",
                     name.c_str());
    }

    // A type that names the download like the script or the URL note destroys neither: the
    // three work files have disjoint forms.
    void typesNamedLikeTheWorkFilesKeepEveryFile_data() {
        QTest::addColumn<QString>("type");
        QTest::newRow("bat") << "bat";
        QTest::newRow("txt") << "txt";
    }
    void typesNamedLikeTheWorkFilesKeepEveryFile() {
        QFETCH(QString, type);
        Window w;
        const std::string url = Url("/root/clip.flv");
        w.add(url, 150000, type.toStdString());
        w.download();
        QCOMPARE(m_messages, QStringList());
        QVERIFY(convtest::ProbeFormatAndDuration(Output()).rfind("mp3 ", 0) == 0);
        const std::string media = m_work + "/Sniffer_0_150000." + type.toStdString();
        QCOMPARE(convtest::ReadFile(media), convtest::ReadFile(m_flv));
        QCOMPARE(convtest::ReadFile(m_work + "/Sniffer_0_150000.url.txt"), url + "\n");
        QVERIFY(convtest::ReadFile(m_work + "/Sniffer_0_150000.convert.bat").rfind("exec ", 0) ==
                0);
    }

    // A downloaded "video" whose bytes are an HLS playlist naming a local file: the converter
    // reads the one file it is given, with the reader its type names (or, for a type that names
    // none, a reader of single media files), and so fails instead of putting the named file's
    // sound into the MP3.
    void playlistBodiedVideoMakesTheConverterReadNothingElse_data() {
        QTest::addColumn<QString>("type");
        QTest::newRow("flv") << "x-flv\r\n";
        QTest::newRow("type naming no reader") << "octet";
    }
    void playlistBodiedVideoMakesTheConverterReadNothingElse() {
        QFETCH(QString, type);
        convtest::WriteFile(Output(), "an earlier MP3");
        Window w;
        w.add(Url("/root/playlist.flv"), 150000, type.toStdString());
        w.download();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].startsWith("Pelnix 0: The conversion command failed."),
                 qPrintable(m_messages[0]));
        QCOMPARE(convtest::ReadFile(Output()), std::string("an earlier MP3"));
    }

    // Only bytes that are MP3 go to the chosen file unconverted: an entry of type "mp3" whose
    // body is an MP4 is converted; a real MP3 arrives byte for byte.
    void mp3TypeGoesStraightToTheFileOnlyWithMp3Bytes_data() {
        QTest::addColumn<QString>("served");
        QTest::addColumn<bool>("converted");
        QTest::newRow("MP4 bytes") << "sound.mp4" << true;
        QTest::newRow("MP3 bytes") << "sound.mp3" << false;
    }
    void mp3TypeGoesStraightToTheFileOnlyWithMp3Bytes() {
        QFETCH(QString, served);
        QFETCH(bool, converted);
        const std::string body = convtest::ReadFile(m_served + "/" + served.toStdString());
        Window w;
        w.add(Url("/root/" + served.toStdString()), 150000, "mp3");
        w.download();
        QCOMPARE(m_messages, QStringList());
        QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
        const QString probe = QString::fromStdString(convtest::ProbeFormatAndDuration(Output()));
        QVERIFY2(probe.startsWith("mp3 "), qPrintable(probe));
        QCOMPARE(convtest::ReadFile(Output()) == body, !converted);
        QCOMPARE(fs::exists(m_work + "/Sniffer_0_150000.convert.bat"), converted);
    }

    void previewRegistersTheUrlAndStartsThePlayer() {
        // The player is a script that writes down its arguments.
        const std::string player = m_root + "/player.sh";
        const std::string said = m_root + "/player-args.txt";
        convtest::WriteFile(player, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + said + "'\n");
        fs::permissions(player, fs::perms::owner_all);
        g_ffplayExe = player;
        HelperSession session("pelnix-no-such-adapter", "no such adapter");
        Window w;
        g_captureSessions.push_back(&session);
        w.add("http://media.test/a.flv?x=$(id)", 150000, "x-flv\r\n");
        w.window.ControlAs<QPushButton>(kPreview)->click();
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(said) && fs::file_size(said) > 0, kLoadedWaitMs);
        QCOMPARE(convtest::ReadFile(said), std::string("http://media.test/a.flv?x=$(id)\n"));
        QCOMPARE(session.IgnoreListSize(), std::size_t(1));
        QCOMPARE(w.status(), SniffedMediaList::kNotDownloaded);
    }

    // What Preview gives the player of the captured session: nothing that a redirect, a
    // playlist's other hosts or an unchecked server could receive (no Cookie, no Authorization,
    // the Referer's origin alone), nothing at all for a URL on another host than the captured
    // one, and an https URL only with the server's certificate checked.
    void previewSendsNoSessionTheServerCouldLeak_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("kind");      // "" for a file
        QTest::addColumn<QString>("expected");  // the player's arguments, "|" after each
        const QString ca = QStringLiteral("-tls_verify|1|-ca_file|%1|").arg(kSystemAuthorityFile);
        const QString headers = "-headers|Referer: https://page.test\r\nUser-Agent: UA/1\r\n|";
        QTest::newRow("https file") << "https://media.test/a.mp4"
                                    << "" << ca + headers + "https://media.test/a.mp4|";
        QTest::newRow("https stream") << "https://media.test/s.m3u8"
                                      << "hls" << ca + headers + "https://media.test/s.m3u8|";
        QTest::newRow("http stream") << "http://media.test/s.mpd"
                                     << "dash" << headers + "http://media.test/s.mpd|";
        QTest::newRow("stream on another host") << "https://other.test/s.m3u8"
                                                << "hls" << ca + "https://other.test/s.m3u8|";
        QTest::newRow("https file on another port") << "https://media.test:8443/a.mp4"
                                                    << "" << ca + "https://media.test:8443/a.mp4|";
    }
    void previewSendsNoSessionTheServerCouldLeak() {
        QFETCH(QString, url);
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        const std::string said = StartRecordingPlayer();
        const std::string path = url.toStdString().substr(url.toStdString().find('/', 8));
        MediaReport report = PlainReport(
            url.toStdString(),
            "GET " + path +
                " HTTP/1.1\r\nHost: media.test\r\nCookie: session=s3cret\r\nReferer: "
                "https://page.test/watch?v=s3cret\r\nUser-Agent: UA/1\r\nAuthorization: Bearer "
                "s3cret\r\n\r\n",
            "150000\r\n", kind.isEmpty() ? "mp4" : kind.toStdString());
        report.kind = kind.toStdString();
        Window w;
        w.list()->AddSniffedMedia(report, std::time(nullptr));
        w.window.ControlAs<QPushButton>(kPreview)->click();
        QTRY_VERIFY(fs::exists(said) && fs::file_size(said) > 0);
        QCOMPARE(QString::fromStdString(convtest::ReadFile(said)), expected);
        QCOMPARE(m_messages, QStringList());
    }

    // With TlsCaFile set the player checks servers against a private bundle of the system's
    // authorities and the setting's; a TlsCaFile that holds no certificate stops the Preview
    // with the reason.
    void previewTrustsTlsCaFileThroughAPrivateBundle() {
        QVERIFY(MakeTestAuthority(m_root));
        const std::string said = StartRecordingPlayer();
        convtest::WriteFile(g_settingsFile, "[Pelnix]\nTlsCaFile=" + m_root + "/ca.pem\n");
        Window w;
        w.add("https://media.test/a.mp4", 150000, "mp4", "GET /a.mp4 HTTP/1.1\r\n\r\n");
        w.window.ControlAs<QPushButton>(kPreview)->click();
        QTRY_VERIFY(fs::exists(said) && fs::file_size(said) > 0);
        const std::string bundle = m_work + "/" + kAuthorityBundleName;
        QCOMPARE(convtest::ReadFile(said),
                 "-tls_verify|1|-ca_file|" + bundle + "|https://media.test/a.mp4|");
        QCOMPARE(fs::status(bundle).permissions() & fs::perms::all,
                 fs::perms::owner_read | fs::perms::owner_write);
        const std::string system = convtest::ReadFile(kSystemAuthorityFile);
        QVERIFY(!system.empty());
        QCOMPARE(convtest::ReadFile(bundle), system + convtest::ReadFile(m_root + "/ca.pem"));

        fs::remove(said);
        convtest::WriteFile(g_settingsFile, "[Pelnix]\nTlsCaFile=" + m_root + "/san.cnf\n");
        w.window.ControlAs<QPushButton>(kPreview)->click();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].contains("TlsCaFile") &&
                     m_messages[0].contains(QString::fromStdString(m_root + "/san.cnf")),
                 qPrintable(m_messages[0]));
        QTest::qWait(300);
        QVERIFY(!fs::exists(said));
        fs::remove(g_settingsFile);
    }

    // --launch for real: curl, started by the window in its namespace, fetches an MP4 over
    // HTTPS from nginx and writes the window's private key log; the capture helper follows that
    // file and the MP4 is listed with its https URL. The key log goes with the window.
    // A medium the capture holds whole comes from the copy: with its server gone, Download
    // gives the captured bytes (MP3, so straight to the chosen file), the dialog says where they
    // come from, and Preview plays the local copy. The copies' folder goes with the window.
    void wholeCaptureCopyIsDownloadedWithoutTheServer() {
        const std::string url =
            "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/media/song.mp3";
        const std::string har = WriteHarWithBodies({{url, kSong}});
        const std::string said = StartRecordingPlayer();
        QString copyDialogStatus;
        {
            Window w;
            w.window.ReadMediaFiles({har});
            QTRY_COMPARE_WITH_TIMEOUT(w.list()->Count(), 1, kLoadedWaitMs);
            const SniffedMedia record = *w.list()->Record(0);
            QCOMPARE(CopyTag(record.copyId), kFileCopyTag);
            QTRY_VERIFY_WITH_TIMEOUT(w.list()->CopyOf(record.copyId).has_value() &&
                                         IsWholeFileCopy(*w.list()->CopyOf(record.copyId)),
                                     kLoadedWaitMs);
            QVERIFY(w.list()->topLevelItem(0)->toolTip(0).contains(
                QStringLiteral("Captured: whole (150,000 bytes)")));
            QVERIFY(w.list()->topLevelItem(0)->data(2, SniffedMediaList::kWholeCopyRole).toBool());

            // The dialog's status line, as it stood when the copy ended.
            struct HideSpy : QObject {
                QString* status;
                explicit HideSpy(QString* s) : status(s) {}
                bool eventFilter(QObject* object, QEvent* event) override {
                    if (event->type() == QEvent::Hide && qobject_cast<CaptureCopyDlg*>(object)) {
                        for (QLabel* label : static_cast<QWidget*>(object)->findChildren<QLabel*>())
                            if (label->text() == QLatin1String(CaptureCopyDlg::kCopyingText))
                                *status = label->text();
                    }
                    return false;
                }
            } spy(&copyDialogStatus);
            qApp->installEventFilter(&spy);
            w.download();
            qApp->removeEventFilter(&spy);
            QCOMPARE(m_messages, QStringList());
            QCOMPARE(copyDialogStatus, QString::fromLatin1(CaptureCopyDlg::kCopyingText));
            QCOMPARE(convtest::ReadFile(Output()), kSong);
            QCOMPARE(w.status(), SniffedMediaList::kDownloaded);

            w.window.ControlAs<QPushButton>(kPreview)->click();
            QTRY_VERIFY_WITH_TIMEOUT(fs::exists(said), kLoadedWaitMs);
            const auto copy = w.window.CapturedCopyOf(record);
            QVERIFY(copy.has_value());
            QCOMPARE(convtest::ReadFile(said), "-protocol_whitelist|file|file:" + copy->folder +
                                                   "/" + copy->status.name + "|");
            QCOMPARE(convtest::ReadFile(copy->folder + "/" + copy->status.name), kSong);
            QCOMPARE(SpoolFolders().size(), std::size_t(1));
        }
        QCOMPARE(SpoolFolders(), std::vector<std::string>());
    }

    // A copy that lacks a stretch of its medium (two 206 answers of one URL and ETag) starts the
    // download: the server is asked for the hole alone, with If-Range on the captured ETag, and
    // the file is the captured bytes with the hole filled in. A server whose ETag is another has
    // another file: the captured bytes are not used, and the file is the server's.
    void captureCopyWithAHoleFetchesOnlyTheHole() {
        constexpr std::uint64_t kTotal = 300000;
        // An MP3 by its first bytes, every later byte telling its offset apart.
        const std::string served = "ID3" + PatternBytes(3, kTotal);
        convtest::WriteFile(m_served + "/ranged.mp3", served);
        const std::string log = m_root + "/ranged.log";
        convtest::WriteFile(log, "");
        LocalHttpServer server(PELNIX_HTTP_TEST_SERVER, {"--root", m_served, "--log", log});
        QVERIFY(server.Running());
        const auto download = [&](const std::string& path, const std::string& captured,
                                  const std::string& output) {
            const std::string url = server.Url(path);
            const auto range = [&](std::uint64_t first, std::uint64_t end) {
                return HarEntry{url,
                                captured.substr(first, end - first),
                                "audio/mpeg",
                                206,
                                {{"ETag", "\"v1\""},
                                 {"Content-Range", "bytes " + std::to_string(first) + "-" +
                                                       std::to_string(end - 1) + "/" +
                                                       std::to_string(kTotal)}}};
            };
            const std::string har = WriteHar({range(0, 100000), range(200000, kTotal)});
            convtest::WriteFile(log, "");
            m_answer = QString::fromStdString(output);
            Window w;
            w.window.ReadMediaFiles({har});
            QTRY_COMPARE_WITH_TIMEOUT(w.list()->Count(), 1, kLoadedWaitMs);
            const SniffedMedia record = *w.list()->Record(0);
            QCOMPARE(record.size, kTotal);
            QTRY_VERIFY_WITH_TIMEOUT(w.list()->CopyOf(record.copyId).has_value() &&
                                         w.list()->CopyOf(record.copyId)->state == CopyState::Holes,
                                     kLoadedWaitMs);
            w.download();
            QCOMPARE(m_messages, QStringList());
            QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
        };

        download("/root/ranged.mp3?etag=v1", served, m_root + "/out/filled.mp3");
        QVERIFY(convtest::ReadFile(m_root + "/out/filled.mp3") == served);
        QCOMPARE(QString::fromStdString(convtest::ReadFile(log)),
                 QStringLiteral("/root/ranged.mp3?etag=v1|-|-|bytes=100000-199999|\"v1\"\n"));

        // What was captured is an older file than the server's (tagged v2 there).
        const std::string older = "ID3" + std::string(kTotal - 3, 'o');
        download("/root/ranged.mp3?etag=v2", older, m_root + "/out/refetched.mp3");
        QVERIFY(convtest::ReadFile(m_root + "/out/refetched.mp3") == served);
        // The hole's request is answered with the whole new file, which is kept: one request.
        QCOMPARE(QString::fromStdString(convtest::ReadFile(log)),
                 QStringLiteral("/root/ranged.mp3?etag=v2|-|-|bytes=100000-199999|\"v1\"\n"));
    }

    // A stream the capture holds whole (a HAR with its playlist and every TS segment) is joined
    // into the chosen MP4 from the copy: its server, listening, sees no connection, and no work
    // folder stays behind.
    void wholeCapturedStreamIsJoinedWithoutTheServer() {
        const std::string stream = m_root + "/hls";
        fs::create_directories(stream);
        QCOMPARE(convtest::RunCommand(
                     "ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                     "testsrc=size=128x96:rate=10:duration=4 -f lavfi -i "
                     "sine=frequency=440:duration=4 -c:v libx264 -preset ultrafast -g 10 -c:a aac "
                     "-b:a 64k -shortest -f hls -hls_time 1 -hls_playlist_type vod "
                     "-hls_segment_filename '" +
                     stream + "/s%d.ts' '" + stream + "/index.m3u8'"),
                 0);
        double sourceSeconds = 0;
        QVERIFY(QueryMediaDuration(nullptr, stream + "/index.m3u8", sourceSeconds));
        // The stream's server: it listens, and is never accepted from.
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        QVERIFY(listener >= 0);
        const auto closeListener = qScopeGuard([&] { ::close(listener); });
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        QCOMPARE(::listen(listener, 8), 0);
        QCOMPARE(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
        const std::string base =
            "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/ts/";
        std::vector<HarEntry> answers = {{base + "index.m3u8",
                                          convtest::ReadFile(stream + "/index.m3u8"),
                                          "application/vnd.apple.mpegurl"}};
        for (int i = 0; fs::exists(stream + "/s" + std::to_string(i) + ".ts"); ++i) {
            const std::string name = "s" + std::to_string(i) + ".ts";
            answers.push_back({base + name, convtest::ReadFile(stream + "/" + name), "video/mp2t"});
        }
        QVERIFY(answers.size() >= 4);
        const std::string har = WriteHar(answers);
        const std::string output = m_root + "/out/joined.mp4";
        m_answer = QString::fromStdString(output);
        {
            Window w;
            w.window.ReadMediaFiles({har});
            QTRY_COMPARE_WITH_TIMEOUT(w.list()->Count(), 1, kLoadedWaitMs);
            const SniffedMedia record = *w.list()->Record(0);
            QCOMPARE(record.kind, std::string("hls"));
            QTRY_VERIFY_WITH_TIMEOUT(w.list()->CopyOf(record.copyId).has_value() &&
                                         w.list()->CopyOf(record.copyId)->state == CopyState::Whole,
                                     kLoadedWaitMs);
            QCOMPARE(w.list()->CopyOf(record.copyId)->kind, CopyKind::Stream);
            // Preview plays the pieces laid out from the copy, and their folder goes with the
            // player.
            const std::string said = StartRecordingPlayer();
            w.window.ControlAs<QPushButton>(kPreview)->click();
            QTRY_VERIFY_WITH_TIMEOUT(fs::exists(said), kLoadedWaitMs);
            const std::string played = convtest::ReadFile(said);
            QVERIFY2(played.rfind("-protocol_whitelist|file|-f|hls|", 0) == 0, played.c_str());
            QVERIFY2(played.find("|file:" + m_work + "/pelnix-join-") != std::string::npos,
                     played.c_str());
            QVERIFY2(played.find("http") == std::string::npos, played.c_str());
            const auto laidOut = [&] {
                for (const std::string& name : FilesIn(m_work)) {
                    if (name.rfind("pelnix-join-", 0) == 0)
                        return true;
                }
                return false;
            };
            QTRY_VERIFY_WITH_TIMEOUT(!laidOut(), kLoadedWaitMs);
            w.download();
            QCOMPARE(m_messages, QStringList());
            QCOMPARE(w.status(), SniffedMediaList::kDownloaded);
        }
        double joinedSeconds = 0;
        QVERIFY(QueryMediaDuration(nullptr, output, joinedSeconds));
        QVERIFY2(std::abs(joinedSeconds - sourceSeconds) <= 0.5,
                 qPrintable(QStringLiteral("%1 of %2").arg(joinedSeconds).arg(sourceSeconds)));
        QVERIFY2(::accept(listener, nullptr, nullptr) < 0 && errno == EAGAIN,
                 "the stream's server was connected to");
        for (const std::string& name : FilesIn(m_work))
            QVERIFY2(!fs::is_directory(m_work + "/" + name), name.c_str());
    }

    // A copy goes with its row: when the row is removed, and when the list's newest 25 push it
    // out; a row that stays keeps its copy.
    void copiesOfRowsThatLeaveTheListAreDeleted() {
        const std::string base = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/media/";
        const std::string har = WriteHarWithBodies({{base + "a.mp3", kSong},
                                                    {base + "b.mp3", kSong + "b"},
                                                    {base + "c.mp3", kSong + "cc"}});
        // A killed window's copies (its process gone) go when a window starts; those of a window
        // still running, and what merely looks alike, stay.
        const pid_t ended = ::fork();
        if (ended == 0)
            ::_exit(0);
        QVERIFY(ended > 0);
        QCOMPARE(::waitpid(ended, nullptr, 0), ended);
        const std::string left = m_work + "/pelnix-spool-" + std::to_string(ended) + "-aB3dE9";
        const std::string running =
            m_work + "/pelnix-join-" + std::to_string(::getppid()) + "-x1Y2z3";
        const std::string alike = m_work + "/pelnix-spool-" + std::to_string(ended) + "-mine";
        for (const std::string& folder : {left + "/s1", running, alike})
            fs::create_directories(folder);
        convtest::WriteFile(left + "/s1/g1", "captured");
        convtest::WriteFile(left + "/f2", "captured");
        Window w;
        QVERIFY(!fs::exists(left));
        QVERIFY(fs::exists(running) && fs::exists(alike));
        fs::remove_all(running);
        fs::remove_all(alike);
        w.window.ReadMediaFiles({har});
        QTRY_COMPARE_WITH_TIMEOUT(w.list()->Count(), 3, kLoadedWaitMs);
        std::vector<std::string> copies;
        for (int i = 0; i < 3; ++i) {
            const std::uint64_t id = w.list()->Record(i)->copyId;
            QTRY_VERIFY_WITH_TIMEOUT(
                w.list()->CopyOf(id).has_value() && w.list()->CopyOf(id)->state == CopyState::Whole,
                kLoadedWaitMs);
            const auto copy = w.window.CapturedCopyOf(*w.list()->Record(i));
            QVERIFY(copy.has_value());
            copies.push_back(copy->folder + "/" + copy->status.name);
            QVERIFY(fs::exists(copies.back()));
        }
        w.list()->RemoveAt(0);  // a.mp3
        QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(copies[0]), kLoadedWaitMs);
        // b.mp3 is now the oldest: 24 more push it out, c.mp3 stays.
        for (int i = 0; i < 24; ++i)
            w.add("http://media.test/" + std::to_string(i) + ".flv", 200000 + i, "flv");
        QCOMPARE(w.list()->Count(), 25);
        QTRY_VERIFY_WITH_TIMEOUT(!fs::exists(copies[1]), kLoadedWaitMs);
        QVERIFY(fs::exists(copies[2]));
        QCOMPARE(w.list()->Record(0)->url, base + "c.mp3");
    }

    // The row shows its copy's state as it changes: the tip's "Captured:" line, and the mark
    // after the size only while the copy is whole. A refused report's copy is deleted.
    void theRowShowsItsCopysState() {
        Window w;
        std::vector<std::uint64_t> discarded;
        w.list()->SetCopyDiscard([&](std::uint64_t id) { discarded.push_back(id); });
        const std::uint64_t id = TagCopyId(7, 3);
        MediaReport report = PlainReport("http://media.test/v/clip.mp4", "GET / HTTP/1.1\r\n\r\n",
                                         "7340032\r\n", "video/mp4");
        report.copyId = id;
        w.list()->AddSniffedMedia(report, std::time(nullptr));
        QCOMPARE(w.list()->Count(), 1);
        const auto tip = [&] { return w.list()->topLevelItem(0)->toolTip(0); };
        const auto markedRow = [&](int row) {
            return w.list()->topLevelItem(row)->data(2, SniffedMediaList::kWholeCopyRole).toBool();
        };
        const auto marked = [&] { return markedRow(0); };
        QVERIFY(!tip().contains(QStringLiteral("Captured")));

        CopyStatus status;
        status.id = id;
        status.name = "f7";
        status.total = 7340032;
        status.intervals = {{0, 1048576}, {2097152, 4194304}};
        status.keptBytes = 3145728;
        w.list()->SetCopyStatus(status);
        QVERIFY2(tip().contains(QStringLiteral("Captured so far: 3,145,728 of 7,340,032 bytes")),
                 qPrintable(tip()));
        QVERIFY(!marked());
        status.state = CopyState::Stopped;
        status.stop = CopyStop::DiskFull;
        w.list()->SetCopyStatus(status);
        QVERIFY2(tip().contains(QStringLiteral(
                     "Captured: stopped (the disk is full), 3,145,728 of 7,340,032 bytes")),
                 qPrintable(tip()));
        QVERIFY(!marked());
        status.state = CopyState::Whole;
        status.stop = CopyStop::None;
        status.intervals = {{0, 7340032}};
        w.list()->SetCopyStatus(status);
        QVERIFY2(tip().contains(QStringLiteral("Captured: whole (7,340,032 bytes)")),
                 qPrintable(tip()));
        QVERIFY(marked());
        // Another row coming keeps the mark where it belongs.
        w.add("http://media.test/other.flv", 200000, "flv");
        QVERIFY(!marked());
        QVERIFY(markedRow(1));
        status.state = CopyState::Gone;
        w.list()->SetCopyStatus(status);
        QVERIFY(!markedRow(1));
        QVERIFY(!w.list()->topLevelItem(1)->toolTip(0).contains(QStringLiteral("Captured")));

        // The same medium again is refused: its own copy goes, the listed one's stays.
        MediaReport again = report;
        again.copyId = TagCopyId(8, 3);
        w.list()->AddSniffedMedia(again, std::time(nullptr));
        MediaReport sharing = report;
        w.list()->AddSniffedMedia(sharing, std::time(nullptr));
        QCOMPARE(discarded, std::vector<std::uint64_t>{TagCopyId(8, 3)});
        w.list()->RemoveAt(0);
        QCOMPARE(discarded, (std::vector<std::uint64_t>{TagCopyId(8, 3), id}));
    }

    void launchedCurlOverHttpsIsListed() {
        if (geteuid() != 0)
            QSKIP("needs root: creates network namespaces and captures packets");
        for (const char* program : {"nginx", "openssl", "curl"}) {
            if (!HaveProgram(program))
                QSKIP(qPrintable(QStringLiteral("needs the program %1").arg(program)));
        }
        VethPair net("dl");
        QVERIFY(net.Ok());
        const std::string folder = m_root + "/launch";
        const std::string site = folder + "/site";
        fs::create_directories(site);
        fs::permissions(m_root,
                        fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
        fs::permissions(folder,
                        fs::perms::owner_all | fs::perms::others_exec | fs::perms::others_read);
        {
            std::ofstream movie(site + "/movie.mp4", std::ios::binary);
            movie << std::string(
                         "\0\0\0\x18"
                         "ftypisom\0\0\0\0isommp41",
                         24)
                  << std::string(300000, '\x11');
        }
        fs::permissions(site,
                        fs::perms::owner_all | fs::perms::others_exec | fs::perms::others_read);
        QCOMPARE(RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                             "ec_paramgen_curve:P-256", "-nodes", "-keyout", folder + "/server.key",
                             "-out", folder + "/server.pem", "-days", "1", "-subj",
                             std::string("/CN=") + VethPair::kServerAddress}),
                 0);
        std::ofstream(folder + "/nginx.conf")
            << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << folder
            << "/nginx.pid;\nerror_log " << folder << "/error.log;\n"
            << "events { worker_connections 64; }\nhttp {\n  access_log off;\n"
            << "  types { video/mp4 mp4; }\n  client_body_temp_path " << folder << "/body;\n"
            << "  server {\n    listen 8443 ssl http2;\n    ssl_certificate " << folder
            << "/server.pem;\n    ssl_certificate_key " << folder << "/server.key;\n    root "
            << site << ";\n  }\n}\n";
        const pid_t server = StartProgram(net.InServer(
            {"nginx", "-p", folder, "-c", folder + "/nginx.conf", "-e", folder + "/error.log"}));
        struct StopServer {
            pid_t pid;
            ~StopServer() { StopProgram(pid); }
        } stopServer{server};
        const std::string url =
            std::string("https://") + VethPair::kServerAddress + ":8443/movie.mp4";
        QTRY_VERIFY_WITH_TIMEOUT(
            RunProgram(net.InClient({"curl", "-sfk", "-o", "/dev/null", url})) == 0, kLoadedWaitMs);

        const std::string runtime = folder + "/run";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime));
        const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        QVERIFY(home >= 0);
        // The helper and the command start from this thread, in the client's namespace.
        QVERIFY(net.EnterClientNamespace());
        struct GoHome {
            int fd;
            QByteArray runtime;
            ~GoHome() {
                setns(fd, CLONE_NEWNET);
                close(fd);
                qputenv("XDG_RUNTIME_DIR", runtime);
            }
        } goHome{home, savedRuntime};
        {
            TavrelSnifferWindow window(nullptr, [] { return std::string(PELNIX_CAPTURE_HELPER); });
            window.SetLaunchCommand({"curl", "-sfk", "--http1.1", "-o", "/dev/null", url});
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QCOMPARE(g_captureSessions.size(), std::size_t(1));
            QVERIFY2(g_captureSessions[0]->IsCapturing(),
                     g_captureSessions[0]->ErrorText().c_str());
            QTRY_COMPARE_WITH_TIMEOUT(window.MediaList()->Count(), 1, kLoadedWaitMs);
            QCOMPARE(window.MediaList()->Record(0)->url, url);
            QCOMPARE(window.MediaList()->Record(0)->type, std::string("mp4"));
            QCOMPARE(FilesIn(runtime).size(), std::size_t(1));
            QVERIFY(fs::file_size(runtime + "/" + FilesIn(runtime)[0]) > 0);
            QCOMPARE(m_messages, QStringList());
        }
        QVERIFY(FilesIn(runtime).empty());
    }

    // Everything for real: a capture session in a network namespace lists a Flash video that
    // curl fetches there; the window's Download button fetches it again and the MP3 arrives.
    // Under the rules `streams` the helper keeps a copy in the window's spool: the download then
    // comes from it, with the server stopped.
    void endToEndInANetworkNamespace_data() {
        QTest::addColumn<bool>("streams");
        QTest::newRow("packets") << false;
        QTest::newRow("streams") << true;
    }
    void endToEndInANetworkNamespace() {
        QFETCH(bool, streams);
        if (streams)
            convtest::WriteFile(g_settingsFile, "[Pelnix]\nCaptureRules=streams\n");
        if (geteuid() != 0)
            QSKIP("needs root: creates network namespaces and captures packets");
        VethPair net("dw");
        QVERIFY(net.Ok());
        const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        QVERIFY(home >= 0);
        // The GUI thread, and so every session and download worker it starts, moves into the
        // client's namespace.
        QVERIFY(net.EnterClientNamespace());
        struct GoHome {
            int fd;
            ~GoHome() {
                setns(fd, CLONE_NEWNET);
                close(fd);
            }
        } goHome{home};

        const std::string folder = m_root + "/e2e";
        fs::create_directories(folder);
        QVERIFY(convtest::RunCommand("ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                                     "testsrc=size=320x240:rate=25:duration=4 -f lavfi -i "
                                     "sine=duration=4 -c:v flv1 -c:a libmp3lame -f flv '" +
                                     folder + "/clip.flv'") == 0);
        const auto size = fs::file_size(folder + "/clip.flv");
        QVERIFY(size >= 100000);
        const std::string ready = m_root + "/e2e-server.txt";
        const pid_t server = StartProgram(net.InServer({"python3", PELNIX_MEDIA_SERVER, folder,
                                                        VethPair::kServerAddress, "8080"}),
                                          ready);
        struct StopServer {
            pid_t pid;
            ~StopServer() {
                if (pid > 0)
                    StopProgram(pid);
            }
        } stopServer{server};
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(ready) && fs::file_size(ready) > 0, kLoadedWaitMs);

        const std::string link = net.clientLink;
        // The capture helper starts from this thread and so captures in the namespace: on its
        // one adapter, the veth end.
        TavrelSnifferWindow window(nullptr, [] { return std::string(PELNIX_CAPTURE_HELPER); });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(g_captureSessions.size(), std::size_t(1));
        HelperSession* session = g_captureSessions[0];
        QCOMPARE(session->AdapterName(), link);
        QVERIFY2(session->IsCapturing(), session->ErrorText().c_str());

        const std::string url =
            std::string("http://") + VethPair::kServerAddress + ":8080/clip.flv";
        QCOMPARE(RunProgram(net.InClient({"curl", "-s", "-f", "-o", "/dev/null", url})), 0);
        QTRY_COMPARE_WITH_TIMEOUT(window.MediaList()->Count(), 1, kLoadedWaitMs);
        QCOMPARE(window.MediaList()->Record(0)->url, url);
        if (streams) {
            const SniffedMedia record = *window.MediaList()->Record(0);
            QTRY_VERIFY_WITH_TIMEOUT(window.CapturedCopyOf(record).has_value() &&
                                         IsWholeFileCopy(window.CapturedCopyOf(record)->status),
                                     kLoadedWaitMs);
            QCOMPARE(window.CapturedCopyOf(record)->folder, window.CaptureSpoolFolder());
            StopProgram(stopServer.pid);
            stopServer.pid = -1;
        }

        window.ControlAs<QPushButton>(kDownload)->click();
        QCOMPARE(m_messages, QStringList());
        if (streams)
            QCOMPARE(convtest::ReadFile(m_work + "/Sniffer_0_" + std::to_string(size) + ".flv"),
                     convtest::ReadFile(folder + "/clip.flv"));
        const QString probe = QString::fromStdString(convtest::ProbeFormatAndDuration(Output()));
        QVERIFY2(probe.startsWith("mp3 "), qPrintable(probe));
        QCOMPARE(window.MediaList()->Record(0)->statusImage, SniffedMediaList::kDownloaded);
        // The session saw the program's own request and dropped it.
        QTRY_COMPARE_WITH_TIMEOUT(session->IgnoreListSize(), std::size_t(0), kLoadedWaitMs);
        QCOMPARE(window.MediaList()->Count(), 1);
    }

    // The capture helper killed while it captures: the window says so in a notice that does
    // not block it, starts a new helper that takes over the ignore list, and a medium fetched
    // afterwards is listed.
    void aKilledCaptureHelperIsToldAndReplaced() {
        if (geteuid() != 0)
            QSKIP("needs root: creates network namespaces and captures packets");
        VethPair net("hk");
        QVERIFY(net.Ok());
        const int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        QVERIFY(home >= 0);
        QVERIFY(net.EnterClientNamespace());
        struct GoHome {
            int fd;
            ~GoHome() {
                setns(fd, CLONE_NEWNET);
                close(fd);
            }
        } goHome{home};
        const std::string folder = m_root + "/killed";
        fs::create_directories(folder);
        for (const auto& [name, size] : {std::pair{"before.mp4", 150000}, {"after.mp4", 160000}}) {
            std::ofstream(folder + "/" + name, std::ios::binary) << std::string(
                                                                        "\0\0\0\x18"
                                                                        "ftypisom\0\0\0\0isommp41",
                                                                        24)
                                                                 << std::string(size - 24, '\x11');
        }
        const std::string ready = m_root + "/killed-server.txt";
        const pid_t server = StartProgram(net.InServer({"python3", PELNIX_MEDIA_SERVER, folder,
                                                        VethPair::kServerAddress, "8080"}),
                                          ready);
        struct StopServer {
            pid_t pid;
            ~StopServer() { StopProgram(pid); }
        } stopServer{server};
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(ready) && fs::file_size(ready) > 0, kLoadedWaitMs);
        const std::string site = std::string("http://") + VethPair::kServerAddress + ":8080/";

        TavrelSnifferWindow window(nullptr, [] { return std::string(PELNIX_CAPTURE_HELPER); });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(g_captureSessions.size(), std::size_t(1));
        QVERIFY2(g_captureSessions[0]->IsCapturing(), g_captureSessions[0]->ErrorText().c_str());
        QCOMPARE(RunProgram(net.InClient({"curl", "-sf", "-o", "/dev/null", site + "before.mp4"})),
                 0);
        QTRY_COMPARE_WITH_TIMEOUT(window.MediaList()->Count(), 1, kLoadedWaitMs);
        // The program's own fetch in flight, which the new helper must not list either.
        g_captureSessions[0]->IgnoreUrl(std::string(VethPair::kServerAddress) + ":8080/own.mp4", 2);

        const pid_t first = window.CaptureHelperProcess();
        QVERIFY(first > 0);
        QCOMPARE(kill(first, SIGKILL), 0);
        // Told in the status line, not in a box, though the list holds an entry.
        const QLabel* notice = window.StatusLine();
        QTRY_VERIFY_WITH_TIMEOUT(
            notice->isVisible() && notice->text().contains("killed by signal 9"), kLoadedWaitMs);
        QVERIFY2(notice->text().contains("Pelnix starts it again"), qPrintable(notice->text()));
        QVERIFY(window.findChildren<QMessageBox*>().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(
            window.CaptureHelperProcess() > 0 && window.CaptureHelperProcess() != first &&
                g_captureSessions.size() == 1 && g_captureSessions[0]->IsCapturing(),
            kLoadedWaitMs);
        QCOMPARE(g_captureSessions[0]->IgnoreListSize(), std::size_t(2));

        QCOMPARE(RunProgram(net.InClient({"curl", "-sf", "-o", "/dev/null", site + "after.mp4"})),
                 0);
        QTRY_COMPARE_WITH_TIMEOUT(window.MediaList()->Count(), 2, kLoadedWaitMs);
        QCOMPARE(window.MediaList()->Record(1)->url, site + "after.mp4");
        QCOMPARE(m_messages, QStringList());
    }
};

QTEST_MAIN(DownloadWorkflowTest)
#include "DownloadWorkflowTest.moc"
