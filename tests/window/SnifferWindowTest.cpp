#include <QAccessible>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

#include "base/Globals.h"
#include "base/ShowMessage.h"
#include "helper/CaptureHelperClient.h"
#include "streams/QuicSighting.h"
#include "streams/TlsSighting.h"
#include "window/LaunchedCommand.h"
#include "window/SniffedMediaList.h"
#include "window/TavrelSnifferWindow.h"

namespace {

// Waits for what other threads and processes do: generous, since a loaded machine (both cores
// busy) takes seconds for what takes milliseconds when it is idle.
constexpr int kLoadedWaitMs = 30000;

// No capture helper: the window captures nothing.
std::string NoCapture() {
    return {};
}

// A window with no capture sessions, shown so that its initialisation has run.
struct ShownWindow {
    TavrelSnifferWindow window{nullptr, &NoCapture};
    ShownWindow() {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    SniffedMediaList* list() const { return window.MediaList(); }
    QPushButton* button(int id) const { return window.ControlAs<QPushButton>(id); }
    bool actionsEnabled() const {
        return button(1138)->isEnabled() && button(1139)->isEnabled() && button(1141)->isEnabled();
    }
    bool actionsDisabled() const {
        return !button(1138)->isEnabled() && !button(1139)->isEnabled() &&
               !button(1141)->isEnabled();
    }
    void add(const std::string& url, std::uint64_t size, const std::string& type = "x-flv\r\n") {
        list()->AddSniffedMedia("http://" + url, "GET /\r\n\r\n", std::to_string(size) + "\r\n",
                                type, std::time(nullptr));
    }
    QList<int> selectedRows() const {
        QList<int> rows;
        for (int r = 0; r < list()->topLevelItemCount(); ++r) {
            if (list()->topLevelItem(r)->isSelected())
                rows.append(r);
        }
        return rows;
    }
    int numberAt(int row) const {
        return list()->topLevelItem(row)->text(0).section('.', 0, 0).toInt();
    }
};

void WriteText(const QString& path, const QByteArray& text) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

// A HAR entry of a GET answered with `type` and a Content-Length of `length`, without a body.
QByteArray HarEntry(const QByteArray& url, const QByteArray& type, const QByteArray& length) {
    return R"({"startedDateTime":"2026-06-01T13:02:03.123Z","time":1,"request":{"method":"GET","url":")" +
           url +
           R"(","httpVersion":"HTTP/2","headers":[],"cookies":[],"queryString":[],"headersSize":-1,)"
           R"("bodySize":0},"response":{"status":200,"statusText":"","httpVersion":"HTTP/2",)"
           R"("headers":[{"name":"content-type","value":")" +
           type + R"("},{"name":"content-length","value":")" + length +
           R"("}],"cookies":[],"content":{"size":)" + length + R"(,"mimeType":")" + type +
           R"("},"redirectURL":"","headersSize":-1,"bodySize":-1},"cache":{},"timings":{}})";
}

QByteArray Har(const QList<QByteArray>& entries) {
    return R"({"log":{"version":"1.2","creator":{"name":"test","version":"1"},"entries":[)" +
           entries.join(',') + "]}}";
}

// Whether process `pid` has ended (a zombie counts as ended).
bool Ended(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close < 0 || close + 2 >= text.size() || text[close + 2] == 'Z';
}

// A private runtime folder for --launch while the test runs.
struct RuntimeFolder {
    QTemporaryDir root;
    QString path = root.path() + QStringLiteral("/run");
    QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    RuntimeFolder() {
        QDir().mkpath(path);
        ::chmod(QFile::encodeName(path).constData(), 0700);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path));
    }
    ~RuntimeFolder() { qputenv("XDG_RUNTIME_DIR", saved); }
    QStringList entries() const { return QDir(path).entryList(QDir::Files | QDir::System); }
};

}  // namespace

class SnifferWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initialisationLaysOutTheWindow() {
        ShownWindow w;
        QCOMPARE(w.window.windowTitle(), QStringLiteral("Pelnix - Recently Sniffed Media"));
        QCOMPARE(w.window.Control(1140), nullptr);  // the template's "Download && Play"
        QVERIFY(!w.button(1142)->isHidden());
        QCOMPARE(w.button(1142)->geometry(), QRect(278, 133, 70, 24));
        QCOMPARE(w.button(1141)->text(), QStringLiteral("Download"));
        // Preview, Remove and Download stand in one row, in that order, without overlapping.
        const QRect preview = w.button(1138)->geometry(), remove = w.button(1139)->geometry(),
                    download = w.button(1141)->geometry();
        QCOMPARE(remove.y(), preview.y());
        // Download comes up from its own template row into the same line.
        QCOMPARE(download.y(), preview.y());
        QVERIFY(preview.right() < remove.left() && remove.right() < download.left());
        QVERIFY(download.right() < 256);                           // clear of the logo column
        QCOMPARE(w.window.minimumSize(), w.window.maximumSize());  // not resizable
        QCOMPARE(w.list()->headerItem()->text(0), QStringLiteral("Time Sniffed"));
        QCOMPARE(w.list()->columnWidth(0), 106);
        QCOMPARE(w.list()->columnWidth(1), 44);
        QVERIFY(w.list()->columnWidth(2) >= 64);
        // No adapters: an empty list and the actions disabled.
        QCOMPARE(w.list()->topLevelItemCount(), 0);
        QVERIFY(w.actionsDisabled());
    }

    void entriesEnableSelectAndShowTheirTexts() {
        ShownWindow w;
        w.add("media.test/a.flv", 99999);
        QVERIFY(w.actionsDisabled());
        w.add("media.test/a.flv", 100000);
        QVERIFY(w.actionsEnabled());
        QCOMPARE(w.list()->SelectedRecord(), 0);
        const QTreeWidgetItem* row = w.list()->topLevelItem(0);
        QVERIFY(
            QRegularExpression(R"(^\d+\. \d\d:\d\d:\d\d [AP]M$)").match(row->text(0)).hasMatch());
        QCOMPARE(row->text(1), QStringLiteral("flv"));
        QCOMPARE(row->text(2), QStringLiteral("0.10 MB"));
        QVERIFY(!row->icon(0).isNull());
        // Duplicate URL and duplicate size are refused.
        w.add("media.test/a.flv", 200000);
        w.add("media.test/b.flv", 100000);
        QCOMPARE(w.list()->topLevelItemCount(), 1);
    }

    void siteEntriesCannotBePreviewed() {
        ShownWindow w;
        w.add("www.youtube.com/videoplayback?id=1", 300000);
        QVERIFY(!w.button(1138)->isEnabled());
        QVERIFY(w.button(1139)->isEnabled());
        w.add("media.test/clip.mp4", 400000, "mp4\r\n");
        QVERIFY(w.button(1138)->isEnabled());
        // The user picks the older, site entry again: Preview goes off; the other: back on.
        w.list()->clearSelection();
        w.list()->topLevelItem(1)->setSelected(true);
        QVERIFY(!w.button(1138)->isEnabled());
        w.list()->clearSelection();
        w.list()->topLevelItem(0)->setSelected(true);
        QVERIFY(w.button(1138)->isEnabled());
        // Clicking where there is no row leaves Preview as it was.
        w.list()->clearSelection();
        QVERIFY(w.button(1138)->isEnabled());
    }

    void theTwentySixthEvictsTheOldestAndNumbersGoOn() {
        ShownWindow w;
        for (int i = 0; i < 26; ++i) w.add("media.test/" + std::to_string(i), 100000 + i);
        QCOMPARE(w.list()->topLevelItemCount(), 25);
        const int newest = w.numberAt(0);
        QCOMPARE(w.numberAt(24), newest - 24);
        QCOMPARE(w.list()->Record(0)->url, std::string("http://media.test/1"));
        QCOMPARE(w.list()->Record(24)->url, std::string("http://media.test/25"));
    }

    void aRefreshSelectsOnlyTheNewestRow() {
        ShownWindow w;
        for (int i = 0; i < 5; ++i) w.add("media.test/" + std::to_string(i), 100000 + i);
        w.list()->clearSelection();
        w.list()->topLevelItem(3)->setSelected(true);
        QCOMPARE(w.list()->SelectedRecord(), 1);
        w.add("media.test/new", 500000);
        QCOMPARE(w.selectedRows(), QList<int>{0});
        QCOMPARE(w.list()->SelectedRecord(), 5);
    }

    void removeAndStatusImages() {
        ShownWindow w;
        for (int i = 0; i < 5; ++i) w.add("media.test/" + std::to_string(i), 100000 + i);
        // Remove the third record: the fourth and fifth move down with their numbers/images.
        w.list()->SetStatusImage(3, 2);
        const int fourth = w.list()->Record(3)->number;
        w.list()->clearSelection();
        w.list()->topLevelItem(2)->setSelected(true);  // row 2 is record 2
        QTest::mouseClick(w.button(1139), Qt::LeftButton);
        QCOMPARE(w.list()->Count(), 4);
        QCOMPARE(w.list()->Record(2)->number, fourth);
        QCOMPARE(w.list()->Record(2)->statusImage, 2);

        // SetStatusImage changes one row's picture without a refresh: the selection stays.
        w.list()->clearSelection();
        w.list()->topLevelItem(3)->setSelected(true);
        const QImage before = w.list()->topLevelItem(3)->icon(0).pixmap(16, 15).toImage();
        w.list()->SetStatusImage(0, 1);
        QCOMPARE(w.selectedRows(), QList<int>{3});
        QVERIFY(w.list()->topLevelItem(3)->icon(0).pixmap(16, 15).toImage() != before);
        QCOMPARE(w.list()->Record(0)->statusImage, 1);

        // Removing every entry disables the actions; Remove with nothing selected does nothing.
        while (w.list()->Count() > 0) {
            QTest::mouseClick(w.button(1139), Qt::LeftButton);
        }
        QVERIFY(w.actionsDisabled());
        w.list()->RemoveAt(0);
        QCOMPARE(w.list()->Count(), 0);
    }

    void reportsFromACaptureThreadArriveOnTheGuiThread() {
        ShownWindow w;
        std::thread capture([] {
            OnMediaSniffed(PlainReport("http://media.test/thread.flv", "GET /thread.flv \r\n\r\n",
                                       "123456\r\n", "x-flv\r\n"));
        });
        capture.join();
        QTRY_COMPARE_WITH_TIMEOUT(w.list()->Count(), 1, kLoadedWaitMs);
        QCOMPARE(w.list()->Record(0)->url, std::string("http://media.test/thread.flv"));
        QVERIFY(w.actionsEnabled());
    }

    // A playlist reported again (its segments now known, another variant seen) updates its one
    // row in place; its variants are the row's tool tip, shown as text whatever they hold.
    void aStreamSeenAgainUpdatesItsRowInPlace() {
        ShownWindow w;
        const auto report = [](std::string length, std::string detail) {
            MediaReport r = PlainReport("https://media.test/live/master.m3u8",
                                        "GET / HTTP/1.1\r\n\r\n", std::move(length), "hls");
            r.kind = "hls";
            r.detail = std::move(detail);
            return r;
        };
        std::thread([&] { OnMediaSniffed(report("", "1280x720 <b>2.5 Mbit/s</b>\n")); }).join();
        QTRY_COMPARE_WITH_TIMEOUT(w.list()->Count(), 1, kLoadedWaitMs);
        QCOMPARE(w.list()->topLevelItem(0)->text(1), QStringLiteral("hls"));
        QCOMPARE(w.list()->topLevelItem(0)->text(2), QString());
        QVERIFY2(w.list()->topLevelItem(0)->toolTip(2).contains("&lt;b&gt;2.5 Mbit/s"),
                 qPrintable(w.list()->topLevelItem(0)->toolTip(2)));
        std::thread([&] {
            OnMediaSniffed(report("3145728\r\n", "1920x1080 5 Mbit/s\n1280x720 2.5 Mbit/s\n"));
        }).join();
        QTRY_COMPARE_WITH_TIMEOUT(w.list()->topLevelItem(0)->text(2), QStringLiteral("3.00 MB"),
                                  kLoadedWaitMs);
        QCOMPARE(w.list()->topLevelItemCount(), 1);
        QVERIFY(w.list()->topLevelItem(0)->toolTip(0).contains("1920x1080 5 Mbit/s"));
    }

    // Every row's tool tip says what it is: host and file name, the whole URL with its control
    // characters escaped, the type and the exact size; a stream's also its variants.
    void everyRowSaysWhatItIs() {
        ShownWindow w;
        const auto tipOfNewest = [&] {
            const QTreeWidgetItem* row = w.list()->topLevelItem(0);
            for (int column = 1; column < 3; ++column) {
                if (row->toolTip(column) != row->toolTip(0))
                    return QStringLiteral("columns differ");
            }
            return row->toolTip(0);
        };
        w.add("media.test/video/clip.flv?sig=1", 1202270);
        QString tip = tipOfNewest();
        for (const char* part :
             {"clip.flv from media.test", "http://media.test/video/clip.flv?sig=1", "Type: flv",
              "Size: 1,202,270 bytes"}) {
            QVERIFY2(tip.contains(QLatin1String(part)), qPrintable(tip));
        }

        MediaReport ranged = PlainReport("https://cdn.test/m/part.mp4", "GET / HTTP/1.1\r\n\r\n",
                                         "5242880\r\n", "mp4");
        ranged.ranged = true;
        ranged.validator = "\"v1\"";
        w.list()->AddSniffedMedia(ranged, std::time(nullptr));
        tip = tipOfNewest();
        QVERIFY2(tip.contains("part.mp4 from cdn.test") && tip.contains("Size: 5,242,880 bytes"),
                 qPrintable(tip));

        MediaReport stream =
            PlainReport("https://media.test/live/master.m3u8", "GET / HTTP/1.1\r\n\r\n", "", "hls");
        stream.kind = "hls";
        stream.detail = "1920x1080 5 Mbit/s\n1280x720 2.5 Mbit/s\n";
        w.list()->AddSniffedMedia(stream, std::time(nullptr));
        tip = tipOfNewest();
        for (const char* part : {"master.m3u8 from media.test", "Type: hls", "Size: not known yet",
                                 "1920x1080 5 Mbit/s", "1280x720 2.5 Mbit/s"}) {
            QVERIFY2(tip.contains(QLatin1String(part)), qPrintable(tip));
        }

        // A bell, a terminal's colour sequence and a right-to-left override in the URL, markup in
        // the type: all shown as what they are.
        w.add(
            "evil.test/a\x07"
            "b\x1b[31m\xe2\x80\xae<b>.flv",
            300000, "<i>flv\r\n");
        tip = tipOfNewest();
        QVERIFY2(tip.contains(QLatin1String("a\\x07b\\x1b[31m\\u202e&lt;b&gt;.flv from evil.test")),
                 qPrintable(tip));
        QVERIFY2(tip.contains(QLatin1String("Type: &lt;i&gt;flv")), qPrintable(tip));
        for (const QChar c : tip)
            QVERIFY2(c == QLatin1Char('\n') || (c.category() != QChar::Other_Control &&
                                                c.category() != QChar::Other_Format),
                     qPrintable(QString::number(c.unicode(), 16)));
    }

    // A user outside the capture group: one message that says what is missing and how to
    // fix it, and the window opens listing nothing; a helper that is missing says so in its
    // sessions, without a message.
    void captureWithoutRightsOrHelperLeavesTheWindowUsable() {
        QTemporaryDir folder;
        const QString notAllowed = folder.filePath(QStringLiteral("pelnix-capture"));
        {
            QFile file(notAllowed);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\n");
        }
        // Without any execute bit not even root may run it: the answer a non-member gets.
        QVERIFY(QFile::setPermissions(notAllowed, QFile::ReadOwner | QFile::WriteOwner));
        struct Case {
            QString helper;
            int messages;
            const char* sessionError;
        };
        const Case cases[] = {
            {notAllowed, 1, "no rights to run the capture helper"},
            {folder.filePath(QStringLiteral("missing")), 0, "is missing"},
        };
        for (const Case& c : cases) {
            QStringList messages;
            SetMessageBoxHandler([&](QWidget*, const QString&, unsigned, const QString& text) {
                messages.append(text);
                return IDOK;
            });
            {
                const std::string helper = c.helper.toStdString();
                TavrelSnifferWindow window(nullptr, [helper] { return helper; });
                window.show();
                QVERIFY(QTest::qWaitForWindowExposed(&window));
                QTRY_COMPARE_WITH_TIMEOUT(messages.size(), c.messages, kLoadedWaitMs);
                if (c.messages == 1) {
                    QVERIFY2(messages[0].contains(QStringLiteral("group \"pelnix\"")),
                             qPrintable(messages[0]));
                    QVERIFY2(messages[0].contains(QStringLiteral(
                                 "sudo adduser $USER pelnix\nthen log out and log in again")),
                             qPrintable(messages[0]));
                    // The status line keeps the group to join in sight once the box is gone.
                    QVERIFY(window.StatusLine()->isVisible());
                    QVERIFY2(window.StatusLine()->text().contains(
                                 QStringLiteral("sudo adduser $USER pelnix")),
                             qPrintable(window.StatusLine()->text()));
                } else {
                    QVERIFY(!window.StatusLine()->isVisible());
                }
                QCOMPARE(window.MediaList()->Count(), 0);
                QVERIFY(window.isVisible());
                // One session per usable adapter of this machine, each saying why it is idle.
                QCOMPARE(g_captureSessions.size(), ListCaptureAdapters().size());
                for (const HelperSession* session : g_captureSessions) {
                    QVERIFY(!session->IsCapturing());
                    QVERIFY2(session->ErrorText().find(c.sessionError) != std::string::npos,
                             session->ErrorText().c_str());
                }
            }
            QVERIFY(g_captureSessions.empty());
            SetMessageBoxHandler({});
        }
    }

    // A capture helper that dies each time it has listed its sessions is started again after
    // growing pauses, each end told in the status line, not in a box, until the
    // window gives up and says so.
    void aHelperThatKeepsDyingIsRestartedThenGivenUp() {
        QTemporaryDir folder;
        // The stand-in helper plays the scenario it is named after.
        const QString dies = folder.filePath(QStringLiteral("dies"));
        QVERIFY(QFile::link(QStringLiteral(PELNIX_FAKE_CAPTURE_HELPER), dies));
        QStringList messages;
        SetMessageBoxHandler([&](QWidget*, const QString&, unsigned, const QString& text) {
            messages.append(text);
            return IDOK;
        });
        {
            TavrelSnifferWindow window(nullptr, [&] { return dies.toStdString(); });
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            // In the status line, no box.
            const auto notices = [&] {
                QStringList texts;
                if (window.StatusLine()->isVisible())
                    texts.append(window.StatusLine()->text());
                for (QMessageBox* box : window.findChildren<QMessageBox*>())
                    texts.append(box->text());
                return texts;
            };
            QTRY_VERIFY_WITH_TIMEOUT(notices().size() == 1 && notices()[0].contains(QStringLiteral(
                                                                  "Pelnix starts it again")),
                                     kLoadedWaitMs);
            QVERIFY2(notices()[0].contains(QStringLiteral("killed by signal 9")),
                     qPrintable(notices()[0]));
            QTRY_VERIFY_WITH_TIMEOUT(
                notices().size() == 1 && notices()[0].contains(QStringLiteral("failed 4 times")),
                kLoadedWaitMs);
            QVERIFY2(notices()[0].contains(QStringLiteral("lists no more media")),
                     qPrintable(notices()[0]));
            QCOMPARE(window.CaptureHelperProcess(), pid_t(-1));
            QCOMPARE(messages, QStringList());
        }
        SetMessageBoxHandler({});
    }

    void escapeAndEnterEndTheWindow() {
        {
            TavrelSnifferWindow window(nullptr, &NoCapture);
            QTimer::singleShot(0, &window, [&] { QTest::keyClick(&window, Qt::Key_Escape); });
            QCOMPARE(window.exec(), int(QDialog::Rejected));
        }
        {
            TavrelSnifferWindow window(nullptr, &NoCapture);
            QTimer::singleShot(0, &window, [&] {
                window.MediaList()->setFocus();
                QTest::keyClick(window.MediaList(), Qt::Key_Return);
            });
            QCOMPARE(window.exec(), int(QDialog::Accepted));
        }
        {
            // Enter on a focused push button presses it and the window stays open.
            ShownWindow w;
            w.add("media.test/x", 150000);
            QSignalSpy pressed(w.button(1139), &QPushButton::clicked);
            w.button(1139)->setFocus();
            QTest::keyClick(w.button(1139), Qt::Key_Return);
            QCOMPARE(pressed.count(), 1);
            QVERIFY(w.window.isVisible());
            QCOMPARE(w.list()->Count(), 0);
        }
    }

    void aFloodWhileTheGuiThreadIsBusyKeepsTheNewestReports() {
        ShownWindow w;
        const int sent = int(SniffedMediaList::kMaxQueuedReports) + 904;
        // All reports arrive while the GUI thread takes no events.
        std::thread capture([sent] {
            for (int i = 1; i <= sent; ++i) {
                OnMediaSniffed(PlainReport("http://media.test/" + std::to_string(i),
                                           "GET / \r\n\r\n", std::to_string(100000 + i) + "\r\n",
                                           "x-flv\r\n"));
            }
        });
        capture.join();
        QCOMPARE(w.list()->DroppedReports(), std::uint64_t(904));
        QTRY_COMPARE_WITH_TIMEOUT(w.list()->Count(), 25, kLoadedWaitMs);
        QCOMPARE(w.list()->Record(24)->url, "http://media.test/" + std::to_string(sent));
    }

    void hoverNeverTakesTheKeyboardFromAnotherWindow() {
        // The user types in another program's window; the pointer crosses Pelnix's window.
        ShownWindow w;
        QWidget other;
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        for (QWidget* target : {w.button(1141), w.button(1142)}) {
            QEvent enter(QEvent::Enter);
            QCoreApplication::sendEvent(target, &enter);
            QCoreApplication::processEvents();
            QCOMPARE(QApplication::activeWindow(), &other);
        }
        // Within the window that is already active, hover brings the focus to the list.
        w.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        if (QWidget* focused = QApplication::focusWidget())
            focused->clearFocus();
        QCOMPARE(QApplication::focusWidget(), nullptr);
        QEvent enter(QEvent::Enter);
        QCoreApplication::sendEvent(w.button(1142), &enter);
        QCOMPARE(QApplication::focusWidget(), w.list());
    }

    void closingWhileACaptureThreadReportsIsSafe() {
        // A capture thread reports without pause while windows come and go; a report that
        // arrives during or after teardown must be dropped, never applied to a dead list.
        std::atomic<bool> stop{false};
        std::atomic<int> sent{0};
        std::thread capture([&] {
            for (int i = 0; !stop.load(); ++i) {
                OnMediaSniffed(PlainReport("http://media.test/" + std::to_string(i),
                                           "GET / \r\n\r\n", std::to_string(100000 + i) + "\r\n",
                                           "x-flv\r\n"));
                sent.fetch_add(1);
            }
        });
        int seen = 0;
        for (int round = 0; round < 30; ++round) {
            auto* window = new TavrelSnifferWindow(nullptr, &NoCapture);
            window->show();
            QTest::qWait(5);
            seen += window->MediaList()->Count();
            delete window;
            QCoreApplication::processEvents();
        }
        stop = true;
        capture.join();
        QVERIFY(sent.load() > 0);
        QVERIFY(seen > 0);
    }

    // The fixed position keeps the whole window on the screen it opens on: a window at
    // x = 760 would run off a 1024-pixel-wide screen, and off this one.
    void wholeWindowStaysOnItsScreen() {
        ShownWindow w;
        const QRect screen = w.window.screen()->availableGeometry();
        QVERIFY2(screen.contains(w.window.frameGeometry()),
                 qPrintable(QStringLiteral("%1,%2 %3x%4 on %5x%6")
                                .arg(w.window.frameGeometry().x())
                                .arg(w.window.frameGeometry().y())
                                .arg(w.window.frameGeometry().width())
                                .arg(w.window.frameGeometry().height())
                                .arg(screen.width())
                                .arg(screen.height())));
    }

    // The scaler gives the controls their previous font back while they all still exist: the
    // list, the first control of the template, goes with the window's members.
    void previousFontComesBackBeforeTheControlsGo() {
        struct FontWatch : QObject {
            QStringList families;  // the Help button's family at each font change
            bool eventFilter(QObject* watched, QEvent* event) override {
                if (event->type() == QEvent::FontChange)
                    families << static_cast<QWidget*>(watched)->font().family();
                return false;
            }
        } watch;
        auto* window = new TavrelSnifferWindow(nullptr, &NoCapture);
        QFont previous(QStringLiteral("DejaVu Serif"));
        previous.setPixelSize(17);
        window->setFont(previous);
        for (QWidget* control : window->findChildren<QPushButton*>()) control->setFont(previous);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QPushButton* help = window->ControlAs<QPushButton>(1142);
        QVERIFY(help->font().family() != previous.family());  // the template's font
        help->installEventFilter(&watch);
        delete window;
        QCOMPARE(watch.families.value(watch.families.size() - 1), previous.family());
    }

    // What assistive technology is told: the window's buttons by name, and nothing of the
    // template's "Download && Play", which has no part in this window.
    void theAccessibilityTreeListsNoPlayButton() {
        ShownWindow w;
        w.add("media.test/a.flv", 150000);
        QStringList names;
        std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
            names << node->text(QAccessible::Name);
            for (int i = 0; i < node->childCount(); ++i) {
                if (QAccessibleInterface* child = node->child(i))
                    walk(child);
            }
        };
        QAccessibleInterface* root = QAccessible::queryAccessibleInterface(&w.window);
        QVERIFY(root);
        walk(root);
        QVERIFY2(names.contains(QStringLiteral("Download")), qPrintable(names.join('|')));
        QVERIFY2(names.filter(QStringLiteral("Play"), Qt::CaseInsensitive).isEmpty(),
                 qPrintable(names.join('|')));
    }

    // Capture files and HAR exports named on the command line or dropped on the window are
    // read off the GUI thread, and their media join the list; a file that cannot be read is
    // named in a message.
    void filesGivenOrDroppedListTheirMedia() {
        QTemporaryDir folder;
        const QString first = folder.filePath(QStringLiteral("first.har"));
        const QString second = folder.filePath(QStringLiteral("second session.har"));
        WriteText(first, Har({HarEntry("https://cdn.test/a.mp4", "video/mp4", "2000000"),
                              HarEntry("https://www.test/", "text/html", "500000"),
                              HarEntry("https://cdn.test/b.mp3", "audio/mpeg", "300000")}));
        WriteText(second, Har({HarEntry("https://cdn.test/c.webm", "video/webm", "900000")}));
        const QString garbage = folder.filePath(QStringLiteral("garbage.pcap"));
        WriteText(garbage, QByteArray(100, 'x'));
        QStringList messages;
        SetMessageBoxHandler([&](QWidget*, const QString&, unsigned, const QString& text) {
            messages.append(text);
            return IDOK;
        });
        {
            ShownWindow w;
            w.window.ReadMediaFiles({first.toStdString()});
            QTRY_COMPARE_WITH_TIMEOUT(w.list()->Count(), 2, kLoadedWaitMs);
            QCOMPARE(w.list()->Record(0)->url, std::string("https://cdn.test/a.mp4"));
            QCOMPARE(w.list()->Record(1)->url, std::string("https://cdn.test/b.mp3"));
            QCOMPARE(w.list()->Record(0)->size, std::uint64_t{2000000});

            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(second)});
            QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton,
                                  Qt::NoModifier);
            QCoreApplication::sendEvent(&w.window, &enter);
            QVERIFY(enter.isAccepted());
            QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(&w.window, &drop);
            QTRY_COMPARE_WITH_TIMEOUT(w.list()->Count(), 3, kLoadedWaitMs);
            QCOMPARE(w.list()->Record(2)->url, std::string("https://cdn.test/c.webm"));

            // A remote address is not taken.
            QMimeData remote;
            remote.setUrls({QUrl(QStringLiteral("https://cdn.test/d.har"))});
            QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &remote, Qt::LeftButton,
                                    Qt::NoModifier);
            refused.setAccepted(false);
            QCoreApplication::sendEvent(&w.window, &refused);
            QVERIFY(!refused.isAccepted());

            w.window.ReadMediaFiles(
                {folder.filePath(QStringLiteral("missing.pcapng")).toStdString(),
                 garbage.toStdString()});
            QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 2, kLoadedWaitMs);
            QVERIFY2(messages[0].startsWith(QStringLiteral("Cannot read capture file '") +
                                            folder.filePath(QStringLiteral("missing.pcapng"))),
                     qPrintable(messages[0]));
            QVERIFY2(messages[1].contains(garbage), qPrintable(messages[1]));
            QCOMPARE(w.list()->Count(), 3);
        }

        // A FIFO would hold the file worker in open() until some writer came, and the window's
        // end with it: it is refused at once, and the window goes at once.
        const QString fifo = folder.filePath(QStringLiteral("capture.fifo"));
        QCOMPARE(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
        std::atomic<bool> done{false};
        std::thread release([&] {
            // Should the worker wait in open() all the same, a writer that comes and goes lets
            // it on, so that the test fails instead of hanging.
            for (int i = 0; i < 100 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            for (int i = 0; i < 2; ++i) {
                if (const int fd = ::open(fifo.toUtf8().constData(), O_WRONLY | O_NONBLOCK);
                    fd >= 0)
                    ::close(fd);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        const auto joined = qScopeGuard([&] {
            done = true;
            release.join();
        });
        QElapsedTimer clock;
        clock.start();
        {
            ShownWindow w;
            w.window.ReadMediaFiles({fifo.toStdString()});
            QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 3, 3000);
            QCOMPARE(messages[2], QStringLiteral("Cannot read capture file '") + fifo +
                                      QStringLiteral("': a FIFO, not a regular file."));
            // Queued behind another FIFO read, a file still waiting is dropped with the window.
            w.window.ReadMediaFiles({fifo.toStdString(), first.toStdString()});
        }
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        SetMessageBoxHandler({});
    }

    // Notices come on the capture helper's reader thread: each goes to the status line under
    // the buttons, not to a box, the newest wins, and the line goes once an entry is listed.
    void noticesGoToTheStatusLineUntilAnEntryIsListed() {
        QStringList messages;
        SetMessageBoxHandler([&](QWidget*, const QString&, unsigned, const QString& text) {
            messages.append(text);
            return IDOK;
        });
        {
            ShownWindow w;
            const QLabel* line = w.window.StatusLine();
            QVERIFY(!line->isVisible());
            std::thread reader([&] {
                w.window.PostNotice(kQuicNotice);
                w.window.PostNotice(kTlsNotice);
                w.window.PostNotice(kQuicNotice);
            });
            reader.join();
            QTRY_COMPARE_WITH_TIMEOUT(line->text(), QLatin1String(kTlsNotice), kLoadedWaitMs);
            QVERIFY(line->isVisible());
            QVERIFY(w.window.geometry().contains(line->geometry().translated(w.window.pos())));
            QVERIFY(line->geometry().top() >= w.button(1138)->geometry().bottom());
            QTest::qWait(50);
            QCOMPARE(line->text(), QLatin1String(kTlsNotice));
            QVERIFY(w.window.findChildren<QMessageBox*>().isEmpty());
            QCOMPARE(messages, QStringList());
            QCOMPARE(w.window.size(), QSize(380, 246));
            QCOMPARE(w.list()->columnCount(), 3);
            w.add("media.test/after-the-notice.flv", 100000);
            QCOMPARE(w.list()->Count(), 1);
            QVERIFY(!line->isVisible());
        }
        SetMessageBoxHandler({});
    }

    // --launch: the command runs with SSLKEYLOGFILE naming a new private file in the runtime
    // folder, the capture helper is told to follow that file, and when the window goes the
    // command ends first (this one writes once more when asked to end, and does not end: it is
    // killed after the grace), and only then is the file deleted.
    void launchedCommandGetsAPrivateKeyLog() {
        RuntimeFolder runtime;
        QTemporaryDir folder;
        const QString seen = folder.filePath(QStringLiteral("seen"));
        const QString helperArguments = folder.filePath(QStringLiteral("helper-arguments"));
        const QString helper = folder.filePath(QStringLiteral("pelnix-capture"));
        // A helper that notes how it was started and fails: the window opens without capture.
        WriteText(helper, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + helperArguments.toUtf8() +
                              "'\nexit 1\n");
        QVERIFY(QFile::setPermissions(helper, QFile::ReadOwner | QFile::ExeOwner));
        const std::string script =
            "printf '%s\\n' $$ \"$SSLKEYLOGFILE\" > \"$1.part\"; "
            "stat -c %a \"$SSLKEYLOGFILE\" >> \"$1.part\"; "
            "printf 'CLIENT_RANDOM 00 00\\n' >> \"$SSLKEYLOGFILE\"; mv \"$1.part\" \"$1\"; "
            "trap 'printf late >> \"$SSLKEYLOGFILE\"' TERM; while :; do sleep 0.05; done";
        auto* window = new TavrelSnifferWindow(nullptr, [&] { return helper.toStdString(); });
        window->SetLaunchCommand({"sh", "-c", script, "sh", seen.toStdString()});
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(seen), kLoadedWaitMs);
        QFile file(seen);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
        QVERIFY2(lines.size() >= 3, qPrintable(lines.join('|')));
        const pid_t command = lines[0].toInt();
        const QString keyLog = lines[1];
        QCOMPARE(QFileInfo(keyLog).absolutePath(), runtime.path);
        QCOMPARE(lines[2], QStringLiteral("600"));
        QCOMPARE(runtime.entries(), QStringList{QFileInfo(keyLog).fileName()});
        QVERIFY(!Ended(command));
        QFile arguments(helperArguments);
        QVERIFY(arguments.open(QIODevice::ReadOnly));
        const QStringList given = QString::fromUtf8(arguments.readAll()).split('\n');
        const qsizetype option = given.indexOf(QStringLiteral("--keylog"));
        QVERIFY2(option >= 0 && given.value(option + 1) == keyLog, qPrintable(given.join(' ')));

        QElapsedTimer closing;
        closing.start();
        delete window;
        QVERIFY(Ended(command));
        QVERIFY(!QFile::exists(keyLog));
        QVERIFY(runtime.entries().isEmpty());
        // Bounded: the grace, then the kill.
        QVERIFY2(closing.elapsed() >= kLaunchEndGrace.count() &&
                     closing.elapsed() < kLaunchEndGrace.count() + 2000,
                 qPrintable(QString::number(closing.elapsed())));
    }

    // A command that cannot be started is told, its key log goes at once, and the window opens.
    void aCommandThatCannotStartIsTold() {
        RuntimeFolder runtime;
        QStringList messages;
        SetMessageBoxHandler([&](QWidget*, const QString&, unsigned, const QString& text) {
            messages.append(text);
            return IDOK;
        });
        {
            TavrelSnifferWindow window(nullptr, &NoCapture);
            window.SetLaunchCommand({"pelnix-test-no-such-command", "--flag"});
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QTRY_COMPARE_WITH_TIMEOUT(messages.size(), 1, kLoadedWaitMs);
            QVERIFY2(messages[0].startsWith(
                         QStringLiteral("Pelnix cannot start pelnix-test-no-such-command: no "
                                        "program named 'pelnix-test-no-such-command' in PATH.")),
                     qPrintable(messages[0]));
            QVERIFY(runtime.entries().isEmpty());
            QVERIFY(window.isVisible());
        }
        SetMessageBoxHandler({});
    }

    // A command that ends at once without a key in its key log (a browser that handed its page
    // to one already running) is told in a notice that leaves the window usable; one that wrote
    // a key before it ended is not.
    void aCommandThatEndsAtOnceWithoutAKeyIsTold() {
        RuntimeFolder runtime;
        QTemporaryDir folder;
        const QString done = folder.filePath(QStringLiteral("done"));
        const std::string key =
            "CLIENT_RANDOM " + std::string(64, 'a') + " " + std::string(96, 'b');
        struct Case {
            const char* name;
            std::vector<std::string> command;
            bool told;
        };
        const std::string then = "; : > '" + done.toStdString() + "'";
        const Case cases[] = {
            {"ends at once", {"/bin/true"}, true},
            {"writes no key line",
             {"sh", "-c", "echo '# not a key' >> \"$SSLKEYLOGFILE\"" + then},
             true},
            {"writes a key",
             {"sh", "-c", "echo '" + key + "' >> \"$SSLKEYLOGFILE\"" + then},
             false},
        };
        QStringList messages;  // a launch that fails is told in one (none expected)
        SetMessageBoxHandler([&](QWidget*, const QString&, unsigned, const QString& text) {
            messages.append(text);
            return IDOK;
        });
        const auto noHandler = qScopeGuard([] { SetMessageBoxHandler({}); });
        for (const Case& c : cases) {
            qInfo("%s", c.name);
            QFile::remove(done);
            TavrelSnifferWindow window(nullptr, &NoCapture);
            window.SetLaunchCommand(c.command);
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            // Told in the window's status line.
            const auto shown = [&] {
                QStringList texts;
                if (window.StatusLine()->isVisible() && !window.StatusLine()->text().isEmpty())
                    texts.append(window.StatusLine()->text());
                return texts;
            };
            if (c.told) {
                QTRY_COMPARE_WITH_TIMEOUT(shown().size(), 1, kLoadedWaitMs);
                const QString name = QFileInfo(QString::fromStdString(c.command[0])).fileName();
                QVERIFY2(shown()[0].startsWith(name +
                                               QStringLiteral(" ended at once without writing any "
                                                              "key: it probably handed the page")),
                         qPrintable(shown()[0]));
                QVERIFY(shown()[0].contains(QStringLiteral("--launch-own-profile")));
            } else {
                QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(done), kLoadedWaitMs);
                QTest::qWait(1000);
                QVERIFY2(shown().isEmpty(), qPrintable(shown().join('|')));
            }
            QVERIFY2(messages.isEmpty(), qPrintable(messages.join('|')));
        }
    }

    void helpPageBesideTheProgramElseInTheInstalledDocumentation() {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        struct RestoreModuleDir {
            std::string saved = g_moduleDir;
            ~RestoreModuleDir() { g_moduleDir = saved; }
        } restore;
        g_moduleDir = (root.path() + "/bin").toStdString();
        const auto page = [] { return QUrl(TavrelSnifferWindow::HelpPageUrl()).toLocalFile(); };
        // Installed: bin/pelnix and share/doc/pelnix/index.html under one prefix.
        QCOMPARE(page(), root.path() + "/share/doc/pelnix/index.html");
        // In the build folder the page is copied beside the program, and that copy wins.
        QVERIFY(QDir().mkpath(root.path() + "/bin/help"));
        QFile beside(root.path() + "/bin/help/index.html");
        QVERIFY(beside.open(QIODevice::WriteOnly));
        beside.close();
        QCOMPARE(page(), root.path() + "/bin/help/index.html");
    }
};

QTEST_MAIN(SnifferWindowTest)
#include "SnifferWindowTest.moc"
