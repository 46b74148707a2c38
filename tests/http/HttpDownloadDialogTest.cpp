#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/ShowMessage.h"
#include "http/CHttpDownloadDlg.h"
#include "http/CYouTubeDownloadDlg.h"
#include "http/LocalHttpServer.h"
#include "http/ScriptedSocketServer.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

QString LabelText(const DownloadDialog& dialog, int id) {
    auto* label = dialog.ControlAs<QLabel>(id);
    return label ? label->text() : QStringLiteral("<missing>");
}

}  // namespace

class HttpDownloadDialogTest : public QObject {
    Q_OBJECT
private:
    LocalHttpServer* m_server = nullptr;
    fs::path m_dir, m_file;
    QStringList m_messages;
    int m_answer = IDYES;

    // A dialog set up the way the download workflow sets it up.
    void Prepare(CHttpDownloadDlg& dialog, const std::string& url) {
        dialog.SetUrl(url);
        dialog.SetDestinationPath(m_file.string());
        dialog.SetUserAgent("Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1)");
        dialog.SetConfirmOverwrite(false);
    }

private slots:
    void initTestCase() {
        ClearProxyEnvironment();
        m_server = new LocalHttpServer(PELNIX_HTTP_TEST_SERVER);
        QVERIFY2(m_server->Running(), "the test server did not start");
        m_dir = fs::temp_directory_path() / ("pelnix-dlg-" + std::to_string(getpid()));
        fs::create_directories(m_dir);
        SetMessageBoxHandler(
            [this](QWidget*, const QString& caption, unsigned, const QString& text) {
                m_messages << caption + ": " + text;
                return m_answer;
            });
    }
    void cleanupTestCase() {
        SetMessageBoxHandler({});
        CHttpDownloadDlg::SetCredentialsPrompt({});
        delete m_server;
        fs::remove_all(m_dir);
    }
    void init() {
        m_messages.clear();
        m_answer = IDYES;
        m_file = m_dir / "download.flv";
        fs::remove(m_file);
    }

    void unknownSizeShowsNoPercentageRateOrTimeLeft() {
        CHttpDownloadDlg dialog;
        Prepare(dialog, m_server->Url("/nolength/5000"));
        QCOMPARE(dialog.DoModal(), 1);
        QCOMPARE(LabelText(dialog, 1502), QStringLiteral("Retrieving the file"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("File Download"));
        QCOMPARE(LabelText(dialog, 1505), QString());
        QCOMPARE(LabelText(dialog, 1506), QString());
        QCOMPARE(ReadFile(m_file), PatternBytes(0, 5000));
        QVERIFY(m_messages.isEmpty());
    }

    void knownSizeReachesOneHundredPercent() {
        CHttpDownloadDlg dialog;
        Prepare(dialog, m_server->Url("/media/1500/clip.flv"));
        QCOMPARE(dialog.DoModal(), 1);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("100% of clip.flv Completed"));
        QCOMPARE(dialog.ControlAs<QProgressBar>(1504)->value(), 100);
        QCOMPARE(LabelText(dialog, 1503), QStringLiteral("clip.flv from 127.0.0.1"));
    }

    // A fill goes to the destination that holds the captured copy without asking to replace
    // it; its bar counts the missing bytes, and a changed file on the server is fetched whole.
    void fillCompletesTheCopyWithoutAsking() {
        for (const char* validator : {"\"v2\"", "\"v1\""}) {
            std::string copy = PatternBytes(0, 200000);
            std::fill(copy.begin() + 150000, copy.end(), '\0');
            std::ofstream(m_file, std::ios::binary) << copy;
            CHttpDownloadDlg dialog;
            Prepare(dialog, m_server->Url("/tagged/200000/v2"));
            dialog.SetConfirmOverwrite(true);
            dialog.SetFill({-1, 200000, {{150000, 200000}}, validator});
            QCOMPARE(dialog.DoModal(), 1);
            QVERIFY(m_messages.isEmpty());
            QVERIFY(ReadFile(m_file) == PatternBytes(0, 200000));
            QCOMPARE(dialog.ControlAs<QProgressBar>(1504)->value(), 100);
            QCOMPARE(dialog.LastFill(), std::string(validator) == "\"v2\"" ? FillOutcome::Filled
                                                                           : FillOutcome::FellBack);
        }
    }

    void results_data() {
        QTest::addColumn<QString>("path");  // empty: a closed port
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("fileLeft");
        const QString refused = QStringLiteral(
            "Pelnix: Failed to receive a valid HTTP response from the server, Response Code:%1");
        QTest::newRow("404") << "/status/404" << 4 << QString() << false;
        QTest::newRow("500") << "/status/500" << 2 << refused.arg(500) << false;
        QTest::newRow("unreachable") << QString() << 3 << QString() << false;
        QTest::newRow("cut short") << "/short/5000/1000" << 3 << QString() << false;
        QTest::newRow("empty body") << "/file/0" << 1 << QString() << true;
    }
    void results() {
        QFETCH(QString, path);
        QFETCH(int, result);
        QFETCH(QString, message);
        QFETCH(bool, fileLeft);
        CHttpDownloadDlg dialog;
        const std::string url =
            path.isEmpty() ? "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/a.flv"
                           : m_server->Url(path.toStdString());
        Prepare(dialog, url);
        QCOMPARE(dialog.DoModal(), result);
        QCOMPARE(m_messages, message.isEmpty() ? QStringList() : QStringList{message});
        QCOMPARE(fs::exists(m_file), fileLeft);
        // A known total of 0 shows no percentage.
        if (result == 1)
            QCOMPARE(dialog.windowTitle(), QStringLiteral("File Download"));
    }

    void statusLineFollowsTheConnectionAndTheRedirect() {
        CHttpDownloadDlg dialog;
        Prepare(dialog, m_server->Url("/redirect/3000"));
        QSignalSpy spy(&dialog, &CHttpDownloadDlg::StatusTextPosted);
        QCOMPARE(dialog.DoModal(), 1);
        QStringList texts;
        for (const QList<QVariant>& call : spy) texts << call.at(0).toString();
        const QStringList expected{
            "Resolving name: 127.0.0.1",
            "Resolved name to 127.0.0.1",
            "Connecting to 127.0.0.1",
            "Connected to 127.0.0.1",
            "Redirecting to " + QString::fromStdString(m_server->Url("/file/3000")),
            "Getting file information",
            "Retrieving the file"};
        QCOMPARE(texts, expected);
        QCOMPARE(ReadFile(m_file), PatternBytes(0, 3000));
    }

    void urlWithoutSchemeGetsHttp() {
        CHttpDownloadDlg dialog;
        Prepare(dialog, m_server->HostPort() + "/media/700/file.flv");
        QCOMPARE(dialog.DoModal(), 1);
        QCOMPARE(LabelText(dialog, 1503), QStringLiteral("file.flv from 127.0.0.1"));
        QCOMPARE(QString::fromStdString(dialog.Url()),
                 QString::fromStdString(m_server->Url("/media/700/file.flv")));
        QCOMPARE(ReadFile(m_file), PatternBytes(0, 700));
    }

    void unparsableUrlEndsWithCancel() {
        CHttpDownloadDlg dialog;
        Prepare(dialog, "http://exa mple.com/x");  // unparsable with and without "http://"
        QCOMPARE(dialog.DoModal(), 2);
        QVERIFY(!dialog.isVisible());
        QVERIFY(!fs::exists(m_file));
    }

    void overwriteQuestion() {
        for (const int answer : {IDNO, IDYES}) {
            std::ofstream(m_file, std::ios::binary) << "kept";
            m_messages.clear();
            m_answer = answer;
            CHttpDownloadDlg dialog;
            Prepare(dialog, m_server->Url("/file/100"));
            dialog.SetConfirmOverwrite(true);
            QCOMPARE(dialog.DoModal(), answer == IDYES ? 1 : 2);
            QCOMPARE(m_messages,
                     QStringList{"Pelnix: The file '" + QString::fromStdString(m_file.string()) +
                                 "' already exists.\nDo you want to replace it?"});
            QCOMPARE(ReadFile(m_file),
                     answer == IDYES ? PatternBytes(0, 100) : std::string("kept"));
        }
    }

    void passwordPrompt() {
        struct Case {
            bool answer;
            int result;
        };
        for (const Case c : {Case{true, 1}, Case{false, 2}}) {
            fs::remove(m_file);
            QStringList asked;
            CHttpDownloadDlg::SetCredentialsPrompt(
                [&](QWidget* owner, const CHttpDownloadDlg::CredentialsRequest& request,
                    QString& user, QString& password) {
                    asked << request.server + (request.proxy ? " proxy" : "");
                    // The prompt runs on the GUI thread while the dialog is up.
                    if (!owner || owner->thread() != QThread::currentThread())
                        return false;
                    user = QStringLiteral("user");
                    password = QStringLiteral("secret");
                    return c.answer;
                });
            CHttpDownloadDlg dialog;
            Prepare(dialog, m_server->Url("/auth/900"));
            QCOMPARE(dialog.DoModal(), c.result);
            QCOMPARE(asked, QStringList{"127.0.0.1"});
            QVERIFY(m_messages.isEmpty());
            if (c.answer) {
                QCOMPARE(ReadFile(m_file), PatternBytes(0, 900));
            } else {
                QVERIFY(!fs::exists(m_file));
            }
        }
        CHttpDownloadDlg::SetCredentialsPrompt({});
    }

    void cancelDuringASlowBody_data() {
        QTest::addColumn<bool>("escape");
        QTest::newRow("Cancel button") << false;
        QTest::newRow("Escape key") << true;
    }
    void cancelDuringASlowBody() {
        QFETCH(bool, escape);
        CHttpDownloadDlg dialog;
        Prepare(dialog, m_server->Url("/slow/100000"));  // ten seconds at the server's pace
        bool cancelled = false;
        QObject::connect(&dialog, &CHttpDownloadDlg::PercentagePosted, &dialog, [&] {
            if (cancelled)
                return;
            cancelled = true;
            if (escape) {
                QTest::keyClick(&dialog, Qt::Key_Escape);
            } else {
                QTest::mouseClick(dialog.ControlAs<QPushButton>(2), Qt::LeftButton);
            }
        });
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(dialog.DoModal(), 2);
        QVERIFY(cancelled);
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(LabelText(dialog, 1502), QStringLiteral("Aborting transfer"));
        QVERIFY(!dialog.ControlAs<QPushButton>(2)->isEnabled());
        QVERIFY(dialog.IsAborted());
        QVERIFY(!fs::exists(m_file));
        QVERIFY(m_messages.isEmpty());
    }

    // A worker whose transfer throws (an allocation failure, say) ends its dialog as failed.
    void workerThatThrowsEndsTheDialogAsFailed() {
        class Throwing : public CHttpDownloadDlg {
            void RunTransfer() override { throw std::bad_alloc(); }
        } dialog;
        Prepare(dialog, m_server->Url("/file/100"));
        QCOMPARE(dialog.DoModal(), 3);
        QVERIFY(m_messages.isEmpty());
    }

    // The replay dialog looks like the HTTP one and ends with 3 when the transfer failed.
    void replayDialogResults_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("expected");  // the expected size given to the dialog
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("title");
        const QByteArray body(1500, 'b');
        const QByteArray whole = "HTTP/1.1 200 OK\r\nContent-Length: 1500\r\n\r\n" + body;
        QTest::newRow("expected size") << whole << 1500 << 1 << "100% of clip.flv Completed";
        QTest::newRow("size not known") << whole << 0 << 1 << "File Download";
        QTest::newRow("more than expected") << whole << 500 << 1 << "100% of clip.flv Completed";
        QTest::newRow("404") << QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n")
                             << 1500 << 3 << "File Download";
    }
    void replayDialogResults() {
        QFETCH(QByteArray, answer);
        QFETCH(int, expected);
        QFETCH(int, result);
        QFETCH(QString, title);
        ScriptedSocketServer server({{answer.toStdString()}});
        CYouTubeDownloadDlg dialog;
        dialog.SetUrl(server.HostPort() + "/v/clip.flv");
        dialog.SetServer("127.0.0.1", server.Port());
        dialog.SetRequestHeaders("GET /v/clip.flv HTTP/1.1\r\n\r\n");
        dialog.SetDestinationPath(m_file.string());
        dialog.SetExpectedSize(static_cast<std::uint64_t>(expected));
        dialog.SetConfirmOverwrite(false);
        QCOMPARE(dialog.DoModal(), result);
        QCOMPARE(dialog.windowTitle(), title);
        QCOMPARE(dialog.ControlAs<QProgressBar>(1504)->value(), result == 1 && expected ? 100 : 0);
        QCOMPARE(LabelText(dialog, 1502), QString());  // no connection steps are shown
        QCOMPARE(LabelText(dialog, 1503), QStringLiteral("clip.flv from 127.0.0.1"));
        QCOMPARE(fs::exists(m_file), result == 1);
        QVERIFY(m_messages.isEmpty());
    }

    void replayCancelWhileTheServerIsSilent() {
        ScriptedSocketServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\nabc"}},
                                    ScriptedSocketServer::End::Hold);
        CYouTubeDownloadDlg dialog;
        dialog.SetUrl("http://" + server.HostPort() + "/v/clip.flv");
        dialog.SetServer("127.0.0.1", server.Port());
        dialog.SetRequestHeaders("GET /v/clip.flv HTTP/1.1\r\n\r\n");
        dialog.SetDestinationPath(m_file.string());
        dialog.SetExpectedSize(9000);
        dialog.SetConfirmOverwrite(false);
        QTimer::singleShot(300, &dialog, [&] { dialog.ControlAs<QPushButton>(2)->click(); });
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(dialog.DoModal(), 2);
        QVERIFY(timer.elapsed() < 5000);
        QCOMPARE(LabelText(dialog, 1502), QStringLiteral("Aborting transfer"));
        QVERIFY(!fs::exists(m_file));  // what came before the abort goes with it
    }

    // The replay dialog asks before replacing a file whenever confirm overwrite is set, and
    // ends with 2 for a URL that does not parse even with "http://" in front.
    void replayOverwriteQuestionAndUnparsableUrl() {
        ScriptedSocketServer server({{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew"}});
        for (const int answer : {IDNO, IDYES}) {
            std::ofstream(m_file, std::ios::binary) << "kept";
            m_messages.clear();
            m_answer = answer;
            CYouTubeDownloadDlg dialog;
            dialog.SetUrl("http://media.test/v/clip.flv");
            dialog.SetServer("127.0.0.1", server.Port());
            dialog.SetRequestHeaders("GET /v/clip.flv HTTP/1.1\r\n\r\n");
            dialog.SetDestinationPath(m_file.string());
            dialog.SetExpectedSize(3);
            dialog.SetConfirmOverwrite(true);
            QCOMPARE(dialog.DoModal(), answer == IDYES ? 1 : 2);
            QCOMPARE(m_messages,
                     QStringList{"Pelnix: The file '" + QString::fromStdString(m_file.string()) +
                                 "' already exists.\nDo you want to replace it?"});
            QCOMPARE(ReadFile(m_file), answer == IDYES ? std::string("new") : std::string("kept"));
        }
        m_messages.clear();
        CYouTubeDownloadDlg dialog;
        dialog.SetUrl("http://exa mple.com/x");
        dialog.SetServer("127.0.0.1", server.Port());
        dialog.SetRequestHeaders("GET /x HTTP/1.1\r\n\r\n");
        dialog.SetDestinationPath(m_file.string());
        dialog.SetConfirmOverwrite(false);
        QCOMPARE(dialog.DoModal(), 2);
        QVERIFY(!dialog.isVisible());
        QVERIFY(m_messages.isEmpty());
        QCOMPARE(ReadFile(m_file), std::string("new"));
    }
};

QTEST_MAIN(HttpDownloadDialogTest)
#include "HttpDownloadDialogTest.moc"
