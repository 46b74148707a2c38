#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

#include "app/SnifferApp.h"
#include "base/Globals.h"
#include "base/Settings.h"
#include "base/ShowMessage.h"

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

// The seven start-up messages, word for word, with the settings file's path for %1.
QString Expected(int number, const QString& settingsFile) {
    static const char* const kMessages[] = {
        "",
        "Can't initialize the ffmpeg path from:\n\n   %1\n\nSorry, can't continue.",
        "Can't find the ffmpeg executable, specified in:\n\n   %1\n\nSorry, can't continue.",
        "Can't initialize the ffplay path from:\n\n   %1\n\nSorry, can't continue.",
        "Can't find the ffplay executable, specified in:\n\n   %1\n\nSorry, can't continue.",
        "Can't initialize the ffmpeg audio options from:\n\n   %1\n\nSorry, can't continue.",
        "Can't initialize the TEMP directory from:\n\n   %1\n\nSorry, can't continue.",
        "Can't find the TEMP directory, specified in:\n\n   %1\n\nSorry, can't continue.",
    };
    return QString::fromLatin1(kMessages[number]).arg(settingsFile);
}

// The message for a work folder that is not private to the user.
QString NotPrivate(const QString& folder, const QString& settingsFile) {
    return QStringLiteral(
               "The TEMP directory\n\n   %1\n\nspecified in:\n\n   %2\n\nbelongs to another "
               "user or can be written by others, who could then change the scripts that Pelnix "
               "runs. Choose a folder of your own that only you can write, such as "
               "~/.cache/Pelnix.\n\nSorry, can't continue.")
        .arg(folder, settingsFile);
}

// Runs start-up with the message boxes recorded; gives whether the main window would have run,
// and in `exitCode` the program's exit status.
bool RunStartup(QList<Shown>& shown, int& exitCode) {
    g_ffmpegExe = g_ffplayExe = g_ffmpegAudioOptions = g_tempDir = "x";
    SetMessageBoxHandler(
        [&](QWidget* owner, const QString& caption, unsigned flags, const QString& text) {
            if (owner)
                qWarning("start-up message with an owner window");
            shown.append({caption, flags, text});
            return IDOK;
        });
    RecordingApp app;
    const bool continued = app.InitInstance();
    exitCode = app.ExitInstance();
    SetMessageBoxHandler({});
    if (continued)
        qWarning("start-up asked for a message loop");
    return app.windowCreated && !continued;
}

}  // namespace

class StartupTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_root;
    QString m_ffmpeg, m_ffplay, m_empty, m_temp, m_config;

    QByteArray GoodIni() const {
        return "[Pelnix]\nFFMpegExe=" + m_ffmpeg.toUtf8() + "\nFFPlayExe=" + m_ffplay.toUtf8() +
               "\nFFMpegAud=-vn -f mp3\nTempDir=" + m_temp.toUtf8() + "\n";
    }

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
        ::chmod(m_temp.toLocal8Bit().constData(), 0700);
        // Work folders that others may write, or that belong to another user.
        for (const auto& [name, mode] :
             {std::pair{"/open-work", 0777}, {"/group-work", 0770}, {"/sticky-work", 01777}}) {
            QDir().mkpath(r + name);
            ::chmod((r + name).toLocal8Bit().constData(), mode);
        }
        QDir().mkpath(r + "/foreign-work");
        if (::geteuid() == 0)
            QVERIFY(::chown((r + "/foreign-work").toLocal8Bit().constData(), 65534, 65534) == 0);
        WriteFile(m_ffmpeg, "#!/bin/sh\n");
        WriteFile(m_ffplay, "#!/bin/sh\n");
        WriteFile(m_empty, "");
        // Relative paths that start with x and X, in the working folder.
        QDir::setCurrent(r);
        WriteFile(r + "/xffmpeg", "#!/bin/sh\n");
        WriteFile(r + "/Xffmpeg", "#!/bin/sh\n");
        qputenv("XDG_CONFIG_HOME", m_config.toLocal8Bit());
        QDir().mkpath(r + "/home");
        ::chmod((r + "/home").toLocal8Bit().constData(), 0700);
        qputenv("HOME", (r + "/home").toLocal8Bit());
        // System-wide settings of this machine must not stand in for a missing per-user file.
        qputenv("XDG_CONFIG_DIRS", (r + "/no-system-settings").toLocal8Bit());
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
            if (!a.isNull())
                text += "FFMpegExe=" + a + "\n";
            if (!b.isNull())
                text += "FFPlayExe=" + b + "\n";
            if (!c.isNull())
                text += "FFMpegAud=" + c + "\n";
            if (!d.isNull())
                text += "TempDir=" + d + "\n";
            return text;
        };
        const QByteArray aud = "-vn -f mp3";
        const QByteArray unset;  // null: key absent
        QTest::newRow("no settings file") << QByteArray() << 1 << QString("x");
        QTest::newRow("empty file") << QByteArray("\n") << 1 << QString("x");
        QTest::newRow("all good") << ini(ffmpeg, ffplay, aud, temp) << 0 << m_temp;
        QTest::newRow("FFMpegExe unset") << ini(unset, ffplay, aud, temp) << 1 << QString("x");
        QTest::newRow("FFMpegExe starts with x")
            << ini("xffmpeg", ffplay, aud, temp) << 1 << QString("x");
        QTest::newRow("FFMpegExe uppercase X is a path")
            << ini("Xffmpeg", ffplay, aud, temp) << 0 << m_temp;
        QTest::newRow("FFMpegExe empty file")
            << ini(m_empty.toUtf8(), ffplay, aud, temp) << 2 << QString("x");
        QTest::newRow("FFMpegExe directory") << ini(temp, ffplay, aud, temp) << 2 << QString("x");
        QTest::newRow("FFMpegExe missing")
            << ini(ffmpeg + ".gone", ffplay, aud, temp) << 2 << QString("x");
        QTest::newRow("FFPlayExe unset") << ini(ffmpeg, unset, aud, temp) << 3 << QString("x");
        QTest::newRow("FFPlayExe directory") << ini(ffmpeg, temp, aud, temp) << 4 << QString("x");
        QTest::newRow("FFPlayExe empty file")
            << ini(ffmpeg, m_empty.toUtf8(), aud, temp) << 4 << QString("x");
        QTest::newRow("FFMpegAud unset") << ini(ffmpeg, ffplay, unset, temp) << 5 << QString("x");
        QTest::newRow("FFMpegAud empty accepted") << ini(ffmpeg, ffplay, "", temp) << 0 << m_temp;
        // A work folder in the home folder is the user's own: made, private, when missing.
        QTest::newRow("TempDir in the home folder") << ini(ffmpeg, ffplay, aud, "~/.cache/Pelnix")
                                                    << 0 << m_root.path() + "/home/.cache/Pelnix";
        QTest::newRow("TempDir is the home folder")
            << ini(ffmpeg, ffplay, aud, "~") << 0 << m_root.path() + "/home";
        QTest::newRow("TempDir ~user is not expanded")
            << ini(ffmpeg, ffplay, aud, "~root/x") << 7 << QString("x");
        QTest::newRow("TempDir unset") << ini(ffmpeg, ffplay, aud, unset) << 6 << QString("x");
        QTest::newRow("TempDir names a file")
            << ini(ffmpeg, ffplay, aud, ffmpeg) << 7 << QString("x");
        // Others could change the scripts written there, which the program then runs.
        for (const char* name : {"/open-work", "/group-work", "/sticky-work"}) {
            QTest::newRow(name) << ini(ffmpeg, ffplay, aud, (m_root.path() + name).toUtf8()) << 8
                                << QString("x");
        }
        if (::geteuid() == 0) {
            QTest::newRow("/foreign-work")
                << ini(ffmpeg, ffplay, aud, (m_root.path() + "/foreign-work").toUtf8()) << 8
                << QString("x");
        }
        QTest::newRow("keys in any case, quoted values")
            << QByteArray("[PELNIX]\nffmpegexe = \"" + ffmpeg + "\"\nFFPLAYEXE='" + ffplay +
                          "'\nffmpegaud=\"\"\n tempdir = " + temp + "\n")
            << 0 << m_temp;
        // 300 characters: the value is cut to 259 before the check, so the long folder name
        // (which exists) is not found.
        const QByteArray longTemp = temp + "/" + QByteArray(300 - temp.size() - 1, 'd');
        QTest::newRow("value longer than 259 characters")
            << ini(ffmpeg, ffplay, aud, longTemp) << 7 << QString("x");
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
        const QByteArray longTempDir =
            QTest::currentDataTag() == QByteArray("value longer than 259 characters")
                ? ini.mid(ini.indexOf("TempDir=") + 8).trimmed()
                : QByteArray();
        if (!longTempDir.isEmpty())
            QDir().mkpath(QString::fromUtf8(longTempDir));

        QList<Shown> shown;
        int exitCode = -1;
        const bool windowCreated = RunStartup(shown, exitCode);
        // A start-up that refuses to go on fails.
        QCOMPARE(exitCode, message == 0 ? 0 : 1);

        QCOMPARE(QString::fromStdString(g_settingsFile), settingsFile);
        // The per-user folder exists whether or not start-up went on.
        QVERIFY(QFileInfo(m_config + "/Pelnix").isDir());
        if (message == 0) {
            QVERIFY(shown.isEmpty());
            QVERIFY(windowCreated);
        } else {
            QCOMPARE(shown.size(), 1);
            QCOMPARE(shown[0].caption, QStringLiteral("Pelnix"));
            QCOMPARE(shown[0].flags, 16u);
            const QString folder = m_root.path() + QString::fromLatin1(QTest::currentDataTag());
            QCOMPARE(shown[0].text, message == 8 ? NotPrivate(folder, settingsFile)
                                                 : Expected(message, settingsFile));
            QVERIFY(!windowCreated);
        }
        QCOMPARE(QString::fromStdString(g_tempDir), tempDir);
        if (tempDir.endsWith("/.cache/Pelnix")) {
            QCOMPARE(QFileInfo(tempDir).permissions() & 0x0077, QFileDevice::Permissions());
            QDir(tempDir).removeRecursively();
        }
        if (!longTempDir.isEmpty())
            QDir(m_temp).removeRecursively(), QDir().mkpath(m_temp);
        // Start-up never writes the settings file.
        if (ini.isEmpty())
            QVERIFY(!QFile::exists(settingsFile));
    }

    // Which file start-up reads: the per-user one while it exists, else the first system-wide
    // one in $XDG_CONFIG_DIRS; the checks and messages concern the file read.
    void settingsLookup_data() {
        QTest::addColumn<QByteArray>("user");         // per-user file; null: none
        QTest::addColumn<QString>("configDirs");      // $XDG_CONFIG_DIRS, "@" for the test root
        QTest::addColumn<QStringList>("goodSystem");  // system folders with a complete file
        QTest::addColumn<QStringList>("badSystem");   // system folders with FFPlayExe unset
        QTest::addColumn<QString>("read");            // file read, "@" for the test root
        QTest::addColumn<int>("message");

        const QByteArray good = GoodIni(), noFFmpeg = "[Pelnix]\nTempDir=/tmp\n", none;
        const QString user = m_config + "/Pelnix/Pelnix.ini";
        const QString sysA = "@/sysA/Pelnix/Pelnix.ini", sysB = "@/sysB/Pelnix/Pelnix.ini";
        QTest::newRow("per-user only")
            << good << "@/sysA" << QStringList() << QStringList() << user << 0;
        QTest::newRow("system only")
            << none << "@/sysA" << QStringList{"sysA"} << QStringList() << sysA << 0;
        QTest::newRow("system only, checked")
            << none << "@/sysB" << QStringList() << QStringList{"sysB"} << sysB << 3;
        QTest::newRow("both: the per-user file wins, even when incomplete")
            << noFFmpeg << "@/sysA" << QStringList{"sysA"} << QStringList() << user << 1;
        QTest::newRow("neither: message 1 names the per-user file")
            << none << "@/sysA" << QStringList() << QStringList() << user << 1;
        QTest::newRow("several folders: the first that has one")
            << none << "@/missing:@/sysB/:@/sysA" << QStringList{"sysA"} << QStringList{"sysB"}
            << sysB << 3;
        // The working folder is the test root, so "sysB" would find a file if it were used.
        QTest::newRow("relative entries are skipped")
            << none << "sysB::@/sysA" << QStringList{"sysA"} << QStringList{"sysB"} << sysA << 0;
        QTest::newRow("only relative entries: no system folder")
            << none << "sysA" << QStringList{"sysA"} << QStringList() << user << 1;
    }

    void settingsLookup() {
        QFETCH(QByteArray, user);
        QFETCH(QString, configDirs);
        QFETCH(QStringList, goodSystem);
        QFETCH(QStringList, badSystem);
        QFETCH(QString, read);
        QFETCH(int, message);

        const QString r = m_root.path();
        const QString userFile = m_config + "/Pelnix/Pelnix.ini";
        QDir(m_config).removeRecursively();
        for (const char* folder : {"sysA", "sysB"}) QDir(r + "/" + folder).removeRecursively();
        if (!user.isNull()) {
            QDir().mkpath(m_config + "/Pelnix");
            WriteFile(userFile, user);
        }
        const auto writeSystem = [&](const QStringList& folders, const QByteArray& text) {
            for (const QString& folder : folders) {
                QDir().mkpath(r + "/" + folder + "/Pelnix");
                WriteFile(r + "/" + folder + "/Pelnix/Pelnix.ini", text);
            }
        };
        writeSystem(goodSystem, GoodIni());
        QByteArray noPlayer = GoodIni();
        noPlayer.replace("FFPlayExe=", "FFPlayExeUnused=");
        writeSystem(badSystem, noPlayer);

        const QByteArray oldDirs = qgetenv("XDG_CONFIG_DIRS");
        qputenv("XDG_CONFIG_DIRS", QString(configDirs).replace("@", r).toLocal8Bit());
        QList<Shown> shown;
        int exitCode = -1;
        const bool windowCreated = RunStartup(shown, exitCode);
        // A start-up that refuses to go on fails.
        QCOMPARE(exitCode, message == 0 ? 0 : 1);
        qputenv("XDG_CONFIG_DIRS", oldDirs);

        const QString expectedFile = QString(read).replace("@", r);
        QCOMPARE(QString::fromStdString(g_settingsFile), expectedFile);
        QCOMPARE(windowCreated, message == 0);
        QCOMPARE(shown.size(), message == 0 ? 0 : 1);
        if (message != 0)
            QCOMPARE(shown[0].text, Expected(message, expectedFile));
        if (message == 0)
            QCOMPARE(QString::fromStdString(g_tempDir), m_temp);
        // Reading the system-wide file never creates the per-user one.
        QCOMPARE(QFile::exists(userFile), !user.isNull());
    }

    void messageTextIsPlainAndOnePass() {
        // A path holding printf directives or markup reaches the real box unchanged, as plain
        // text with the stop icon and one OK button.
        const std::string path = "/home/u/%s%n<b>x</b>/Pelnix.ini";
        QString text, title;
        Qt::TextFormat format = Qt::AutoText;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QList<QAbstractButton*> buttons;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            text = box->text();
            title = box->windowTitle();
            format = box->textFormat();
            icon = box->icon();
            buttons = box->buttons();
            box->button(QMessageBox::Ok)->click();
        });
        QCOMPARE(ShowMessage(nullptr, "Pelnix", 16, "%s", StartupFailureText(4, path).c_str()),
                 IDOK);
        QCOMPARE(format, Qt::PlainText);
        QCOMPARE(text, Expected(4, QString::fromStdString(path)));
        QCOMPARE(title, QStringLiteral("Pelnix"));
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(buttons.size(), 1);
    }
};

QTEST_MAIN(StartupTest)
#include "StartupTest.moc"
