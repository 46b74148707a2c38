// The advert picture of the main window: an animated picture in place of the window's clickable
// static control, showing the picture fetched at an earlier start at once, fetching a fresh one
// off the GUI thread, and opening the home page when clicked.
//
// Both addresses are settings (AdvertImageUrl, HomePageUrl); without the first nothing is
// fetched, without the second a click does nothing. The pictures live in the per-user data
// folder, since the program's folder is not writable once installed: the fetch writes
// imageNew.gif, and a fetched file that the control can show replaces image.gif.
#pragma once

#include <QObject>
#include <QPointer>

#include <memory>
#include <string>
#include <thread>

#include "widgets/AnimatedPicture.h"

class TemplateDialog;
class AdvertDownloader;

inline constexpr const char* kAdvertFileName = "image.gif";
inline constexpr const char* kAdvertDownloadName = "imageNew.gif";

class AdvertPicture : public QObject {
    Q_OBJECT
public:
    // Puts an animated picture in place of control `controlId` of `window` (same place in the
    // window, same id) and makes its clicks open the home page.
    AdvertPicture(TemplateDialog* window, int controlId);
    // Ends a running fetch (abort, then wait for its thread).
    ~AdvertPicture() override;

    // Reads the two settings and the folder, shows the picture of an earlier start, places the
    // control, then starts the fetch on a thread of its own. Returns at once.
    void Start();

    AnimatedPicture* Control() const { return m_control; }
    // Where the pictures live (the per-user data folder once Start ran).
    std::string PicturePath() const;
    std::string DownloadPath() const;
    bool IsFetching() const { return m_fetch.joinable(); }

signals:
    // The fetch ended; `replaced` tells whether a new picture now shows.
    void fetchFinished(bool replaced);

private:
    void ShowAdvertImage();
    void FetchAdvertImage();
    void OnFetchDone(bool downloaded);
    void OnAdvertClicked();

    QPointer<AnimatedPicture> m_control;
    std::string m_folder;
    std::string m_imageUrl;
    std::string m_homePageUrl;
    std::unique_ptr<AdvertDownloader> m_downloader;
    std::thread m_fetch;
};
