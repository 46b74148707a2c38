#include "resources/TemplateDialog.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QMouseEvent>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

#include "resources/Pictures.h"

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
    }
}

QFont TemplateDialog::TemplateFont(const char* face, int pointSize) {
    // The Windows dialog faces do not exist here. Liberation Sans has the metrics of the
    // classic dialog faces, so texts fit the columns and controls sized for them; the desktop's
    // sans-serif face stands in when it is missing.
    QFont font(QString::fromLatin1(face));
    font.setStyleHint(QFont::SansSerif);
    font.setFamilies({QString::fromLatin1(face), QStringLiteral("Liberation Sans"),
                      QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    font.setPointSize(pointSize);
    return font;
}

TemplateDialog::TemplateDialog(int templateId, QWidget* parent)
    : QDialog(parent), m_template(FindDialogTemplate(templateId)) {
    if (!m_template) return;
    using namespace TemplateStyle;
    setFont(TemplateFont(m_template->fontFace, m_template->pointSize));
    const QFontMetrics metrics(font());
    const QString alphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = std::max(1, (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2);
    m_baseY = std::max(1, metrics.height());

    setWindowTitle(QString::fromLatin1(m_template->caption));
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (m_template->style & SysMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (m_template->style & MinimizeBox) flags |= Qt::WindowMinimizeButtonHint;
    setWindowFlags(flags);
    resize(MapDialogRect(0, 0, m_template->cx, m_template->cy).size());
    setSizeGripEnabled(false);

    for (const DialogItem& item : m_template->items) {
        QWidget* control = CreateControl(item);
        control->setGeometry(MapDialogRect(item.x, item.y, item.cx, item.cy));
        control->setEnabled(!(item.style & Disabled));
        control->setVisible(item.style & Visible);
        if (item.id != -1) m_controls.insert(item.id, control);
    }
}

QRect TemplateDialog::MapDialogRect(int x, int y, int cx, int cy) const {
    return QRect(x * m_baseX / 4, y * m_baseY / 8, cx * m_baseX / 4, cy * m_baseY / 8);
}

bool TemplateDialog::ReplaceControl(int id, QWidget* replacement) {
    const DialogItem* item = m_template ? m_template->Find(id) : nullptr;
    QWidget* old = Control(id);
    if (!item || !old || !replacement) return false;
    replacement->setParent(this);
    replacement->setGeometry(old->geometry());
    replacement->setEnabled(old->isEnabled());
    replacement->setVisible(!old->isHidden());
    replacement->stackUnder(old);
    m_controls.insert(id, replacement);
    delete old;
    return true;
}

void TemplateDialog::showEvent(QShowEvent* event) {
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

QWidget* TemplateDialog::CreateControl(const DialogItem& item) {
    using namespace TemplateStyle;
    const QString text = QString::fromLatin1(item.text);
    switch (item.kind) {
        case ControlKind::ListView: {
            auto* list = new QTreeWidget(this);
            list->setRootIsDecorated(false);
            list->setUniformRowHeights(true);
            list->setItemsExpandable(false);
            list->setSelectionMode((item.style & MultiSelect) ? QAbstractItemView::ExtendedSelection
                                                              : QAbstractItemView::SingleSelection);
            list->setSelectionBehavior(QAbstractItemView::SelectRows);
            list->setEditTriggers(QAbstractItemView::NoEditTriggers);
            list->header()->setStretchLastSection(false);
            return list;
        }
        case ControlKind::PushButton: {
            auto* button = new QPushButton(text, this);
            button->setAutoDefault(false);
            button->setFocusPolicy((item.style & TabStop) ? Qt::StrongFocus : Qt::ClickFocus);
            return button;
        }
        case ControlKind::Static: {
            QLabel* label = (item.style & Notify) ? new ClickableLabel(this) : new QLabel(this);
            // Text shown in a static control is never interpreted as markup.
            label->setTextFormat(Qt::PlainText);
            label->setText(text);
            Qt::Alignment align = Qt::AlignLeft;
            if (item.style & AlignRight) align = Qt::AlignRight;
            if (item.style & AlignCenter) align = Qt::AlignHCenter;
            label->setAlignment(align | Qt::AlignVCenter);
            return label;
        }
        case ControlKind::Animation: {
            auto* label = new QLabel(this);
            label->setAlignment(Qt::AlignCenter);
            auto* movie = new QMovie(DownloadClipPath(), QByteArray(), label);
            label->setMovie(movie);
            return label;
        }
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(this);
            bar->setTextVisible(false);
            bar->setRange(0, 100);
            bar->setValue(0);
            return bar;
        }
    }
    return new QWidget(this);
}
