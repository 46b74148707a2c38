#include "base/ShowMessage.h"

#include <QMessageBox>
#include <QPushButton>

#include <cstdarg>
#include <cstdio>
#include <vector>

QIcon g_appIcon;
QBrush g_backgroundBrush;

namespace {

MessageBoxDetailsHandler& Handler() {
    static MessageBoxDetailsHandler handler;
    return handler;
}

QString FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0)
        return {};
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return QString::fromUtf8(buffer.data(), needed);
}

int ShowBox(QWidget* owner, const QString& caption, unsigned flags, const QString& text,
            const QString& details = QString()) {
    QMessageBox box(owner);
    box.setWindowTitle(caption);
    box.setTextFormat(Qt::PlainText);  // network text never renders as markup
    box.setText(text);
    if (!details.isEmpty())
        box.setDetailedText(details);  // a read-only plain-text field that scrolls
    switch (flags & 0xF0) {
        case MB_ICONSTOP:
            box.setIcon(QMessageBox::Critical);
            break;
        case MB_ICONQUESTION:
            box.setIcon(QMessageBox::Question);
            break;
        case MB_ICONEXCLAMATION:
            box.setIcon(QMessageBox::Warning);
            break;
        case MB_ICONINFORMATION:
            box.setIcon(QMessageBox::Information);
            break;
        default:
            box.setIcon(QMessageBox::NoIcon);
            break;
    }
    if ((flags & 0x0F) == MB_YESNO) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? IDYES : IDNO;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return IDOK;
}

}  // namespace

void SetMessageBoxHandler(MessageBoxHandler handler) {
    if (!handler) {
        Handler() = nullptr;
        return;
    }
    Handler() = [handler = std::move(handler)](
                    QWidget* owner, const QString& caption, unsigned flags, const QString& text,
                    const QString&) { return handler(owner, caption, flags, text); };
}

void SetMessageBoxDetailsHandler(MessageBoxDetailsHandler handler) {
    Handler() = std::move(handler);
}

int ShowMessage(QWidget* owner, const char* caption, unsigned flags, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const QString text = FormatV(format, args);
    va_end(args);
    const QString title = QString::fromUtf8(caption);
    if (Handler())
        return Handler()(owner, title, flags, text, QString());
    return ShowBox(owner, title, flags, text);
}

int ShowMessageWithDetails(QWidget* owner, const char* caption, unsigned flags, const QString& text,
                           const QString& details) {
    const QString title = QString::fromUtf8(caption);
    if (Handler())
        return Handler()(owner, title, flags, text, details);
    return ShowBox(owner, title, flags, text, details);
}
