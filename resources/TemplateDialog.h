// A dialog whose controls are built from a dialog template and addressed by numeric id.
#pragma once

#include <QDialog>
#include <QFont>
#include <QHash>
#include <QLabel>
#include <QRect>

#include "resources/DialogTemplates.h"

// A static control that reports clicks (the Notify style).
class ClickableLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

class TemplateDialog : public QDialog {
    Q_OBJECT
public:
    // Builds every control of template `templateId`. An unknown id builds an empty dialog.
    explicit TemplateDialog(int templateId, QWidget* parent = nullptr);

    // The control with `id`, or nullptr.
    QWidget* Control(int id) const { return m_controls.value(id, nullptr); }
    template <typename T>
    T* ControlAs(int id) const {
        return qobject_cast<T*>(Control(id));
    }

    const DialogTemplate* Template() const { return m_template; }

    // Converts a rectangle in dialog units into pixels with the dialog font's base units.
    QRect MapDialogRect(int x, int y, int cx, int cy) const;

    // The font that stands for a template's font face on this system.
    static QFont TemplateFont(const char* face, int pointSize);

    // Puts `replacement` in the place of control `id`: it takes the template item's rectangle,
    // state and id, and the control built from the template is deleted. Returns false (and
    // deletes nothing) when the template has no such control.
    bool ReplaceControl(int id, QWidget* replacement);

protected:
    // Runs once, when the dialog is first shown and before it appears on screen: the place for
    // the work that must happen while the dialog's run has begun.
    virtual void OnInitDialog() {}
    void showEvent(QShowEvent* event) override;

private:
    QWidget* CreateControl(const DialogItem& item);

    const DialogTemplate* m_template = nullptr;
    QHash<int, QWidget*> m_controls;
    int m_baseX = 6;
    int m_baseY = 13;
    bool m_initialised = false;
};
