// A dialog whose controls are built from a dialog template and addressed by numeric id.
#pragma once

#include <QDialog>
#include <QHash>
#include <QRect>

#include "resources/DialogTemplates.h"
#include "widgets/ClickableLabel.h"
#include "widgets/DialogFontScaler.h"

class TemplateDialog : public QDialog {
    Q_OBJECT
public:
    // Builds every control of template `templateId` and lays the dialog out in the template's
    // font at the screen's resolution (DialogFontScaler::LayOutAt). An unknown id builds an
    // empty dialog.
    explicit TemplateDialog(int templateId, QWidget* parent = nullptr);

    // The control with `id`, or nullptr.
    QWidget* Control(int id) const { return m_controls.value(id, nullptr); }
    template <typename T>
    T* ControlAs(int id) const {
        return qobject_cast<T*>(Control(id));
    }

    const DialogTemplate* Template() const { return m_template; }

    // Converts a rectangle in dialog units into pixels with the base units of the layout the
    // dialog was built with.
    QRect MapDialogRect(int x, int y, int cx, int cy) const;

    // Puts `replacement` in the place of control `id`: it takes the control's rectangle, font,
    // state, id and place in the stacking order, and the control built from the template is
    // deleted. Returns false (and deletes nothing) when the template has no such control.
    bool ReplaceControl(int id, QWidget* replacement);
    // Deletes control `id` for good: Control(id) gives nullptr from now on, and the layout's walk
    // over the template passes over its item (a hidden control would still be listed to
    // assistive technology). Returns false when there is no such control.
    bool RemoveControl(int id);

protected:
    // Runs once, when the dialog is first shown and before it appears on screen: the place for
    // the work that must happen while the dialog's run has begun.
    virtual void OnInitDialog() {}
    void showEvent(QShowEvent* event) override;

private:
    QWidget* CreateControl(const DialogItem& item);

    const DialogTemplate* m_template = nullptr;
    QHash<int, QWidget*> m_controls;
    DialogUnits m_units{6, 13};
    bool m_initialised = false;
};
