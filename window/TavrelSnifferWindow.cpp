#include "window/TavrelSnifferWindow.h"

TavrelSnifferWindow::TavrelSnifferWindow(QWidget* parent)
    : TemplateDialog(IDD_SNIFFER_WINDOW, parent) {
    setWindowTitle(QStringLiteral("Pelnix - Recently Sniffed Media"));
}

TavrelSnifferWindow::~TavrelSnifferWindow() = default;
