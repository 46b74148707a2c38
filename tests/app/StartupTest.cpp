#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/ShowMessage.h"
#include "app/SnifferApp.h"

namespace {

// Start-up with the main window's run replaced by a note that it would have run.
class RecordingApp : public SnifferApp {
public:
    bool windowCreated = false;

protected:
    void RunMainWindow() override { windowCreated = true; }
};

struct Shown {
    QString caption;
    unsigned flags = 0;
    QString text;
};

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QString Expected(int number, const QString& settingsFile) {
    return QString::fromStdString(StartupFailureText(number, settingsFile.toStdString()));
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_root;
    QString m_ffmpeg, m_ffplay, m_empty, m_temp, m_config;

private slots:
    void initTestCase() {
        QVERIFY(m_root.isValid());
        const QString r = m_root.path();
        m_ffmpeg = r + "/bin/ffmpeg";
        m_ffplay = r + "/bin/ffplay";
        m_empty = r + "/bin/empty";
        m_temp = r + "/work";
        m_config = r + "/config";
        QDir().mkpath(r + "/bin");
        QDir().mkpath(m_temp);
        WriteFile(m_ffmpeg, "#!/bin/sh\n");
        WriteFile(m_ffplay, "#!/bin/sh\n");
        WriteFile(m_empty, "");
        // Relative paths that start with x and X, in the working folder.
        QDir::setCurrent(r);
        WriteFile(r + "/xffmpeg", "#!/bin/sh\n");
        WriteFile(r + "/Xffmpeg", "#!/bin/sh\n");
        qputenv("XDG_CONFIG_HOME", m_config.toLocal8Bit());
    }

    void startup_data() {
        QTest::addColumn<QByteArray>("ini");  // empty: no file at all
        QTest::addColumn<int>("message");     // 0: no message, the window runs
        QTest::addColumn<QString>("tempDir");

        const QByteArray ffmpeg = m_ffmpeg.toUtf8(), ffplay = m_ffplay.toUtf8(),
                         temp = m_temp.toUtf8();
        const auto ini = [](const QByteArray& a, const QByteArray& b, const QByteArray& c,
                            const QByteArray& d) {
            QByteArray text = "[Pelnix]\n";
            if (!a.isNull()) text += "FFMpegExe=" + a + "\n";
            if (!b.isNull()) text += "FFPlayExe=" + b + "\n";
            if (!c.isNull()) text += "FFMpegAud=" + c + "\n";
            if (!d.isNull()) text += "TempDir=" + d + "\n";
            return text;
        };
        const QByteArray aud = "-vn -f mp3";
        const QByteArray unset;  // null: key absent
        QTest::newRow("no settings file") << QByteArray() << 1 << QString("x");
        QTest::newRow("empty file") << QByteArray("\n") << 1 << QString("x");
        QTest::newRow("all good") << ini(ffmpeg, ffplay, aud, temp) << 0 << m_temp;
        QTest::newRow("FFMpegExe unset") << ini(unset, ffplay, aud, temp) << 1 << QString("x");
        QTest::newRow("FFMpegExe starts with x") << ini("xffmpeg", ffplay, aud, temp) << 1
                                                 << QString("x");
        QTest::newRow("FFMpegExe uppercase X is a path") << ini("Xffmpeg", ffplay, aud, temp) << 0
                                                         << m_temp;
        QTest::newRow("FFMpegExe empty file") << ini(m_empty.toUtf8(), ffplay, aud, temp) << 2
                                              << QString("x");
        QTest::newRow("FFMpegExe directory") << ini(temp, ffplay, aud, temp) << 2 << QString("x");
        QTest::newRow("FFMpegExe missing") << ini(ffmpeg + ".gone", ffplay, aud, temp) << 2
                                           << QString("x");
        QTest::newRow("FFPlayExe unset") << ini(ffmpeg, unset, aud, temp) << 3 << QString("x");
        QTest::newRow("FFPlayExe directory") << ini(ffmpeg, temp, aud, temp) << 4 << QString("x");
        QTest::newRow("FFPlayExe empty file") << ini(ffmpeg, m_empty.toUtf8(), aud, temp) << 4
                                              << QString("x");
        QTest::newRow("FFMpegAud unset") << ini(ffmpeg, ffplay, unset, temp) << 5 << QString("x");
        QTest::newRow("FFMpegAud empty accepted") << ini(ffmpeg, ffplay, "", temp) << 0 << m_temp;
        QTest::newRow("TempDir unset") << ini(ffmpeg, ffplay, aud, unset) << 6 << QString("x");
        QTest::newRow("TempDir names a file") << ini(ffmpeg, ffplay, aud, ffmpeg) << 7
                                              << QString("x");
        QTest::newRow("keys in any case, quoted values")
            << QByteArray("[PELNIX]\nffmpegexe = \"" + ffmpeg + "\"\nFFPLAYEXE='" + ffplay +
                          "'\nffmpegaud=\"\"\n tempdir = " + temp + "\n")
            << 0 << m_temp;
        // 300 characters: the value is cut to 259 before the check, so the long folder name
        // (which exists) is not found.
        const QByteArray longTemp = temp + "/" + QByteArray(300 - temp.size() - 1, 'd');
        QTest::newRow("value longer than 259 characters") << ini(ffmpeg, ffplay, aud, longTemp)
                                                          << 7 << QString("x");
    }

    void startup() {
        QFETCH(QByteArray, ini);
        QFETCH(int, message);
        QFETCH(QString, tempDir);

        QDir(m_config).removeRecursively();
        const QString settingsFile = m_config + "/Pelnix/Pelnix.ini";
        if (!ini.isEmpty()) {
            QDir().mkpath(m_config + "/Pelnix");
            WriteFile(settingsFile, ini);
        }
        const QByteArray longTempDir = QTest::currentDataTag() ==
                                               QByteArray("value longer than 259 characters")
                                           ? ini.mid(ini.indexOf("TempDir=") + 8).trimmed()
                                           : QByteArray();
        if (!longTempDir.isEmpty()) QDir().mkpath(QString::fromUtf8(longTempDir));

        g_ffmpegExe = g_ffplayExe = g_ffmpegAudioOptions = g_tempDir = "x";
        QList<Shown> shown;
        SetMessageBoxHandler([&](QWidget* owner, const QString& caption, unsigned flags,
                                 const QString& text) {
            if (owner) qWarning("start-up message with an owner window");
            shown.append({caption, flags, text});
            return IDOK;
        });
        RecordingApp app;
        QCOMPARE(app.InitInstance(), false);
        QCOMPARE(app.ExitInstance(), 0);
        SetMessageBoxHandler({});

        QCOMPARE(QString::fromStdString(g_settingsFile), settingsFile);
        // The per-user folder exists whether or not start-up went on.
        QVERIFY(QFileInfo(m_config + "/Pelnix").isDir());
        if (message == 0) {
            QVERIFY(shown.isEmpty());
            QVERIFY(app.windowCreated);
        } else {
            QCOMPARE(shown.size(), 1);
            QCOMPARE(shown[0].caption, QStringLiteral("Pelnix"));
            QCOMPARE(shown[0].flags, 16u);
            QCOMPARE(shown[0].text, Expected(message, settingsFile));
            QVERIFY(!app.windowCreated);
        }
        QCOMPARE(QString::fromStdString(g_tempDir), tempDir);
        if (!longTempDir.isEmpty()) QDir(m_temp).removeRecursively(), QDir().mkpath(m_temp);
        // Start-up never writes the settings file.
        if (ini.isEmpty()) QVERIFY(!QFile::exists(settingsFile));
    }

    void messageTextIsPlainAndOnePass() {
        // A path holding printf directives or markup reaches the box unchanged.
        QString seen;
        SetMessageBoxHandler([&](QWidget*, const QString&, unsigned, const QString& text) {
            seen = text;
            return IDOK;
        });
        const std::string path = "/home/u/%s%n<b>x</b>/Pelnix.ini";
        QCOMPARE(ShowMessage(nullptr, "Pelnix", 16, "%s", StartupFailureText(4, path).c_str()),
                 IDOK);
        SetMessageBoxHandler({});
        QVERIFY(seen.contains(QString::fromStdString(path)));
    }
};

QTEST_MAIN(StartupTest)
#include "StartupTest.moc"
