// The list control of the main window: shows the catalogue's records newest first, and takes
// the reports of the capture threads on the GUI thread.
#pragma once

#include <QList>
#include <QPixmap>
#include <QTreeWidget>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "catalogue/MediaCatalogue.h"
#include "spool/CopyStatus.h"

class TemplateDialog;
class VideoPictures;

class SniffedMediaList : public QTreeWidget {
    Q_OBJECT
public:
    // `window` owns the action buttons (1138, 1139, 1141) that Refresh enables. The list
    // becomes the one that OnMediaSniffed reports to.
    explicit SniffedMediaList(TemplateDialog* window);
    // Stops taking reports first (a report that arrives now is dropped), then goes.
    ~SniffedMediaList() override;

    // Applies the catalogue's rules to one report and shows the result. GUI thread only.
    void AddSniffedMedia(const MediaReport& report, std::time_t when);
    void AddSniffedMedia(const std::string& urlText, const std::string& requestHeaders,
                         const std::string& lengthText, const std::string& typeText,
                         std::time_t when);

    // Record index of the first selected row from the top, or -1.
    int SelectedRecord() const;
    void RemoveAt(int index);
    // The status images: not downloaded (red), downloading (yellow), downloaded (green).
    static constexpr int kNotDownloaded = 0;
    static constexpr int kDownloading = 1;
    static constexpr int kDownloaded = 2;
    // Stores the image index and changes that row's image without rebuilding the rows.
    void SetStatusImage(int index, int image);
    // The same for the record numbered `number`, wherever it stands now; nothing when it is gone.
    void SetStatusImageOfNumber(int number, int image);
    // Rebuilds every row, enables or disables the action buttons, selects the newest row.
    void Refresh();
    // Keeps where the download of the record numbered `number` went, for its Open Folder.
    void SetDownloadedFile(int number, std::string path);
    // Takes a picture of the downloaded video `path` (a local file of `type`) for the tool tip of
    // the record numbered `number`, off the GUI thread; a file that holds no picture gives none,
    // silently.
    void TakePictureOf(int number, std::string path, std::string type);
    // Puts `png` (a picture of the record's video) into the tool tip of the record numbered
    // `number`, if it is still listed. GUI thread only.
    void SetPicture(int number, const QByteArray& png);
    // Pictures kept, at most one per listed record.
    std::size_t PictureCount() const { return m_pictures.size(); }
    // Puts the URLs of the selected rows on the clipboard, one a line, top to bottom (Ctrl+C).
    void CopySelectedUrls() const;
    // A URL as it goes to the clipboard: every byte that is a control character, a space or
    // not ASCII percent-encoded, so that pasting it anywhere (a terminal too) pastes one URL.
    static QString ClipboardUrl(std::string_view url);

    int Count() const { return m_catalogue.Count(); }
    std::optional<SniffedMedia> Record(int index) const { return m_catalogue.Record(index); }

    // The three status images (red, yellow, green) cut from bitmap 204.
    static QList<QPixmap> StatusImages();

    // At most this many reports wait for the GUI thread, so a flood of traffic cannot grow
    // memory without bound: beyond it the oldest waiting report is dropped (the list keeps the
    // newest records anyway).
    static constexpr std::size_t kMaxQueuedReports = 4096;
    // Reports dropped so far because too many were waiting.
    std::uint64_t DroppedReports() const;

    // Hands a report from any thread to the list that is current, if any (see OnMediaSniffed).
    static void QueueReport(MediaReport report);
    // The tag (window/CapturedCopy.h) OnMediaSniffed gives the copy ids of the capture helper's
    // reports: that of the helper that runs now. Any thread.
    static void SetHelperCopyTag(std::uint64_t tag);

    // The capture's copies of the listed media, by the (tagged) copy id their records carry.
    // Takes a copy's new state and shows it in the rows that hold it: the mark after the size
    // of a whole copy, and the tool tip's "Captured:" line. GUI thread only.
    void SetCopyStatus(const CopyStatus& status);
    // A copy's state as last told; nothing when none was told or it is gone.
    std::optional<CopyStatus> CopyOf(std::uint64_t copyId) const;
    // Forgets the states of the copies `which` picks (a spool that went).
    void ForgetCopies(const std::function<bool(std::uint64_t copyId)>& which);
    // How a copy is deleted: that of a report the catalogue refused (unless a record holds it),
    // and that of a record that left the list (the oldest past the catalogue's limit, or
    // removed).
    void SetCopyDiscard(std::function<void(std::uint64_t copyId)> discard);
    // The mark of a row whose copy is whole, at the right end of its size; the size cell of such
    // a row holds true in this role.
    static QPixmap WholeCopyMark();
    static constexpr int kWholeCopyRole = Qt::UserRole + 1;

protected:
    // A row's menu: Copy URL and, for a record whose download finished, Open Folder.
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Report {
        MediaReport report;
        std::time_t when;
    };
    void DrainReports();
    void SetActionButtonsEnabled(bool enabled);
    // Applies a report, deleting the copy of one that is refused; whether the list changed.
    bool Apply(const Report& report);
    // Deletes the copies no record holds any more, and forgets their states.
    void DiscardLeftCopies(const std::vector<SniffedMedia>& records);
    void ShowCopy(QTreeWidgetItem* item, const SniffedMedia& record, const QString& picture);

    TemplateDialog* m_window;
    MediaCatalogue m_catalogue;
    QList<QPixmap> m_images;
    // Where finished downloads went, by record number (only of records still listed).
    std::map<int, std::string> m_downloadedFiles;
    // The pictures of downloaded videos, by record number (only of records still listed), as the
    // <img> of their tool tips.
    std::map<int, QString> m_pictures;
    std::unique_ptr<VideoPictures> m_pictureMaker;  // made with the first picture asked for
    // The copies' states by copy id, and the copies the listed records held at the last
    // refresh.
    std::map<std::uint64_t, CopyStatus> m_copies;
    std::vector<std::uint64_t> m_heldCopies;
    std::function<void(std::uint64_t)> m_discardCopy;
    QPixmap m_wholeMark;

    // Reports from capture threads, waiting for the GUI thread; guarded by s_reportMutex.
    std::deque<Report> m_pending;
    bool m_drainPosted = false;
    std::uint64_t m_droppedReports = 0;
};

// The report callback installed on every capture session: when the main window's list exists,
// hands the report to the GUI thread. Safe on any thread.
void OnMediaSniffed(MediaReport report);
