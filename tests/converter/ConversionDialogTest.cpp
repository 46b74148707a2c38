#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "base/Globals.h"
#include "base/Settings.h"
#include "base/ShowMessage.h"
#include "converter/CProcessKiller.h"
#include "converter/CWindowConsoleRunner.h"
#include "converter/ConversionJobs.h"
#include "converter/ConverterAuthorities.h"
#include "converter/ConverterOutput.h"
#include "converter/ConverterTestSupport.h"
#include "converter/PumpMessages.h"
#include "converter/TavrelImportProgressDlg.h"

namespace {

constexpr const char* kMp3Options = "-vn -codec:a libmp3lame -q:a 2 -f mp3";

// Collects what a runner delivers to its notify object.
class Receiver : public QObject {
    Q_OBJECT
public:
    QByteArray text;
    QString decoded;
    int chunks = 0;
    int done = 0;
    bool chunkAfterDone = false;
public slots:
    void OnRunnerOutput(const QByteArray& chunk) {
        if (done)
            chunkAfterDone = true;
        text += chunk;
        ++chunks;
    }
    void OnRunnerText(const QString& part) { decoded += part; }
    void OnRunnerDone() { ++done; }
};

struct Shown {
    int count = 0;
    unsigned flags = 99;
    QString caption, text;
};

QString Text(const TavrelImportProgressDlg& dlg, int id) {
    const auto* label = dlg.ControlAs<QLabel>(id);
    return label ? label->text() : QString("<none>");
}

int BarValue(const TavrelImportProgressDlg& dlg) {
    const auto* bar = dlg.ControlAs<QProgressBar>(TavrelImportProgressDlg::kProgressId);
    return bar ? bar->value() : -1;
}

// Processes still alive whose command line mentions `needle`.
int LiveProcessesMentioning(const std::string& needle) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.empty() || name[0] < '0' || name[0] > '9')
            continue;
        std::string cmdline = convtest::ReadFile(entry.path().string() + "/cmdline");
        if (cmdline.find(needle) == std::string::npos)
            continue;
        if (convtest::ProcessAlive(std::stoi(name)))
            ++count;
    }
    return count;
}

}  // namespace

class ConversionDialogTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    std::string m_root, m_flv;
    Shown m_shown;

    std::unique_ptr<TavrelImportProgressDlg> MakeDialog(const std::string& script,
                                                        const std::string& input,
                                                        const std::string& output) {
        return std::make_unique<TavrelImportProgressDlg>(
            "Extracting Audio From Video",
            "Importing:", QString("Saving to \"%1\"").arg(QString::fromStdString(output)), script,
            input, output, g_ffmpegAudioOptions);
    }

    // The message boxes are recorded in m_shown instead of shown.
    void RecordMessages() {
        SetMessageBoxHandler(
            [this](QWidget*, const QString& caption, unsigned flags, const QString& text) {
                ++m_shown.count;
                m_shown.caption = caption;
                m_shown.flags = flags;
                m_shown.text = text;
                return IDOK;
            });
    }

private slots:
    void initTestCase() {
        if (convtest::FindProgram("ffmpeg").empty() || convtest::FindProgram("ffprobe").empty()) {
            QSKIP("needs ffmpeg and ffprobe (Debian package ffmpeg)");
        }
        QVERIFY(m_dir.isValid());
        m_root = m_dir.path().toStdString();
        g_tempDir = m_root;
        g_ffmpegExe = convtest::FindProgram("ffmpeg");
        g_ffmpegAudioOptions = kMp3Options;
        g_settingsFile = m_root + "/Pelnix.ini";
        m_flv = m_root + "/Sniffer_1_1000.flv";
        QVERIFY(convtest::MakeFlashVideo(m_flv, 3.0));
        RecordMessages();
    }

    void init() {
        g_ffmpegAudioOptions = kMp3Options;
        g_cancelConversion = false;
        m_shown = Shown{};
    }

    void convertsFlashVideoToMp3() {
        const std::string script = m_root + "/Sniffer_1_1000.bat";
        const std::string output = m_root + "/song.mp3";
        convtest::WriteFile(output, "left from an earlier run");
        auto dlg = MakeDialog(script, m_flv, output);
        QCOMPARE(dlg->exec(), 1);

        const QString probe = QString::fromStdString(convtest::ProbeFormatAndDuration(output));
        QVERIFY2(probe.startsWith("mp3 "), qPrintable(probe));
        QVERIFY2(qAbs(probe.section(' ', 1).toDouble() - 3.0) < 0.2, qPrintable(probe));
        QVERIFY(qAbs(dlg->DurationSeconds() - 3.0) < 0.05);

        // The scripts, written out: every path in single quotes, the options as given, two
        // line ends at the end of the conversion script and none after the duration query.
        // The scripts exec the converter, so that the run's exit status is the converter's. The
        // converter writes a temporary file beside the chosen one, which then takes its place.
        // Both runs read the input through the file protocol alone and the reader its first
        // bytes show.
        const std::string written = convtest::ReadFile(script);
        const std::string input = "'-protocol_whitelist' 'file' '-f' 'flv' -i '" + m_flv + "'";
        const std::string head = "exec '" + g_ffmpegExe + "' -y " + input +
                                 " -vn -codec:a libmp3lame -q:a 2 -f mp3 '" + m_root + "/.pelnix-";
        QVERIFY2(written.rfind(head, 0) == 0, written.c_str());
        QVERIFY2(
            written.size() > head.size() + 6 && written.substr(head.size() + 6) == "-song.mp3'\n\n",
            written.c_str());
        QCOMPARE(convtest::ReadFile(m_root + "/QXCmdTmp.bat"),
                 "exec '" + g_ffmpegExe + "' " + input);

        QCOMPARE(dlg->windowTitle(), QString("Extracting Audio From Video"));
        QCOMPARE(Text(*dlg, TavrelImportProgressDlg::kLabelId), QString("Importing:"));
        QVERIFY(Text(*dlg, TavrelImportProgressDlg::kDetailId).startsWith("Saving to \""));
        QVERIFY(BarValue(*dlg) > 0);
        QVERIFY2(QRegularExpression("^\\d+\\.\\d of 3\\.0 Seconds$")
                     .match(Text(*dlg, TavrelImportProgressDlg::kProgressTextId))
                     .hasMatch(),
                 qPrintable(Text(*dlg, TavrelImportProgressDlg::kProgressTextId)));
        // The whole output was in before the dialog ended.
        QVERIFY(g_runnerOutput.Copy().find("muxing overhead") != std::string::npos);
    }

    void corruptInputReportsTheConvertersError() {
        const std::string input = m_root + "/Sniffer_2_2000.flv";
        std::string junk;
        for (int i = 0; i < 2000; ++i) junk += "this is not a flash video ";
        convtest::WriteFile(input, junk);
        const std::string output = m_root + "/broken.mp3";
        convtest::WriteFile(output, "left from an earlier run");

        auto dlg = MakeDialog(m_root + "/Sniffer_2_2000.bat", input, output);
        QCOMPARE(dlg->exec(), TavrelImportProgressDlg::kFailed);
        QCOMPARE(dlg->DurationSeconds(), 1.0);  // no usable duration
        QVERIFY(dlg->FailureText().empty());    // the converter's own failure
        // The converter failed: what was at the chosen path stays, and nothing half-made.
        QCOMPARE(convtest::ReadFile(output), std::string("left from an earlier run"));

        ReportConversionFailure(nullptr);
        QCOMPARE(m_shown.count, 1);
        QCOMPARE(m_shown.caption, QString("Pelnix"));
        QCOMPARE(m_shown.flags, 0u);
        const QString prefix =
            "The conversion command failed.  The output from the converter is:\n\n";
        QVERIFY(m_shown.text.startsWith(prefix));
        QVERIFY2(m_shown.text.contains("Invalid data found when processing input"),
                 qPrintable(m_shown.text));
        QVERIFY(!m_shown.text.contains("ffmpeg version"));  // the banner is skipped
        const std::string kept = convtest::ReadFile(m_root + "/FFMpegErrorOut.txt");
        QCOMPARE(kept, g_runnerOutput.Copy() + "\n");
        QVERIFY(kept.find("ffmpeg version") != std::string::npos);
    }

    void cancelStopsOnlyThisProgramsConverter() {
        // A converter of another program, same name, running all along.
        QProcess decoy;
        decoy.start(QString::fromStdString(g_ffmpegExe),
                    {"-nostdin", "-hide_banner", "-re", "-f", "lavfi", "-i", "sine=duration=60",
                     "-f", "null", "-"});
        QVERIFY(decoy.waitForStarted());

        const std::string input = m_root + "/Sniffer_3_3000.flv";
        QVERIFY(convtest::RunCommand("ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                                     "sine=duration=30 -c:a libmp3lame -f flv '" +
                                     input + "'") == 0);
        // The converter runs at playback speed, so it is surely still at work when cancelled.
        g_ffmpegAudioOptions = "-vn -af arealtime -codec:a libmp3lame -f mp3";
        const std::string output = m_root + "/cancelled-output.mp3";
        auto dlg = MakeDialog(m_root + "/Sniffer_3_3000.bat", input, output);

        QElapsedTimer sinceCancel;
        QTimer watcher;
        watcher.setInterval(20);
        connect(&watcher, &QTimer::timeout, [&] {
            if (BarValue(*dlg) > 0 && !sinceCancel.isValid()) {
                QVERIFY(LiveProcessesMentioning("cancelled-output.mp3") >= 1);
                sinceCancel.start();
                dlg->ControlAs<QPushButton>(TavrelImportProgressDlg::kCancelId)->click();
            }
        });
        watcher.start();
        QCOMPARE(dlg->exec(), 0);
        watcher.stop();

        QVERIFY(sinceCancel.isValid());
        QVERIFY2(sinceCancel.elapsed() < 5000, qPrintable(QString::number(sinceCancel.elapsed())));
        QCOMPARE(LiveProcessesMentioning("cancelled-output.mp3"), 0);
        QVERIFY(!convtest::Exists(output));
        QVERIFY(!g_cancelConversion);
        QCOMPARE(decoy.state(), QProcess::Running);
        decoy.kill();
        decoy.waitForFinished();
    }

    // A stand-in converter: writes its pid to `pidFile`; the duration query (no -y) runs
    // `query`, the conversion prints a progress line and runs `convert` (shell commands).
    std::string FakeConverter(const std::string& pidFile, const std::string& query,
                              const std::string& convert) {
        const std::string path = m_root + "/fake-ffmpeg.sh";
        convtest::WriteFile(path, "#!/bin/sh\necho $$ > '" + pidFile +
                                      "'\n"
                                      "case \" $* \" in *\" -y \"*) ;; *) " +
                                      query +
                                      ";; esac\n"
                                      "echo 'size= 1kB time=00:00:01.00 bitrate=1'\n" +
                                      convert + "\n");
        QFile::setPermissions(QString::fromStdString(path),
                              QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        return path;
    }

    // The longest the GUI thread went without running its event loop while `run` ran.
    static qint64 LongestStall(const std::function<void()>& run) {
        QElapsedTimer sinceTick;
        qint64 longest = 0;
        QTimer tick;
        tick.setInterval(10);
        connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
        sinceTick.start();
        tick.start();
        run();
        tick.stop();
        return longest;
    }

    // Cancel waits up to five seconds for a converter that ignores the request to close, and
    // the window keeps answering all the while.
    void cancelKeepsTheWindowAnswering() {
        const std::string pidFile = m_root + "/converter.pid";
        QFile::remove(QString::fromStdString(pidFile));
        const std::string saved = g_ffmpegExe;
        g_ffmpegExe = FakeConverter(pidFile, "echo '  Duration: 00:00:10.00, start: 0'; exit 1",
                                    "trap '' TERM; exec sleep 60");
        auto dlg = MakeDialog(m_root + "/Sniffer_5_5000.bat", m_flv, m_root + "/stubborn.mp3");
        QElapsedTimer sinceCancel;
        QTimer::singleShot(800, dlg.get(), [&] {
            sinceCancel.start();
            dlg->ControlAs<QPushButton>(TavrelImportProgressDlg::kCancelId)->click();
        });
        int result = -1;
        const qint64 stall = LongestStall([&] { result = dlg->exec(); });
        g_ffmpegExe = saved;
        QCOMPARE(result, 0);
        QVERIFY2(stall < 1000, qPrintable(QString::number(stall)));
        // The converter had its five seconds, then it was terminated.
        QVERIFY2(sinceCancel.elapsed() >= 4900 && sinceCancel.elapsed() < 8000,
                 qPrintable(QString::number(sinceCancel.elapsed())));
        const pid_t converter = std::stoi(convtest::ReadFile(pidFile));
        QVERIFY(!convtest::ProcessAlive(converter));
        QVERIFY(!convtest::Exists(m_root + "/stubborn.mp3"));
    }

    // The duration query runs with the window shown, and Cancel ends it at once.
    void durationQueryCanBeCancelled() {
        const std::string pidFile = m_root + "/query.pid";
        QFile::remove(QString::fromStdString(pidFile));
        const std::string saved = g_ffmpegExe;
        g_ffmpegExe = FakeConverter(pidFile, "exec sleep 60", "exit 1");
        auto dlg = MakeDialog(m_root + "/Sniffer_6_6000.bat", m_flv, m_root + "/never.mp3");
        bool shownWhileMeasuring = false;
        QTimer::singleShot(800, dlg.get(), [&] {
            shownWhileMeasuring = dlg->isVisible();
            dlg->ControlAs<QPushButton>(TavrelImportProgressDlg::kCancelId)->click();
        });
        QElapsedTimer timer;
        timer.start();
        int result = -1;
        const qint64 stall = LongestStall([&] { result = dlg->exec(); });
        g_ffmpegExe = saved;
        QCOMPARE(result, 0);
        QVERIFY(shownWhileMeasuring);
        QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY2(stall < 1000, qPrintable(QString::number(stall)));
        QVERIFY(!convtest::ProcessAlive(std::stoi(convtest::ReadFile(pidFile))));
        QVERIFY(!convtest::Exists(m_root + "/never.mp3"));
    }

    void pathsWithShellTextRunNothing() {
        const std::string marker = "pelnix-injected-" + std::to_string(::getpid());
        const std::string folder = m_root + "/a $(touch " + marker + ") `touch " + marker +
                                   "` it's \"q\" ; touch " + marker;
        QVERIFY(QDir().mkpath(QString::fromStdString(folder)));
        const std::string input = folder + "/in $(touch " + marker + ").flv";
        std::filesystem::copy_file(m_flv, input);
        const std::string output = folder + "/out '`touch " + marker + "`'.mp3";

        double seconds = 1.0;
        QVERIFY(QueryMediaDuration(nullptr, input, seconds));
        QVERIFY(qAbs(seconds - 3.0) < 0.05);
        auto dlg = MakeDialog(folder + "/Sniffer_4_4000.bat", input, output);
        QCOMPARE(dlg->exec(), 1);
        QVERIFY(FileExistsNonEmpty(output));  // the names reached the converter unchanged
        QVERIFY(!convtest::Exists(marker));
        QVERIFY(!convtest::Exists(folder + "/" + marker));
        QVERIFY(!convtest::Exists(m_root + "/" + marker));
    }

    void durationQueryFailures() {
        double seconds = 1.0;
        QVERIFY(!QueryMediaDuration(nullptr, m_root + "/missing.flv", seconds));
        QCOMPARE(seconds, 1.0);
        // No script can be written: nothing runs, the previous output stays.
        const std::string saved = g_tempDir;
        g_tempDir = m_root + "/no/such/folder";
        QVERIFY(!QueryMediaDuration(nullptr, m_flv, seconds));
        g_tempDir = saved;
        QCOMPARE(seconds, 1.0);
    }

    void progressDisplay() {
        TavrelImportProgressDlg dlg("t", "l", "d", "s", "i", "o", "x");
        dlg.ControlAs<QProgressBar>(TavrelImportProgressDlg::kProgressId)->setRange(0, 10000);
        struct Step {
            const char* chunk;
            int bar;
            const char* text;
        } steps[] = {
            // Several lines in one delivery: the latest time counts. The duration is still the
            // default 1.0.
            {"size= 1kB time=00:00:00.20 bitrate=1\rsize= 2kB time=00:00:00.50 bitrate=1\r", 5000,
             "0.5 of 1.0 Seconds"},
            {"no progress in this chunk", 5000, "0.5 of 1.0 Seconds"},
            {"size= 9kB time=1e10 bitrate=1", 5000, "0.5 of 1.0 Seconds"},
            {"size= 9kB time=N/A bitrate=N/A", 5000, "0.5 of 1.0 Seconds"},
            {"size= 9kB time=-00:00:02.00 bitrate=1", 5000, "0.5 of 1.0 Seconds"},
            {"size= 9kB time=0.125 bitrate=1", 1250, "0.1 of 1.0 Seconds"},
            // Beyond the duration: the bar is full, the text says what was read.
            {"size= 9kB time=12.5 bitrate=1", 10000, "12.5 of 1.0 Seconds"},
        };
        for (const auto& step : steps) {
            dlg.OnRunnerOutput(QByteArray(step.chunk));
            QCOMPARE(BarValue(dlg), step.bar);
            QCOMPARE(Text(dlg, TavrelImportProgressDlg::kProgressTextId), QString(step.text));
        }
    }

    void chunksReachTheNotifyObjectInOrderAndNeverADestroyedOne() {
        const std::string script = m_root + "/lines.bat";
        convtest::WriteFile(script,
                            "i=0\nwhile [ $i -lt 3000 ]; do echo \"line $i\"; i=$((i+1)); done\n");
        Receiver receiver;
        auto runner = CWindowConsoleRunner::Create(&receiver);
        QVERIFY(g_runnerOutput.Copy().empty());
        QCOMPARE(runner->Start(script), 0);
        PumpMessagesWhile([&] { return !runner->IsClosed() || receiver.done == 0; });
        PumpMessagesTimes(10);
        QVERIFY(receiver.chunks >= 1);
        QCOMPARE(receiver.done, 1);
        QVERIFY(!receiver.chunkAfterDone);
        QCOMPARE(receiver.text.toStdString(), g_runnerOutput.Copy());
        QVERIFY(receiver.text.startsWith("line 0\nline 1\n"));
        QVERIFY(receiver.text.endsWith("line 2999\n"));

        // A command that writes nothing: only the end arrives, and the shared text stays empty.
        convtest::WriteFile(script, "true\n");
        Receiver silent;
        auto quiet = CWindowConsoleRunner::Create(&silent);
        QVERIFY(g_runnerOutput.Copy().empty());
        QCOMPARE(quiet->Start(script), 0);
        PumpMessagesWhile([&] { return !quiet->IsClosed() || silent.done == 0; });
        QCOMPARE(silent.chunks, 0);
        QCOMPARE(silent.done, 1);
        QVERIFY(g_runnerOutput.Copy().empty());

        // A two-byte character split between two deliveries is decoded whole: the command
        // writes its first byte, pauses while the GUI thread takes the delivery, then the rest.
        const std::string bytes = std::string(2047, ' ') + "\xC3\xA9 caf\xC3\xA9\n";
        convtest::WriteFile(m_root + "/split1.txt", bytes.substr(0, 2048));
        convtest::WriteFile(m_root + "/split2.txt", bytes.substr(2048));
        convtest::WriteFile(script, "cat '" + m_root + "/split1.txt'; sleep 0.3; cat '" + m_root +
                                        "/split2.txt'\n");
        Receiver split;
        auto third = CWindowConsoleRunner::Create(&split);
        QCOMPARE(third->Start(script), 0);
        PumpMessagesWhile([&] { return !third->IsClosed() || split.done == 0; });
        QCOMPARE(split.chunks, 2);
        QCOMPARE(split.text.toStdString(), bytes);
        QCOMPARE(split.decoded, QString::fromStdString(bytes));

        // The notify object goes away while chunks are still queued for it.
        convtest::WriteFile(script,
                            "i=0\nwhile [ $i -lt 200 ]; do echo \"tick $i\"; "
                            "sleep 0.002; i=$((i+1)); done\n");
        auto doomed = std::make_unique<Receiver>();
        auto second = CWindowConsoleRunner::Create(doomed.get());
        QCOMPARE(second->Start(script), 0);
        PumpMessagesWhile([&] { return doomed->chunks == 0 && !second->IsClosed(); });
        doomed.reset();
        PumpMessagesWhile([&] { return !second->IsClosed(); });
        PumpMessagesTimes(10);
        QVERIFY(g_runnerOutput.Copy().find("tick 199\n") != std::string::npos);
    }

    // A converter that writes without end: the program keeps a bounded tail, the GUI thread
    // gets one coalesced delivery however many chunks arrived while it was held up, and the
    // failure report shows the last lines in a real message box with the tail in its details.
    void floodedOutputIsBoundedAndCoalesced() {
        const std::string script = m_root + "/flood.bat";
        convtest::WriteFile(script,
                            "yes 'size= 1kB time=00:00:01.00 bitrate=1 <b>not markup</b>' | "
                            "head -n 600000; echo 'Conversion failed!'\n");  // 33 MB
        Receiver receiver;
        auto runner = CWindowConsoleRunner::Create(&receiver);
        QCOMPARE(runner->Start(script), 0);
        // The GUI thread is held up (no events) for the whole flood.
        while (!runner->IsClosed()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        PumpMessagesTimes(10);
        QCOMPARE(receiver.done, 1);
        QCOMPARE(receiver.chunks, 1);
        QVERIFY(receiver.text.size() <= qsizetype(kRunnerOutputLimit + kRunnerOutputLimit / 4));
        QVERIFY(receiver.text.endsWith("Conversion failed!\n"));
        const std::string kept = g_runnerOutput.Copy();
        QCOMPARE(kept.size(), kRunnerOutputLimit);
        QVERIFY(g_runnerOutput.Truncated());
        QVERIFY(kept.ends_with("\nConversion failed!\n"));

        SetMessageBoxHandler({});
        QString text, details;
        Qt::TextFormat format = Qt::AutoText;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            text = box->text();
            details = box->detailedText();
            format = box->textFormat();
            box->accept();
        });
        ReportConversionFailure(nullptr);
        RecordMessages();
        QCOMPARE(format, Qt::PlainText);  // the converter's text never renders as markup
        QVERIFY(text.startsWith(
            "The conversion command failed.  The output from the converter is:\n\n"));
        QVERIFY(text.endsWith("<b>not markup</b>\nConversion failed!"));
        QVERIFY(text.count('\n') <= 2 + 20);
        QVERIFY(details.size() > qsizetype(kRunnerOutputLimit) - 100);
        QVERIFY(details.size() <= qsizetype(kRunnerOutputLimit));
        QVERIFY(details.endsWith("Conversion failed!\n"));
        QCOMPARE(convtest::ReadFile(m_root + "/FFMpegErrorOut.txt"), kept + "\n");
    }

    void savePrompt() {
        convtest::WriteFile(g_settingsFile,
                            "[pelnix]\nprojectfilepath = \"/srv/projects\"\nCurrentFilePath=/srv/"
                            "videos\n");
        SavePrompt seen;
        QString answer = "/chosen/file.MP3";
        SetSavePromptHandler([&](QWidget*, const SavePrompt& prompt) {
            seen = prompt;
            return answer;
        });
        struct Case {
            std::string extension;
            QString filter, folder, suffix;
        } cases[] = {
            // Both cases: a desktop's file dialog matches patterns case-sensitively.
            {"MP3", "MP3 File (*.MP3 *.mp3)", "/srv/projects", "MP3"},
            {"flv", "FLV File (*.flv *.FLV)", "/srv/projects", "flv"},
            {"avi", "AVI File (*.avi *.AVI)", "/srv/videos", "avi"},
            {"3gp", "3GP File (*.3gp *.3GP)", "/srv/projects", "3gp"},
            {"123", "123 File (*.123)", "/srv/projects", "123"},
            {"???", "File (*.*)", "/srv/projects", ""},
            // The filter text was a 50-character buffer: cut at 49.
            {"abcdefghijklmnopqrstu", "ABCDEFGHIJKLMNOPQRSTU File (*.abcdefghijklmnopqrs",
             "/srv/projects", "abcdefghijklmnopqrstu"},
        };
        for (const auto& c : cases) {
            QCOMPARE(AskSavePath(nullptr, c.extension), answer.toStdString());
            QCOMPARE(seen.title, QString("Save Video As..."));
            QCOMPARE(seen.filter, c.filter);
            QCOMPARE(seen.folder, c.folder);
            QCOMPARE(seen.defaultSuffix, c.suffix);
        }
        answer.clear();
        QCOMPARE(AskSavePath(nullptr, "MP3"), std::string());
        // Without the settings the prompt starts in the home folder.
        QFile::remove(QString::fromStdString(g_settingsFile));
        answer = "/x.MP3";
        AskSavePath(nullptr, "MP3");
        QCOMPARE(seen.folder, QString::fromLocal8Bit(qgetenv("HOME")));
        SetSavePromptHandler({});
    }

    void playerGetsTheTrimmedTextAsItsOneArgument() {
        const std::string player = m_root + "/player.sh";
        const std::string record = m_root + "/player-args.txt";
        convtest::WriteFile(player, "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" >> '" + record + "'\n");
        QVERIFY(QFile::setPermissions(QString::fromStdString(player),
                                      QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const std::string saved = g_ffplayExe;
        g_ffplayExe = player;
        const std::string marker = "pelnix-played-" + std::to_string(::getpid());
        PlayMedia(nullptr, " \t ");  // nothing to play: nothing starts
        PlayMedia(nullptr, "  http://host/a b;$(touch " + marker + ").flv\t ");
        QTRY_VERIFY_WITH_TIMEOUT(convtest::Exists(record), 30000);
        QTest::qWait(300);  // a second, wrong start would append here
        g_ffplayExe = saved;
        QCOMPARE(convtest::ReadFile(record), "1|http://host/a b;$(touch " + marker + ").flv|");
        QVERIFY(!convtest::Exists(marker));
        // Request headers go before the URL as one argument, line ends and all; an https URL is
        // played only from a server whose certificate checks out.
        std::filesystem::remove(record);
        g_ffplayExe = player;
        const std::string headers = "Cookie: a=$(touch " + marker + ")\r\nUser-Agent: U 'x'\r\n";
        PlayMedia(nullptr, "https://host/p.m3u8", headers);
        QTRY_VERIFY_WITH_TIMEOUT(convtest::Exists(record), 30000);
        QTest::qWait(300);
        g_ffplayExe = saved;
        QCOMPARE(convtest::ReadFile(record), "7|-tls_verify|1|-ca_file|" +
                                                 std::string(kSystemAuthorityFile) + "|-headers|" +
                                                 headers + "|https://host/p.m3u8|");
        QVERIFY(!convtest::Exists(marker));
    }
};

QTEST_MAIN(ConversionDialogTest)
#include "ConversionDialogTest.moc"
