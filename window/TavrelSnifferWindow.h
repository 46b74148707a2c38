// The main window: the list of recently sniffed media and the actions on it.
#pragma once

#include <QPixmap>
#include <QPointer>

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/MediaCatalogue.h"
#include "helper/CaptureHelperClient.h"
#include "spool/CopyStatus.h"
#include "widgets/DialogFontScaler.h"
#include "widgets/TemplateDialog.h"

class AdvertPicture;
class CaptureEvents;
class MediaFileWorker;
class NativeDestroyWatch;

class QLabel;
class QMessageBox;
class QSocketNotifier;
class QPushButton;
class SniffedMediaList;

// The help page installed beside the program, relative to the program's folder.
inline constexpr const char* kHelpPagePath = "help/index.html";

class TavrelSnifferWindow : public TemplateDialog {
    Q_OBJECT
public:
    // Gives the capture helper to start, or an empty text for no capture at all; the default
    // finds the helper beside the program or where the package installs it.
    using CaptureHelperLocator = std::function<std::string()>;

    explicit TavrelSnifferWindow(QWidget* parent = nullptr, CaptureHelperLocator helper = {});
    // Stops reading files, deletes the status images, then the list control, then stops the
    // capture helper and ends what --launch started (the command, the key log).
    ~TavrelSnifferWindow() override;

    // Before the window is shown: once the capture runs, `command` (a program and its
    // arguments) is started with SSLKEYLOGFILE set to a private key log that the capture
    // follows in place of the settings' TlsKeyLogFile. A command that cannot be started, or no
    // private folder for its key log, is told in a message; the window opens all the same. A
    // command that ends within kLaunchQuickEnd of its start without a key in its key log is
    // told in a notice (it most likely handed its work to a browser already running);
    // `ownProfile` says that it was given a profile of its own (--launch-own-profile).
    void SetLaunchCommand(std::vector<std::string> command, bool ownProfile = false);

    // Reads capture files (pcap, pcapng) and HAR exports on a worker thread with the rules of
    // --read (the settings' TlsKeyLogFile for HTTPS); their media go to the list as sniffed
    // media do. A file that cannot be read is named in a message.
    void ReadMediaFiles(const std::vector<std::string>& files);

    // Shows a notice of the capture (such as the one that HTTP/3 was seen) once per text, in the
    // status line. From any thread.
    void PostNotice(const std::string& text);

    // The line under the buttons that says what the capture sees and cannot read, or why it
    // stopped: the newest notice, until the next entry is listed. Hidden when it has nothing
    // to say.
    const QLabel* StatusLine() const { return m_statusLine; }

    // The capture helper's process id while one runs, else -1.
    pid_t CaptureHelperProcess() const;

    SniffedMediaList* MediaList() const { return m_mediaList; }

    // The help page's address: the installed page beside the program.
    static QString HelpPageUrl();

    // Plays record `index` (0 is the oldest) with the player.
    void PreviewMedia(int index);
    // Asks where the MP3 goes, fetches record `index` again (or copies it from the capture when
    // the capture holds it whole) and, unless it is MP3 already, extracts its sound into that
    // file; the record's status image tells how far it came.
    void DownloadAndImport(int index);

    // Where the capture's copy of a listed medium lies: the spool's folder (open) and its path,
    // and the copy's state as last told.
    struct CapturedCopyPlace {
        int folderFd = -1;
        std::string folder;
        CopyStatus status;
    };
    // The copy of `record` when the capture keeps one whose spool is still there.
    std::optional<CapturedCopyPlace> CapturedCopyOf(const SniffedMedia& record) const;
    // The capture helper's spool folder while the window keeps copies; empty otherwise.
    const std::string& CaptureSpoolFolder() const { return m_spoolPath; }

protected:
    void OnInitDialog() override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void OnPreview();
    void OnDownload();
    void OnRemove();
    void OnHelpButton();
    void OnListItemChanged();
    void StartCapture();
    // The capture helper's spool: a private folder in the work folder, made with the first
    // capture that runs the stream engine and kept until the window ends.
    void OpenCaptureSpool();
    // Deletes a copy in the spool it lies in (its entry was refused or left the list).
    void DiscardCopy(std::uint64_t copyId);
    // The capture helper's options; its reader thread tells the window through
    // m_captureEvents, tagged with the helper's generation.
    CaptureHelperClient::Options CaptureOptions(int generation);
    // A helper that ended without being asked to: said, and a new one started after a pause
    // that grows with each failure, until too many came in a short time.
    void OnCaptureEnded(int generation);
    void RestartCapture();
    void OnCaptureRestarted(std::shared_ptr<CaptureHelperClient> client,
                            CaptureHelperClient::StartResult result, int generation);
    // Counts a failure of the capture helper; gives the pause before the next start, or
    // nothing when the window gives up.
    std::optional<std::chrono::milliseconds> NextCaptureRestart();
    // The capture's state and its notices, in the status line; the newest wins.
    void ShowCaptureNotice(const QString& text);
    void StartLaunchedCommand();
    void OnLaunchedCommandEnded();
    void ShowNotice(const QString& text);
    void PlaceOnScreen();

    DialogFontScaler m_fontScaler;
    CaptureHelperLocator m_captureHelper;
    // The capture helper and its sessions (listed in g_captureSessions while the window runs).
    std::shared_ptr<CaptureHelperClient> m_capture;
    std::string m_captureHelperPath;
    StreamOptions m_captureStream;
    std::shared_ptr<CaptureEvents> m_captureEvents;
    int m_captureGeneration = 0;
    bool m_captureRunning = false;  // the current helper listed its sessions and has not ended
    // Starts a new helper off the GUI thread (its start waits for the helper's sessions).
    std::thread m_captureStarter;
    // When the helper failed lately (ended on its own, or a new one did not start).
    std::deque<std::chrono::steady_clock::time_point> m_captureFailures;
    QLabel* m_statusLine = nullptr;
    SniffedMediaList* m_mediaList = nullptr;
    QPixmap m_logo;
    QPushButton* m_helpButton = nullptr;
    QPushButton* m_previewButton = nullptr;
    QPushButton* m_removeButton = nullptr;
    QPushButton* m_downloadButton = nullptr;
    AdvertPicture* m_advert = nullptr;  // a child of the window; clicks open the home page
    // --launch: the command and its key log while it exists (their guard ends both).
    std::vector<std::string> m_launchCommand;
    bool m_launchOwnProfile = false;
    std::string m_launchKeyLog;
    // Tells the GUI thread that the command ended: its descriptor (owned) and when it started.
    int m_launchEndDescriptor = -1;
    std::unique_ptr<QSocketNotifier> m_launchEnd;
    std::chrono::steady_clock::time_point m_launchStarted;
    std::unique_ptr<MediaFileWorker> m_fileReader;
    // The capture helper's spool folder: its path and its descriptor (-1: no copies), the
    // limit, and the copy tag of the helper that runs now.
    std::string m_spoolPath;
    int m_spoolFd = -1;
    std::uint64_t m_spoolLimit = 0;
    std::uint64_t m_copyTag = 0;
    std::set<QString> m_noticesShown;
    // Ends the window when another client destroys its native window.
    std::unique_ptr<NativeDestroyWatch> m_destroyWatch;
};
