#include "window/TavrelSnifferWindow.h"

#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "base/Globals.h"
#include "base/ShowMessage.h"
#include "helper/CaptureHelperClient.h"
#include "resources/Pictures.h"
#include "spool/SpoolFolder.h"
#include "spool/SpoolSettings.h"
#include "streams/StreamSettings.h"
#include "window/AdvertPicture.h"
#include "window/CapturedCopy.h"
#include "window/LaunchedCommand.h"
#include "window/MediaFileWorker.h"
#include "window/SniffedMediaList.h"

namespace {

constexpr int kListId = 1137;
constexpr int kPreviewId = 1138;
constexpr int kRemoveId = 1139;
constexpr int kPlayId = 1140;
constexpr int kDownloadId = 1141;
constexpr int kHelpId = 1142;
constexpr int kAdvertId = 1143;

// The window's fixed client area and where the logo and the Help button go on it.
constexpr QSize kClientSize(380, 246);
constexpr QPoint kWindowPosition(760, 200);
// Room left for a window manager's frame before the frame is known: the border, and the title
// bar at the top.
constexpr QSize kFrameAllowance(8, 32);
constexpr QRect kLogoBlock(256, 0, 116, 126);
constexpr QPoint kHelpPosition(278, 133);
constexpr QSize kButtonSize(70, 24);
// The status line: the room under the buttons, across the window.
constexpr QRect kStatusLineBlock(8, 164, 364, 78);

// A capture helper that ends on its own is started again after a pause that doubles with each
// failure; after this many failures within the span the window gives up.
constexpr std::chrono::milliseconds kFirstRestartPause{250};
constexpr std::size_t kMaxCaptureFailures = 3;
constexpr std::chrono::seconds kCaptureFailureSpan{60};

// A text for a message box from one that starts in lower case.
QString Sentence(const std::string& text) {
    QString sentence = QString::fromStdString(text);
    if (!sentence.isEmpty())
        sentence[0] = sentence[0].toUpper();
    return sentence;
}

// The status line's form of the message a user outside the capture group gets.
QString NotPermittedLine() {
    return QStringLiteral(
               "Pelnix lists nothing: you may not capture network traffic. Join the "
               "group \"%1\" (sudo adduser $USER %1), then log in again.")
        .arg(QLatin1String(kCaptureGroup));
}

}  // namespace

// Another client (a window manager's destroy, `xdotool windowclose`) can destroy the window's
// native window; the toolkit goes on as if it were there, and the program would run on,
// invisible, capturing. The destruction is seen in the X server's notice of it, and ends the
// window as closing it would.
class NativeDestroyWatch : public QAbstractNativeEventFilter {
public:
    explicit NativeDestroyWatch(TavrelSnifferWindow* window) : m_window(window) {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    ~NativeDestroyWatch() override {
        if (QCoreApplication::instance())
            QCoreApplication::instance()->removeNativeEventFilter(this);
    }
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t" || !m_window)
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7F) != XCB_DESTROY_NOTIFY)
            return false;
        const auto* destroyed = static_cast<const xcb_destroy_notify_event_t*>(message);
        if (!m_window->testAttribute(Qt::WA_WState_Created) ||
            destroyed->window != static_cast<xcb_window_t>(m_window->winId())) {
            return false;
        }
        // After the event has been handled: the window is closed from its own event loop.
        QMetaObject::invokeMethod(m_window, "reject", Qt::QueuedConnection);
        return false;
    }

private:
    QPointer<TavrelSnifferWindow> m_window;
};

// What the capture helper's reader thread tells the window (its notices, its end) and what a
// new helper's start gives, handed to the GUI thread for as long as the window takes them. A
// helper's client may outlive the window's part in it (a start that ends after the window
// went), so nothing is posted to the window once it has let go.
class CaptureEvents {
public:
    explicit CaptureEvents(TavrelSnifferWindow* window) : m_window(window) {}

    template <typename Function>
    void Post(Function&& function) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_window) {
            QMetaObject::invokeMethod(
                m_window,
                [window = m_window, function = std::forward<Function>(function)]() mutable {
                    function(window);
                },
                Qt::QueuedConnection);
        }
    }
    void LetGo() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_window = nullptr;
    }

private:
    std::mutex m_mutex;
    TavrelSnifferWindow* m_window;  // guarded by m_mutex
};

TavrelSnifferWindow::TavrelSnifferWindow(QWidget* parent, CaptureHelperLocator helper)
    : TemplateDialog(IDD_SNIFFER_WINDOW, parent),
      m_captureHelper(std::move(helper)),
      m_captureEvents(std::make_shared<CaptureEvents>(this)) {
    if (!m_captureHelper)
        m_captureHelper = [] { return FindCaptureHelper(g_moduleDir); };
    m_mediaList = new SniffedMediaList(this);
    ReplaceControl(kListId, m_mediaList);
    m_previewButton = ControlAs<QPushButton>(kPreviewId);
    m_removeButton = ControlAs<QPushButton>(kRemoveId);
    // The template's "Download && Play" has no part in this window. Hidden, it would still be
    // listed to assistive technology, so it goes altogether.
    RemoveControl(kPlayId);
    m_downloadButton = ControlAs<QPushButton>(kDownloadId);
    m_helpButton = ControlAs<QPushButton>(kHelpId);
    m_advert = new AdvertPicture(this, kAdvertId);
    m_statusLine = new QLabel(this);
    m_statusLine->setObjectName(QStringLiteral("statusLine"));
    m_statusLine->setWordWrap(true);
    m_statusLine->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_statusLine->setTextFormat(Qt::PlainText);
    m_statusLine->setAutoFillBackground(true);
    m_statusLine->hide();

    connect(m_previewButton, &QPushButton::clicked, this, &TavrelSnifferWindow::OnPreview);
    connect(m_removeButton, &QPushButton::clicked, this, &TavrelSnifferWindow::OnRemove);
    connect(m_downloadButton, &QPushButton::clicked, this, &TavrelSnifferWindow::OnDownload);
    connect(m_helpButton, &QPushButton::clicked, this, &TavrelSnifferWindow::OnHelpButton);
    // A window that was killed left its copies of the capture behind: they go now.
    RemoveFoldersOfEndedWindows(g_tempDir);
    connect(m_mediaList, &QTreeWidget::itemSelectionChanged, this,
            &TavrelSnifferWindow::OnListItemChanged);
    m_mediaList->SetCopyDiscard([this](std::uint64_t copyId) { DiscardCopy(copyId); });
    // Once an entry is listed, the list speaks for itself.
    connect(m_mediaList->model(), &QAbstractItemModel::rowsInserted, m_statusLine, &QWidget::hide);
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        m_destroyWatch = std::make_unique<NativeDestroyWatch>(this);
    // Capture files and HAR exports may be dropped on the window.
    setAcceptDrops(true);
}

TavrelSnifferWindow::~TavrelSnifferWindow() {
    // Nothing of the capture reaches the window any more; a helper being started again is
    // waited for (its start is bounded) and then stops with its client.
    m_captureEvents->LetGo();
    if (m_captureStarter.joinable())
        m_captureStarter.join();
    // The controls get their previous font back while they all exist: the list, which goes
    // next, is the template's first control, and the walk would end there.
    m_fontScaler.Restore();
    // The list goes first: from then on a late record from the capture helper finds no list
    // and is dropped. Only then is the helper stopped and its reader joined.
    // The file reader first: its reports and messages end with it.
    m_fileReader.reset();
    delete m_mediaList;
    m_mediaList = nullptr;
    g_captureSessions.clear();
    m_capture.reset();
    // The helper has ended: nothing writes into its spool any more.
    SniffedMediaList::SetHelperCopyTag(0);
    if (m_spoolFd >= 0)
        ::close(m_spoolFd);
    if (!m_spoolPath.empty()) {
        UnlistSpoolFolder(m_spoolPath);
        RemoveSpoolFolder(m_spoolPath);
    }
    m_launchEnd.reset();
    if (m_launchEndDescriptor >= 0)
        ::close(m_launchEndDescriptor);
    // The launched command would go on writing secrets into a file nobody reads: it ends
    // (bounded, see EndLaunch), and then its key log goes.
    if (!m_launchKeyLog.empty())
        EndLaunch();
}

void TavrelSnifferWindow::SetLaunchCommand(std::vector<std::string> command, bool ownProfile) {
    m_launchCommand = std::move(command);
    m_launchOwnProfile = ownProfile;
}

void TavrelSnifferWindow::ReadMediaFiles(const std::vector<std::string>& files) {
    if (files.empty())
        return;
    if (!m_fileReader) {
        std::string badSettings;
        StreamOptions stream = ReadStreamSettings(g_settingsFile, &badSettings);
        MediaFileWorker::Callbacks callbacks;
        // The files' copies are told apart from the capture helper's by their tag.
        callbacks.report = [](MediaReport report) {
            report.copyId = TagCopyId(report.copyId, kFileCopyTag);
            SniffedMediaList::QueueReport(std::move(report));
        };
        callbacks.copyStatus = [this](const CopyStatus& status) {
            CopyStatus tagged = status;
            tagged.id = TagCopyId(status.id, kFileCopyTag);
            QMetaObject::invokeMethod(
                this,
                [this, tagged] {
                    if (m_mediaList)
                        m_mediaList->SetCopyStatus(tagged);
                },
                Qt::QueuedConnection);
        };
        // The worker is joined before the window goes, so the window outlives these posts.
        callbacks.failure = [this](const std::string& text) {
            const QString message = Sentence(text) + QLatin1Char('.');
            QMetaObject::invokeMethod(
                this,
                [this, message] {
                    ShowMessage(this, kProductName, MB_ICONEXCLAMATION, "%s",
                                message.toUtf8().constData());
                },
                Qt::QueuedConnection);
        };
        callbacks.notice = [this](const std::string& text) { PostNotice(text); };
        m_fileReader = std::make_unique<MediaFileWorker>(std::move(stream), std::move(callbacks),
                                                         g_tempDir, ReadSpoolLimit(g_settingsFile));
    }
    m_fileReader->Read(files);
}

void TavrelSnifferWindow::PostNotice(const std::string& text) {
    QMetaObject::invokeMethod(
        this, [this, notice = Sentence(text)] { ShowNotice(notice); }, Qt::QueuedConnection);
}

void TavrelSnifferWindow::ShowNotice(const QString& text) {
    if (!m_noticesShown.insert(text).second)
        return;
    ShowCaptureNotice(text);
}

void TavrelSnifferWindow::dragEnterEvent(QDragEnterEvent* event) {
    const QMimeData* data = event->mimeData();
    if (!data->hasUrls())
        return;
    for (const QUrl& url : data->urls()) {
        if (!url.isLocalFile())
            return;
    }
    event->acceptProposedAction();
}

void TavrelSnifferWindow::dropEvent(QDropEvent* event) {
    std::vector<std::string> files;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            files.push_back(QFile::encodeName(url.toLocalFile()).toStdString());
    }
    if (files.empty())
        return;
    event->acceptProposedAction();
    ReadMediaFiles(files);
}

QString TavrelSnifferWindow::HelpPageUrl() {
    // Beside the program in the build folder; an installed program finds the page in the
    // documentation folder of its installation, reached from the program's own folder so that
    // any installation prefix works.
    const QString folder = QString::fromStdString(g_moduleDir) + QLatin1Char('/');
    QString page = folder + QLatin1String(kHelpPagePath);
    if (!QFileInfo::exists(page))
        page = QDir::cleanPath(folder + QLatin1String(PELNIX_INSTALLED_HELP_PAGE));
    return QUrl::fromLocalFile(page).toString();
}

void TavrelSnifferWindow::OnInitDialog() {
    m_fontScaler.Apply(this, IDD_SNIFFER_WINDOW, 96.0);
    setWindowIcon(g_appIcon);
    setWindowTitle(QStringLiteral("Pelnix - Recently Sniffed Media"));

    // Buttons keep their template row but move into one line with Help beside the logo.
    const auto place = [](QPushButton* button, int dx, int dy) {
        const QPoint at = button->geometry().topLeft() + QPoint(dx, dy);
        button->setGeometry(QRect(at, kButtonSize));
    };
    place(m_previewButton, 0, 0);
    place(m_removeButton, -24, 0);
    place(m_downloadButton, 60, -34);
    // Its template row is another; rounded from dialog units it can land a pixel off.
    m_downloadButton->move(m_downloadButton->x(), m_previewButton->y());
    m_downloadButton->setText(QStringLiteral("Download"));
    m_helpButton->setGeometry(QRect(kHelpPosition, kButtonSize));
    m_helpButton->show();

    // Fixed size: the user cannot resize the window.
    setFixedSize(kClientSize);
    setSizeGripEnabled(false);
    PlaceOnScreen();

    QPalette background = palette();
    background.setBrush(QPalette::Window, g_backgroundBrush.style() == Qt::NoBrush
                                              ? QBrush(QColor(210, 210, 210))
                                              : g_backgroundBrush);
    setPalette(background);
    setAutoFillBackground(true);

    m_logo = LoadBitmapResource(IDB_LOGO);
    m_advert->Start();
    // Over the advert, if there is one: what the capture cannot read matters more.
    m_statusLine->setGeometry(kStatusLineBlock);
    m_statusLine->raise();

    // Within the active window, the keyboard focus follows the mouse to the list.
    setMouseTracking(true);
    for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);

    if (!m_launchCommand.empty()) {
        std::string problem;
        m_launchKeyLog = PrepareLaunch(m_launchCommand, problem);
        if (m_launchKeyLog.empty()) {
            ShowMessage(this, kProductName, MB_ICONEXCLAMATION,
                        "Pelnix cannot start %s: %s.\n\nPelnix opens all the same.",
                        m_launchCommand.front().c_str(), problem.c_str());
        }
    }
    StartCapture();
    StartLaunchedCommand();
    m_mediaList->setFocus();
}

void TavrelSnifferWindow::StartLaunchedCommand() {
    if (m_launchKeyLog.empty())
        return;
    // Started once the capture runs, so that its first connections are seen. Its guard reaps
    // it; the window only asks for its end.
    std::string problem;
    if (::StartLaunchedCommand(problem) < 0) {
        m_launchKeyLog.clear();
        ShowMessage(this, kProductName, MB_ICONEXCLAMATION,
                    "Pelnix cannot start %s: %s.\n\nPelnix opens all the same, and lists what "
                    "other programs receive.",
                    m_launchCommand.front().c_str(), problem.c_str());
        return;
    }
    m_launchStarted = std::chrono::steady_clock::now();
    m_launchEndDescriptor = TakeLaunchEndDescriptor();
    if (m_launchEndDescriptor >= 0) {
        m_launchEnd =
            std::make_unique<QSocketNotifier>(m_launchEndDescriptor, QSocketNotifier::Read);
        connect(m_launchEnd.get(), &QSocketNotifier::activated, this,
                &TavrelSnifferWindow::OnLaunchedCommandEnded);
    }
}

void TavrelSnifferWindow::OnLaunchedCommandEnded() {
    // Once: the descriptor stays readable. A byte says that the command ended on its own; the
    // pipe's end alone, that its guard ended (asked to, as the program ends).
    char ended = 0;
    const bool byItself = ::read(m_launchEndDescriptor, &ended, 1) == 1;
    m_launchEnd->setEnabled(false);
    m_launchEnd.release()->deleteLater();
    ::close(m_launchEndDescriptor);
    m_launchEndDescriptor = -1;
    if (!byItself || std::chrono::steady_clock::now() - m_launchStarted > kLaunchQuickEnd ||
        KeyLogHoldsAKey(m_launchKeyLog))
        return;
    const std::string& program = m_launchCommand.front();
    const QString name = QFile::decodeName(program.substr(program.rfind('/') + 1).c_str());
    ShowNotice(
        m_launchOwnProfile
            ? QStringLiteral("%1 ended at once without writing any key: it probably handed the "
                             "page to a browser that was already running with the same profile "
                             "(started by an earlier --launch-own-profile), which Pelnix cannot "
                             "read. Close that browser first.")
                  .arg(name)
            : QStringLiteral("%1 ended at once without writing any key: it probably handed the "
                             "page to a browser that was already running, which Pelnix cannot "
                             "read. Close that browser first, or start Pelnix with "
                             "--launch-own-profile so that the browser runs apart from it.")
                  .arg(name));
}

void TavrelSnifferWindow::PlaceOnScreen() {
    // The fixed place, moved just enough that the whole window, frame included, stays on the
    // screen it opens on (760 plus the window's width runs off a 1024-pixel-wide screen).
    QPoint at = kWindowPosition;
    if (const QScreen* onScreen = screen()) {
        const QRect area = onScreen->availableGeometry();
        // Before the window is shown the frame is not known yet: the usual one is allowed for.
        const QSize frame =
            frameGeometry().size() != size()
                ? frameGeometry().size()
                : size() + QSize(2 * kFrameAllowance.width(),
                                 kFrameAllowance.width() + kFrameAllowance.height());
        at.setX(std::max(area.left(), std::min(at.x(), area.right() + 1 - frame.width())));
        at.setY(std::max(area.top(), std::min(at.y(), area.bottom() + 1 - frame.height())));
    }
    move(at);
}

CaptureHelperClient::Options TavrelSnifferWindow::CaptureOptions(int generation) {
    CaptureHelperClient::Options options;
    options.helperPath = m_captureHelperPath;
    options.reportCallback = &OnMediaSniffed;
    options.stream = m_captureStream;
    const std::shared_ptr<CaptureEvents> events = m_captureEvents;
    options.noticeCallback = [events](const std::string& text) {
        events->Post(
            [notice = Sentence(text)](TavrelSnifferWindow* window) { window->ShowNotice(notice); });
    };
    options.endCallback = [events, generation] {
        events->Post(
            [generation](TavrelSnifferWindow* window) { window->OnCaptureEnded(generation); });
    };
    if (m_spoolFd >= 0) {
        options.spoolFolderFd = m_spoolFd;
        options.spoolLimitBytes = m_spoolLimit;
        // The copies' ids and states carry the tag of this helper's start.
        const std::uint64_t tag =
            (static_cast<std::uint64_t>(generation - 1) % kMaxHelperCopyTag) + 1;
        m_copyTag = tag;
        SniffedMediaList::SetHelperCopyTag(tag);
        options.copyCallback = [events, tag](const CopyStatus& status) {
            CopyStatus tagged = status;
            tagged.id = TagCopyId(status.id, tag);
            events->Post([tagged, tag](TavrelSnifferWindow* window) {
                // A state that comes after a newer helper took over speaks of a copy it removed.
                if (window->m_mediaList && window->m_copyTag == tag)
                    window->m_mediaList->SetCopyStatus(tagged);
            });
        };
    }
    return options;
}

void TavrelSnifferWindow::OpenCaptureSpool() {
    if (m_spoolFd >= 0 || !m_captureStream.EngineRuns())
        return;
    std::string error;
    m_spoolPath = MakePrivateFolder(g_tempDir, WorkFolderPrefix("pelnix-spool-"), error);
    if (!m_spoolPath.empty())
        m_spoolFd = OpenPrivateFolder(m_spoolPath, error);
    if (m_spoolFd < 0) {
        std::fprintf(stderr, "pelnix: the capture keeps no copies: %s\n", error.c_str());
        if (!m_spoolPath.empty())
            RemoveSpoolFolder(m_spoolPath);
        m_spoolPath.clear();
        return;
    }
    m_spoolLimit = ReadSpoolLimit(g_settingsFile);
    ListSpoolFolder(m_spoolPath);
}

void TavrelSnifferWindow::DiscardCopy(std::uint64_t copyId) {
    const std::uint64_t tag = CopyTag(copyId);
    if (tag == kFileCopyTag) {
        if (m_fileReader)
            m_fileReader->Discard(SpoolCopyId(copyId));
    } else if (tag == m_copyTag && m_capture) {
        // A helper started again removed what the one before kept.
        m_capture->DiscardCopy(SpoolCopyId(copyId));
    }
}

std::optional<TavrelSnifferWindow::CapturedCopyPlace> TavrelSnifferWindow::CapturedCopyOf(
    const SniffedMedia& record) const {
    const std::optional<CopyStatus> status = m_mediaList->CopyOf(record.copyId);
    if (!status)
        return std::nullopt;
    const std::uint64_t tag = CopyTag(record.copyId);
    if (tag == kFileCopyTag && m_fileReader && m_fileReader->SpoolFolderFd() >= 0)
        return CapturedCopyPlace{m_fileReader->SpoolFolderFd(), m_fileReader->SpoolFolder(),
                                 *status};
    if (tag != 0 && tag == m_copyTag && m_spoolFd >= 0)
        return CapturedCopyPlace{m_spoolFd, m_spoolPath, *status};
    return std::nullopt;
}

void TavrelSnifferWindow::StartCapture() {
    m_captureHelperPath = m_captureHelper();
    if (m_captureHelperPath.empty())
        return;
    // The window holds no capture rights: the helper does, and sends what it sniffs.
    // The stream engine's settings: the rules for plain HTTP, the TLS key log, the budget.
    std::string badSettings;
    m_captureStream = ReadStreamSettings(g_settingsFile, &badSettings);
    // The launched command's key log stands in for the settings' one while the window runs.
    if (!m_launchKeyLog.empty())
        m_captureStream.keyLogFile = m_launchKeyLog;
    if (!badSettings.empty())
        ShowMessage(this, kProductName, MB_ICONEXCLAMATION, "%s", badSettings.c_str());
    OpenCaptureSpool();
    m_capture = std::make_shared<CaptureHelperClient>(CaptureOptions(++m_captureGeneration));
    const auto started = m_capture->Start();
    // Its end, even one that came already, is handled once this start is done.
    m_captureRunning = started == CaptureHelperClient::StartResult::Listed;
    for (HelperSession* session : m_capture->Sessions()) g_captureSessions.push_back(session);
    if (started == CaptureHelperClient::StartResult::NotPermitted) {
        ShowMessage(this, kProductName, MB_ICONEXCLAMATION, "%s\n\n%s",
                    CaptureNotPermittedText(m_captureHelperPath).c_str(),
                    "Pelnix opens all the same, but lists nothing until then.");
        ShowCaptureNotice(NotPermittedLine());
    }
}

pid_t TavrelSnifferWindow::CaptureHelperProcess() const {
    return m_capture ? m_capture->HelperProcess() : -1;
}

std::optional<std::chrono::milliseconds> TavrelSnifferWindow::NextCaptureRestart() {
    const auto now = std::chrono::steady_clock::now();
    while (!m_captureFailures.empty() && now - m_captureFailures.front() > kCaptureFailureSpan)
        m_captureFailures.pop_front();
    m_captureFailures.push_back(now);
    if (m_captureFailures.size() > kMaxCaptureFailures)
        return std::nullopt;
    return kFirstRestartPause * (1 << (m_captureFailures.size() - 1));
}

void TavrelSnifferWindow::OnCaptureEnded(int generation) {
    // A helper that never listed its sessions (its start tells why), one that a newer one
    // replaced, or one whose end was already handled is no news.
    if (generation != m_captureGeneration || !m_capture || !m_captureRunning)
        return;
    m_captureRunning = false;
    std::string reason = m_capture->EndFault();
    if (reason.empty())
        reason = "the capture helper ended on its own";
    std::fprintf(stderr, "pelnix: the capture stopped: %s\n", reason.c_str());
    const auto pause = NextCaptureRestart();
    if (!pause) {
        ShowCaptureNotice(Sentence("the capture stopped: " + reason + ". It failed " +
                                   std::to_string(kMaxCaptureFailures + 1) +
                                   " times within a minute, so Pelnix lists no more media until "
                                   "it is started again."));
        return;
    }
    ShowCaptureNotice(Sentence("the capture stopped: " + reason + ". Pelnix starts it again."));
    QTimer::singleShot(*pause, this, [this] { RestartCapture(); });
}

void TavrelSnifferWindow::RestartCapture() {
    if (m_captureStarter.joinable())
        return;
    const int generation = ++m_captureGeneration;
    // The copies the helper before kept went with it (the new one clears the folder).
    m_mediaList->ForgetCopies([](std::uint64_t copyId) { return CopyTag(copyId) != kFileCopyTag; });
    // Started off the GUI thread, which goes on serving the window while the helper opens its
    // adapters; the result comes back through the same hand-over as the helper's notices.
    m_captureStarter = std::thread(
        [events = m_captureEvents, options = CaptureOptions(generation), generation]() mutable {
            auto client = std::make_shared<CaptureHelperClient>(std::move(options));
            const auto result = client->Start();
            events->Post([client, result, generation](TavrelSnifferWindow* window) {
                window->OnCaptureRestarted(client, result, generation);
            });
        });
}

void TavrelSnifferWindow::OnCaptureRestarted(std::shared_ptr<CaptureHelperClient> client,
                                             CaptureHelperClient::StartResult result,
                                             int generation) {
    if (m_captureStarter.joinable())
        m_captureStarter.join();
    if (generation != m_captureGeneration)
        return;
    // The new sessions take over the entries of the old ones on the same adapter that no
    // sighting has used yet: the program's own requests in flight stay unlisted.
    const std::vector<HelperSession*> previous = g_captureSessions;
    g_captureSessions = client->Sessions();
    for (HelperSession* session : g_captureSessions) {
        for (const HelperSession* old : previous) {
            if (old->AdapterName() != session->AdapterName())
                continue;
            for (const auto& [url, count] : old->IgnoreEntries())
                session->IgnoreUrl(url, static_cast<int>(count));
        }
    }
    m_capture = std::move(client);
    if (result == CaptureHelperClient::StartResult::Listed) {
        m_captureRunning = true;
        // An end that the reader told before this start was handed over went unheeded.
        if (m_capture->HasEnded())
            OnCaptureEnded(generation);
        return;
    }
    const std::string reason = m_capture->StartError();
    std::fprintf(stderr, "pelnix: the capture could not start again: %s\n", reason.c_str());
    if (result == CaptureHelperClient::StartResult::NotPermitted) {
        ShowCaptureNotice(NotPermittedLine());
        return;
    }
    const auto pause = NextCaptureRestart();
    if (!pause) {
        ShowCaptureNotice(Sentence("the capture could not start again: " + reason +
                                   ". Pelnix lists no more media until it is started "
                                   "again."));
        return;
    }
    ShowCaptureNotice(
        Sentence("the capture could not start again: " + reason + ". Pelnix tries again."));
    QTimer::singleShot(*pause, this, [this] { RestartCapture(); });
}

void TavrelSnifferWindow::ShowCaptureNotice(const QString& text) {
    // One line for the capture's state, brought up to date, not a box for each change.
    m_statusLine->setText(text);
    m_statusLine->setToolTip(text);
    m_statusLine->show();
}

void TavrelSnifferWindow::OnRemove() {
    const int index = m_mediaList->SelectedRecord();
    if (index == -1)
        return;
    m_mediaList->RemoveAt(index);
}

void TavrelSnifferWindow::OnHelpButton() {
    QDesktopServices::openUrl(QUrl(HelpPageUrl()));
}

void TavrelSnifferWindow::OnListItemChanged() {
    const int index = m_mediaList->SelectedRecord();
    if (index == -1)
        return;
    if (const auto record = m_mediaList->Record(index)) {
        m_previewButton->setEnabled(record->siteFlag == 0);
    }
}

void TavrelSnifferWindow::paintEvent(QPaintEvent* event) {
    TemplateDialog::paintEvent(event);
    if (m_logo.isNull())
        return;
    QPainter painter(this);
    painter.drawPixmap(kLogoBlock.topLeft(), m_logo, QRect(QPoint(0, 0), kLogoBlock.size()));
}

void TavrelSnifferWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter on a focused push button presses it; anywhere else it ends the window.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else {
            accept();
        }
        return;
    }
    TemplateDialog::keyPressEvent(event);
}

bool TavrelSnifferWindow::eventFilter(QObject* watched, QEvent* event) {
    // The pointer entering the window or one of its controls brings the keyboard focus to the
    // list, but only within the window the user already works in: hovering never takes the
    // keyboard from another program's window.
    if (event->type() == QEvent::Enter && isActiveWindow() && !focusWidget())
        m_mediaList->setFocus(Qt::MouseFocusReason);
    return TemplateDialog::eventFilter(watched, event);
}
