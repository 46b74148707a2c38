#include "window/AdvertPicture.h"

#include <QDesktopServices>
#include <QUrl>

#include <unistd.h>

#include <cstdio>

#include "base/Globals.h"
#include "base/Settings.h"
#include "http/HttpDownloader.h"
#include "widgets/AnimatedPicture.h"
#include "widgets/GifSplitter.h"
#include "widgets/TemplateDialog.h"

namespace {

// Where the control stands in the window's client area, whatever the picture's size.
constexpr QRect kAdvertPlacement(70, 172, 234, 60);

}  // namespace

// The transfer engine with the picture's size bound: a server never fills the user's folder.
class AdvertDownloader : public HttpDownloader {
protected:
    void OnSizeKnown(std::uint64_t size) override { m_tooLarge = size > kMaxPictureFileBytes; }
    bool WriteData(const char* buffer, std::size_t length) override {
        if (m_tooLarge || length > kMaxPictureFileBytes - m_written)
            return false;
        m_written += length;
        return HttpDownloader::WriteData(buffer, length);
    }

private:
    // Set and read on the transferring thread only.
    bool m_tooLarge = false;
    std::uint64_t m_written = 0;
};

AdvertPicture::AdvertPicture(TemplateDialog* window, int controlId) : QObject(window) {
    auto* control = new AnimatedPicture(window);
    if (!window->ReplaceControl(controlId, control)) {
        delete control;
        return;
    }
    m_control = control;
    connect(control, &AnimatedPicture::clicked, this, &AdvertPicture::OnAdvertClicked);
}

AdvertPicture::~AdvertPicture() {
    if (m_fetch.joinable()) {
        m_downloader->Abort();
        m_fetch.join();
    }
}

std::string AdvertPicture::PicturePath() const {
    return m_folder + "/" + kAdvertFileName;
}
std::string AdvertPicture::DownloadPath() const {
    return m_folder + "/" + kAdvertDownloadName;
}

void AdvertPicture::Start() {
    m_imageUrl = ReadSettingString(g_settingsFile, kProductName, "AdvertImageUrl", "");
    m_homePageUrl = ReadSettingString(g_settingsFile, kProductName, "HomePageUrl", "");
    m_folder = GetUserDataFolder(kProductName);
    // The picture of an earlier start shows with the window; the fetch never holds it back.
    ShowAdvertImage();
    FetchAdvertImage();
}

void AdvertPicture::ShowAdvertImage() {
    if (!m_control)
        return;
    if (m_control->LoadFromFile(PicturePath()))
        m_control->Display();
    m_control->setGeometry(kAdvertPlacement);
}

void AdvertPicture::FetchAdvertImage() {
    if (m_imageUrl.empty() || m_fetch.joinable())
        return;
    m_downloader = std::make_unique<AdvertDownloader>();
    m_downloader->SetUrl(m_imageUrl);
    m_downloader->SetDestinationPath(DownloadPath());
    m_downloader->SetUserAgent(kBrowserUserAgent);
    m_downloader->SetConfirmOverwrite(false);
    m_fetch = std::thread([this, downloader = m_downloader.get(), target = DownloadPath()] {
        const bool downloaded = downloader->Download();
        // A failed fetch leaves no part of a picture behind (a file of an interrupted earlier
        // run included).
        if (!downloaded)
            unlink(target.c_str());
        // The destructor joins this thread before `this` goes, and an event queued for an
        // object that is deleted is dropped with it.
        QMetaObject::invokeMethod(
            this, [this, downloaded] { OnFetchDone(downloaded); }, Qt::QueuedConnection);
    });
}

void AdvertPicture::OnFetchDone(bool downloaded) {
    if (m_fetch.joinable())
        m_fetch.join();
    bool replaced = false;
    if (downloaded && m_control) {
        // Only a file the control can show replaces the picture: an error page served with
        // status 200 must not take the place of a good picture.
        if (m_control->LoadFromFile(DownloadPath())) {
            replaced = std::rename(DownloadPath().c_str(), PicturePath().c_str()) == 0;
            m_control->Display();
            m_control->setGeometry(kAdvertPlacement);
        } else {
            unlink(DownloadPath().c_str());
            ShowAdvertImage();
        }
    } else if (downloaded) {
        unlink(DownloadPath().c_str());
    }
    emit fetchFinished(replaced);
}

void AdvertPicture::OnAdvertClicked() {
    if (m_homePageUrl.empty())
        return;
    QDesktopServices::openUrl(QUrl(QString::fromStdString(m_homePageUrl)));
}
