// The main window: the list of recently sniffed media and the actions on it.
#pragma once

#include <QPixmap>

#include <functional>
#include <memory>
#include <string>

#include "widgets/DialogFontScaler.h"
#include "widgets/TemplateDialog.h"

class AdvertPicture;
class CaptureHelperClient;
class NativeDestroyWatch;

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
    // Deletes the status images, then the list control, then stops the capture helper.
    ~TavrelSnifferWindow() override;

    SniffedMediaList* MediaList() const { return m_mediaList; }

    // The help page's address: the installed page beside the program.
    static QString HelpPageUrl();

    // Plays record `index` (0 is the oldest) with the player.
    void PreviewMedia(int index);
    // Asks where the MP3 goes, fetches record `index` again and, unless it is MP3 already,
    // extracts its sound into that file; the record's status image tells how far it came.
    void DownloadAndImport(int index);

protected:
    void OnInitDialog() override;
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnPreview();
    void OnDownload();
    void OnRemove();
    void OnHelpButton();
    void OnListItemChanged();
    void StartCapture();
    void PlaceOnScreen();

    DialogFontScaler m_fontScaler;
    CaptureHelperLocator m_captureHelper;
    // The capture helper and its sessions (listed in g_captureSessions while the window runs).
    std::unique_ptr<CaptureHelperClient> m_capture;
    SniffedMediaList* m_mediaList = nullptr;
    QPixmap m_logo;
    QPushButton* m_helpButton = nullptr;
    QPushButton* m_previewButton = nullptr;
    QPushButton* m_removeButton = nullptr;
    QPushButton* m_playButton = nullptr;
    QPushButton* m_downloadButton = nullptr;
    AdvertPicture* m_advert = nullptr;  // a child of the window; clicks open the home page
    // Ends the window when another client destroys its native window.
    std::unique_ptr<NativeDestroyWatch> m_destroyWatch;
};
