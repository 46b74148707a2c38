// The main window: the list of recently sniffed media and the actions on it.
#pragma once

#include "resources/TemplateDialog.h"

class TavrelSnifferWindow : public TemplateDialog {
    Q_OBJECT
public:
    explicit TavrelSnifferWindow(QWidget* parent = nullptr);
    ~TavrelSnifferWindow() override;
};
