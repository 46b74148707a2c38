#include "window/SniffedMediaList.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMetaObject>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QUrl>

#include <algorithm>
#include <atomic>
#include <ctime>

#include "base/Globals.h"
#include "base/Text.h"
#include "resources/Pictures.h"
#include "widgets/TemplateDialog.h"
#include "window/CapturedCopy.h"
#include "window/VideoPictures.h"

namespace {

// Guards s_current and every list's pending queue. Capture threads only post under it; they
// never wait for the GUI thread.
std::mutex s_reportMutex;
SniffedMediaList* s_current = nullptr;
// The tag of the capture helper's copies (window/CapturedCopy.h); 0: its reports carry none.
std::atomic<std::uint64_t> s_helperCopyTag{0};

// The column whose cell carries the mark of a whole copy, at its right end, and the room kept
// for it there.
constexpr int kCopyMarkColumn = 2;
constexpr int kCopyMarkRoom = 14;
// Copy states kept of copies no record holds (their reports wait, or were dropped): at most
// this many.
constexpr std::size_t kMaxLooseCopies = 1024;

// The first column may be edited in place, but nothing accepts the edit: it is discarded.
class DiscardingDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}
};

// The size cell of a row whose copy is whole ends in the mark; its text gives way only as far as
// the mark needs (a size that is too long is cut short as before).
class CopyMarkDelegate : public QStyledItemDelegate {
public:
    CopyMarkDelegate(QObject* parent, QPixmap mark) : QStyledItemDelegate(parent), m_mark(mark) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        if (!index.data(SniffedMediaList::kWholeCopyRole).toBool()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        // The row's background across the whole cell, the text short of the mark, the mark.
        QStyleOptionViewItem whole(option);
        initStyleOption(&whole, index);
        whole.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &whole, painter, widget);
        QStyleOptionViewItem text(option);
        text.rect.setRight(option.rect.right() - kCopyMarkRoom);
        QStyledItemDelegate::paint(painter, text, index);
        const QPoint at(option.rect.right() - kCopyMarkRoom + 1,
                        option.rect.center().y() - m_mark.height() / 2);
        painter->drawPixmap(at, m_mark);
    }

private:
    QPixmap m_mark;
};

constexpr int kActionButtons[] = {1138, 1139, 1141};

// A tool tip shows this much of a URL, in lines of this many characters (a URL has no spaces to
// wrap at).
constexpr qsizetype kTipUrlCharacters = 2048;
constexpr qsizetype kTipLineCharacters = 64;

// Network text as pieces that show what it holds: every character as it is, except control and
// format characters (which could ring, move the cursor or turn text around), each shown as an
// escape: \x07, \u202e. Bytes that are not UTF-8 show as the replacement character.
QStringList VisiblePieces(std::string_view text) {
    QStringList pieces;
    const QString decoded = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    for (qsizetype i = 0; i < decoded.size(); ++i) {
        const char32_t c = decoded.at(i).isHighSurrogate() && i + 1 < decoded.size() &&
                                   decoded.at(i + 1).isLowSurrogate()
                               ? QChar::surrogateToUcs4(decoded.at(i), decoded.at(i + 1))
                               : decoded.at(i).unicode();
        const qsizetype length = c > 0xFFFF ? 2 : 1;
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Control || category == QChar::Other_Format ||
            category == QChar::Separator_Line || category == QChar::Separator_Paragraph) {
            pieces << (c <= 0xFF ? QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'))
                                 : QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0')));
        } else {
            pieces << decoded.mid(i, length);
        }
        i += length - 1;
    }
    return pieces;
}

QString Visible(std::string_view text) {
    return VisiblePieces(text).join(QString());
}

// The URL for a tool tip: escaped, cut after kTipUrlCharacters, in lines that never split an
// escape.
QString VisibleUrlLines(std::string_view url) {
    const QStringList pieces = VisiblePieces(url);
    QString lines, line;
    qsizetype shown = 0;
    for (const QString& piece : pieces) {
        if (shown >= kTipUrlCharacters) {
            line += QStringLiteral(" \u2026");
            break;
        }
        if (line.size() + piece.size() > kTipLineCharacters) {
            lines += line + QLatin1Char('\n');
            line.clear();
        }
        line += piece;
        shown += piece.size();
    }
    return lines + line;
}

// "1,202,270 bytes".
QString ByteCountText(std::uint64_t bytes) {
    QString digits = QString::number(bytes);
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3) digits.insert(at, QLatin1Char(','));
    return digits + (bytes == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));
}

// What a row is: the picture of its downloaded video (`picture`, rich text of our own making;
// empty for none), the host and file name of its URL (a stream's is its playlist's), the whole
// URL, its type and exact size, and a stream's variants. Every part from the network is shown as
// plain text with its control characters escaped.
QString RowToolTip(const SniffedMedia& record, const QString& picture, const CopyStatus* copy) {
    std::string_view url = record.url;
    std::string_view rest = url;
    if (const std::size_t scheme = rest.find("://"); scheme != std::string_view::npos)
        rest.remove_prefix(scheme + 3);
    const std::size_t hostEnd = rest.find_first_of("/?#");
    const std::string_view host = rest.substr(0, hostEnd);
    std::string_view path =
        hostEnd == std::string_view::npos ? std::string_view() : rest.substr(hostEnd);
    path = path.substr(0, path.find_first_of("?#"));
    const std::size_t slash = path.rfind('/');
    const std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);

    QString text = file.empty() ? Visible(host)
                                : QStringLiteral("%1 from %2").arg(Visible(file), Visible(host));
    text += QLatin1Char('\n') + VisibleUrlLines(url);
    text += QStringLiteral("\nType: ") + Visible(record.type);
    if (!record.kind.empty() && record.size == 0)
        text += QStringLiteral("\nSize: not known yet");
    else
        text += QStringLiteral("\nSize: ") + ByteCountText(record.size);
    if (copy) {
        if (const std::string line = CopyStateLine(*copy); !line.empty())
            text += QLatin1Char('\n') + QString::fromStdString(line);
    }
    if (!record.kind.empty() && !record.detail.empty()) {
        // A stream's variants, best first.
        text += QLatin1Char('\n');
        std::string_view detail = Trim(record.detail);
        while (!detail.empty()) {
            const std::size_t end = detail.find('\n');
            text += QLatin1Char('\n') + Visible(Trim(detail.substr(0, end)));
            detail = end == std::string_view::npos ? std::string_view() : detail.substr(end + 1);
        }
    }
    return picture + Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

// The <img> of a picture in a tool tip: its PNG bytes inline as base64, which holds no markup.
QString PictureHtml(const QByteArray& png) {
    return QStringLiteral("<p><img src=\"data:image/png;base64,%1\"></p>")
        .arg(QString::fromLatin1(png.toBase64()));
}

}  // namespace

QList<QPixmap> SniffedMediaList::StatusImages() {
    const QImage strip = LoadBitmapResource(IDB_STATUS).toImage();
    QList<QPixmap> images;
    for (int i = 0; i < 3; ++i) {
        QPixmap image = QPixmap::fromImage(strip.copy(i * 16, 0, 16, 15));
        image.setMask(image.createMaskFromColor(Qt::white));  // white is transparent
        images.append(image);
    }
    return images;
}

SniffedMediaList::SniffedMediaList(TemplateDialog* window) : QTreeWidget(window), m_window(window) {
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setItemsExpandable(false);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    setItemDelegateForColumn(0, new DiscardingDelegate(this));
    setIconSize(QSize(16, 15));
    // The Size column takes the room up to the list's edge: a size of a whole copy shares its
    // cell with the mark, and "14.95 MB" would otherwise be cut short.
    header()->setStretchLastSection(true);
    header()->setSectionsMovable(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setHeaderLabels(
        {QStringLiteral("Time Sniffed"), QStringLiteral("Type"), QStringLiteral("Size")});
    setColumnWidth(0, 106);
    setColumnWidth(1, 44);
    setColumnWidth(2, 64);
    m_images = StatusImages();
    m_wholeMark = WholeCopyMark();
    setItemDelegateForColumn(kCopyMarkColumn, new CopyMarkDelegate(this, m_wholeMark));

    std::lock_guard lock(s_reportMutex);
    s_current = this;
}

SniffedMediaList::~SniffedMediaList() {
    // The picture at hand is stopped before anything it could hand over to goes.
    m_pictureMaker.reset();
    {
        std::lock_guard lock(s_reportMutex);
        if (s_current == this)
            s_current = nullptr;
        m_pending.clear();
    }
    m_catalogue.Close();
    // Queued drains addressed to this object are removed by QObject's destructor.
}

void OnMediaSniffed(MediaReport report) {
    report.copyId = TagCopyId(report.copyId, s_helperCopyTag.load());
    SniffedMediaList::QueueReport(std::move(report));
}

void SniffedMediaList::SetHelperCopyTag(std::uint64_t tag) {
    s_helperCopyTag = tag;
}

QPixmap SniffedMediaList::WholeCopyMark() {
    // A filled disk with a tick, on a clear ground.
    QPixmap mark(12, 12);
    mark.fill(Qt::transparent);
    QPainter painter(&mark);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0, 102, 204));
    painter.drawEllipse(QRectF(0.5, 0.5, 11.0, 11.0));
    QPen tick(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(tick);
    painter.setBrush(Qt::NoBrush);
    const QPointF points[] = {{3.3, 6.2}, {5.3, 8.4}, {8.9, 3.9}};
    painter.drawPolyline(points, 3);
    return mark;
}

void SniffedMediaList::SetCopyDiscard(std::function<void(std::uint64_t)> discard) {
    m_discardCopy = std::move(discard);
}

std::optional<CopyStatus> SniffedMediaList::CopyOf(std::uint64_t copyId) const {
    const auto found = m_copies.find(copyId);
    if (copyId == 0 || found == m_copies.end())
        return std::nullopt;
    return found->second;
}

void SniffedMediaList::ForgetCopies(const std::function<bool(std::uint64_t)>& which) {
    for (auto it = m_copies.begin(); it != m_copies.end();)
        it = which(it->first) ? m_copies.erase(it) : std::next(it);
    const std::vector<SniffedMedia> records = m_catalogue.Records();
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].copyId != 0 && which(records[i].copyId))
            ShowCopy(topLevelItem(static_cast<int>(records.size() - 1 - i)), records[i],
                     m_pictures.count(records[i].number) ? m_pictures[records[i].number]
                                                         : QString());
    }
}

void SniffedMediaList::SetCopyStatus(const CopyStatus& status) {
    if (status.id == 0)
        return;
    if (status.state == CopyState::Gone) {
        m_copies.erase(status.id);
    } else {
        m_copies[status.id] = status;
        if (m_copies.size() > m_heldCopies.size() + kMaxLooseCopies) {
            // The oldest states no record holds go first.
            for (auto it = m_copies.begin(); it != m_copies.end() && it->first != status.id;) {
                const bool held = std::find(m_heldCopies.begin(), m_heldCopies.end(),
                                            it->first) != m_heldCopies.end();
                it = held ? std::next(it) : m_copies.erase(it);
                if (m_copies.size() <= m_heldCopies.size() + kMaxLooseCopies)
                    break;
            }
        }
    }
    const std::vector<SniffedMedia> records = m_catalogue.Records();
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].copyId != status.id)
            continue;
        const auto picture = m_pictures.find(records[i].number);
        ShowCopy(topLevelItem(static_cast<int>(records.size() - 1 - i)), records[i],
                 picture == m_pictures.end() ? QString() : picture->second);
    }
}

void SniffedMediaList::ShowCopy(QTreeWidgetItem* item, const SniffedMedia& record,
                                const QString& picture) {
    if (!item)
        return;
    const std::optional<CopyStatus> copy = CopyOf(record.copyId);
    const QString tip = RowToolTip(record, picture, copy ? &*copy : nullptr);
    for (int column = 0; column < 3; ++column) item->setToolTip(column, tip);
    const bool whole = copy && copy->state == CopyState::Whole;
    item->setData(kCopyMarkColumn, kWholeCopyRole, whole);
}

bool SniffedMediaList::Apply(const Report& r) {
    const CatalogueChange change = m_catalogue.Apply(r.report, r.when);
    if (change.kind != CatalogueChange::Kind::Refused)
        return true;
    // A later range of a listed medium shares the listed record's copy.
    const std::uint64_t copyId = r.report.copyId;
    if (copyId != 0 && !m_catalogue.HoldsCopy(copyId)) {
        m_copies.erase(copyId);
        if (m_discardCopy)
            m_discardCopy(copyId);
    }
    return false;
}

void SniffedMediaList::DiscardLeftCopies(const std::vector<SniffedMedia>& records) {
    std::vector<std::uint64_t> held;
    for (const SniffedMedia& record : records) {
        if (record.copyId != 0)
            held.push_back(record.copyId);
    }
    for (const std::uint64_t copyId : m_heldCopies) {
        if (std::find(held.begin(), held.end(), copyId) != held.end())
            continue;
        m_copies.erase(copyId);
        if (m_discardCopy)
            m_discardCopy(copyId);
    }
    m_heldCopies = std::move(held);
}

void SniffedMediaList::QueueReport(MediaReport report) {
    const std::time_t when = std::time(nullptr);
    std::lock_guard lock(s_reportMutex);
    SniffedMediaList* list = s_current;
    if (!list)
        return;  // no list, or it is being torn down: the report is dropped
    if (list->m_pending.size() >= kMaxQueuedReports) {
        // The list keeps only the newest records anyway: the oldest waiting report goes.
        list->m_pending.pop_front();
        ++list->m_droppedReports;
    }
    list->m_pending.push_back({std::move(report), when});
    if (!list->m_drainPosted) {
        // One queued call drains everything that arrived meanwhile: a flood costs one refresh
        // per turn of the event loop, not one per report.
        list->m_drainPosted = true;
        QMetaObject::invokeMethod(list, &SniffedMediaList::DrainReports, Qt::QueuedConnection);
    }
}

std::uint64_t SniffedMediaList::DroppedReports() const {
    std::lock_guard lock(s_reportMutex);
    return m_droppedReports;
}

void SniffedMediaList::DrainReports() {
    std::deque<Report> batch;
    {
        std::lock_guard lock(s_reportMutex);
        batch.swap(m_pending);
        m_drainPosted = false;
    }
    // A range that completes a listed file or a playlist seen again updates its record in place.
    bool changed = false;
    for (const Report& r : batch) {
        if (Apply(r))
            changed = true;
    }
    if (changed)
        Refresh();
}

void SniffedMediaList::AddSniffedMedia(const MediaReport& report, std::time_t when) {
    if (Apply({report, when}))
        Refresh();
}

void SniffedMediaList::AddSniffedMedia(const std::string& urlText,
                                       const std::string& requestHeaders,
                                       const std::string& lengthText, const std::string& typeText,
                                       std::time_t when) {
    AddSniffedMedia(PlainReport(urlText, requestHeaders, lengthText, typeText), when);
}

int SniffedMediaList::SelectedRecord() const {
    const int count = m_catalogue.Count();
    for (int row = 0; row < topLevelItemCount(); ++row) {
        if (topLevelItem(row)->isSelected()) {
            const int index = count - 1 - row;
            return index >= 0 ? index : -1;
        }
    }
    return -1;
}

void SniffedMediaList::RemoveAt(int index) {
    if (m_catalogue.RemoveAt(index))
        Refresh();
}

void SniffedMediaList::SetStatusImage(int index, int image) {
    if (image < 0 || image >= m_images.size())
        return;
    if (!m_catalogue.SetStatusImage(index, image))
        return;
    const int row = m_catalogue.Count() - 1 - index;
    if (QTreeWidgetItem* item = topLevelItem(row))
        item->setIcon(0, QIcon(m_images[image]));
}

void SniffedMediaList::SetStatusImageOfNumber(int number, int image) {
    if (image < 0 || image >= m_images.size())
        return;
    const int index = m_catalogue.SetStatusImageOfNumber(number, image);
    if (index < 0)
        return;
    const int row = m_catalogue.Count() - 1 - index;
    if (QTreeWidgetItem* item = topLevelItem(row))
        item->setIcon(0, QIcon(m_images[image]));
}

void SniffedMediaList::Refresh() {
    const std::vector<SniffedMedia> records = m_catalogue.Records();
    clear();
    QList<QTreeWidgetItem*> rows;
    rows.reserve(static_cast<qsizetype>(records.size()));
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        auto* item = new QTreeWidgetItem({QString::fromStdString(RecordTitleText(*it)),
                                          QString::fromStdString(it->type),
                                          QString::fromStdString(RecordSizeText(*it))});
        item->setFlags(item->flags() | Qt::ItemIsEditable);
        const auto picture = m_pictures.find(it->number);
        ShowCopy(item, *it, picture == m_pictures.end() ? QString() : picture->second);
        if (it->statusImage >= 0 && it->statusImage < m_images.size()) {
            item->setIcon(0, QIcon(m_images[it->statusImage]));
        }
        rows.append(item);
    }
    addTopLevelItems(rows);
    DiscardLeftCopies(records);
    // Only the listed records' downloads are kept.
    for (auto it = m_downloadedFiles.begin(); it != m_downloadedFiles.end();) {
        const bool listed = std::any_of(records.begin(), records.end(), [&](const SniffedMedia& r) {
            return r.number == it->first;
        });
        it = listed ? std::next(it) : m_downloadedFiles.erase(it);
    }
    for (auto it = m_pictures.begin(); it != m_pictures.end();) {
        const bool listed = std::any_of(records.begin(), records.end(), [&](const SniffedMedia& r) {
            return r.number == it->first;
        });
        it = listed ? std::next(it) : m_pictures.erase(it);
    }
    SetActionButtonsEnabled(!records.empty());
    if (!rows.isEmpty()) {
        clearSelection();
        setCurrentItem(rows.front());  // selects the newest row only
    }
}

void SniffedMediaList::SetDownloadedFile(int number, std::string path) {
    m_downloadedFiles[number] = std::move(path);
}

void SniffedMediaList::TakePictureOf(int number, std::string path, std::string type) {
    if (!m_pictureMaker) {
        m_pictureMaker = std::make_unique<VideoPictures>(
            this,
            [this](int picturedNumber, const QByteArray& png) { SetPicture(picturedNumber, png); });
    }
    m_pictureMaker->Take(number, std::move(path), std::move(type), g_ffmpegExe);
}

void SniffedMediaList::SetPicture(int number, const QByteArray& png) {
    const std::vector<SniffedMedia> records = m_catalogue.Records();
    const auto record = std::find_if(records.begin(), records.end(),
                                     [&](const SniffedMedia& r) { return r.number == number; });
    if (record == records.end() || png.isEmpty())
        return;
    const QString picture = PictureHtml(png);
    m_pictures[number] = picture;
    // Only that row's tips change: the selection stays as it is.
    const int row = static_cast<int>(records.end() - record) - 1;
    ShowCopy(topLevelItem(row), *record, picture);
}

QString SniffedMediaList::ClipboardUrl(std::string_view url) {
    QString text;
    text.reserve(static_cast<qsizetype>(url.size()));
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F)
            text += QStringLiteral("%%1").arg(uint(byte), 2, 16, QLatin1Char('0')).toUpper();
        else
            text += QLatin1Char(c);
    }
    return text;
}

void SniffedMediaList::CopySelectedUrls() const {
    const std::vector<SniffedMedia> records = m_catalogue.Records();
    QStringList urls;
    for (int row = 0; row < topLevelItemCount(); ++row) {
        const auto index = static_cast<std::size_t>(static_cast<int>(records.size()) - 1 - row);
        if (topLevelItem(row)->isSelected() && index < records.size())
            urls << ClipboardUrl(records[index].url);
    }
    if (!urls.isEmpty())
        QGuiApplication::clipboard()->setText(urls.join(QLatin1Char('\n')));
}

void SniffedMediaList::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        CopySelectedUrls();
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void SniffedMediaList::contextMenuEvent(QContextMenuEvent* event) {
    // From the keyboard the menu is the current row's, under that row.
    const bool byMouse = event->reason() == QContextMenuEvent::Mouse;
    QTreeWidgetItem* item = byMouse ? itemAt(event->pos()) : currentItem();
    if (!item)
        return;
    const int index = m_catalogue.Count() - 1 - indexOfTopLevelItem(item);
    // A copy: records that arrive while the menu is open shift every index.
    const std::optional<SniffedMedia> record = m_catalogue.Record(index);
    if (!record)
        return;
    if (!item->isSelected()) {
        clearSelection();
        setCurrentItem(item);
    }
    QMenu menu(this);
    connect(menu.addAction(QStringLiteral("Copy URL")), &QAction::triggered, this,
            [url = ClipboardUrl(record->url)] { QGuiApplication::clipboard()->setText(url); });
    const auto downloaded = m_downloadedFiles.find(record->number);
    if (record->statusImage == kDownloaded && downloaded != m_downloadedFiles.end()) {
        const QString folder =
            QFileInfo(QFile::decodeName(QByteArray::fromStdString(downloaded->second)))
                .absolutePath();
        connect(menu.addAction(QStringLiteral("Open Folder")), &QAction::triggered, this,
                [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
    }
    const QPoint at =
        byMouse ? event->globalPos() : viewport()->mapToGlobal(visualItemRect(item).bottomLeft());
    menu.exec(at);
}

void SniffedMediaList::SetActionButtonsEnabled(bool enabled) {
    if (!m_window)
        return;
    for (int id : kActionButtons) {
        if (QWidget* button = m_window->Control(id))
            button->setEnabled(enabled);
    }
}
