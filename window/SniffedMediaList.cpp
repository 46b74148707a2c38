#include "window/SniffedMediaList.h"

#include <QAbstractItemView>
#include <QHeaderView>
#include <QMetaObject>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTextDocument>

#include <ctime>

#include "resources/Pictures.h"
#include "widgets/TemplateDialog.h"

namespace {

// Guards s_current and every list's pending queue. Capture threads only post under it; they
// never wait for the GUI thread.
std::mutex s_reportMutex;
SniffedMediaList* s_current = nullptr;

// The first column may be edited in place, but nothing accepts the edit: it is discarded.
class DiscardingDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}
};

constexpr int kActionButtons[] = {1138, 1139, 1141};

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
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
    header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setHeaderLabels(
        {QStringLiteral("Time Sniffed"), QStringLiteral("Type"), QStringLiteral("Size")});
    setColumnWidth(0, 106);
    setColumnWidth(1, 44);
    setColumnWidth(2, 64);
    m_images = StatusImages();

    std::lock_guard lock(s_reportMutex);
    s_current = this;
}

SniffedMediaList::~SniffedMediaList() {
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
    SniffedMediaList::QueueReport(std::move(report));
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
        if (m_catalogue.Apply(r.report, r.when).kind != CatalogueChange::Kind::Refused)
            changed = true;
    }
    if (changed)
        Refresh();
}

void SniffedMediaList::AddSniffedMedia(const MediaReport& report, std::time_t when) {
    if (m_catalogue.Apply(report, when).kind != CatalogueChange::Kind::Refused)
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
        if (!it->kind.empty() && !it->detail.empty()) {
            // A stream's variants, best first; network text, shown as plain text whatever it holds.
            const QString tip = Qt::convertFromPlainText(
                QString::fromStdString(it->detail).trimmed(), Qt::WhiteSpaceNormal);
            for (int column = 0; column < 3; ++column) item->setToolTip(column, tip);
        }
        if (it->statusImage >= 0 && it->statusImage < m_images.size()) {
            item->setIcon(0, QIcon(m_images[it->statusImage]));
        }
        rows.append(item);
    }
    addTopLevelItems(rows);
    SetActionButtonsEnabled(!records.empty());
    if (!rows.isEmpty()) {
        clearSelection();
        setCurrentItem(rows.front());  // selects the newest row only
    }
}

void SniffedMediaList::SetActionButtonsEnabled(bool enabled) {
    if (!m_window)
        return;
    for (int id : kActionButtons) {
        if (QWidget* button = m_window->Control(id))
            button->setEnabled(enabled);
    }
}
