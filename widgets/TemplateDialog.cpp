#include "widgets/TemplateDialog.h"

#include <QGuiApplication>
#include <QHeaderView>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTreeWidget>

#include "resources/Pictures.h"

TemplateDialog::TemplateDialog(int templateId, QWidget* parent)
    : QDialog(parent), m_template(FindDialogTemplate(templateId)) {
    if (!m_template)
        return;
    using namespace TemplateStyle;
    setWindowTitle(QString::fromLatin1(m_template->caption));
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    if (m_template->style & SysMenu)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (m_template->style & MinimizeBox)
        flags |= Qt::WindowMinimizeButtonHint;
    setWindowFlags(flags);
    setSizeGripEnabled(false);

    for (const DialogItem& item : m_template->items) {
        QWidget* control = CreateControl(item);
        SetDialogControlId(control, item.id);
        control->setEnabled(!(item.style & Disabled));
        control->setVisible(item.style & Visible);
        if (item.id != -1)
            m_controls.insert(item.id, control);
    }
    // What the system does for a dialog: its template's font at the screen's resolution.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dotsPerInch = screen ? screen->logicalDotsPerInchY() : 96.0;
    m_units = DialogFontScaler::LayOutAt(this, *m_template, dotsPerInch > 0 ? dotsPerInch : 96.0);
}

QRect TemplateDialog::MapDialogRect(int x, int y, int cx, int cy) const {
    return DialogFontScaler::MapDialogRect(m_units, x, y, cx, cy);
}

bool TemplateDialog::ReplaceControl(int id, QWidget* replacement) {
    const DialogItem* item = m_template ? m_template->Find(id) : nullptr;
    QWidget* old = Control(id);
    if (!item || !old || !replacement)
        return false;
    replacement->setParent(this);
    SetDialogControlId(replacement, id);
    replacement->setGeometry(old->geometry());
    if (old->testAttribute(Qt::WA_SetFont))
        replacement->setFont(old->font());
    replacement->setEnabled(old->isEnabled());
    replacement->setVisible(!old->isHidden());
    replacement->stackUnder(old);
    m_controls.insert(id, replacement);
    delete old;
    return true;
}

bool TemplateDialog::RemoveControl(int id) {
    QWidget* control = m_controls.take(id);
    if (!control)
        return false;
    MarkDialogControlRemoved(this, id);
    delete control;
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
            if (item.style & AlignRight)
                align = Qt::AlignRight;
            if (item.style & AlignCenter)
                align = Qt::AlignHCenter;
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
