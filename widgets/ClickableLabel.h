// A static control that reports clicks (the Notify style of a template's static control).
#pragma once

#include <QLabel>

class ClickableLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;
signals:
    // A left-button press and release inside the control.
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};
