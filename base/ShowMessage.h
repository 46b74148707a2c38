// Every message box of the program goes through ShowMessage.
#pragma once

#include <QBrush>
#include <QIcon>
#include <QString>

#include <functional>

class QWidget;

// Message-box flags and results, with their customary values.
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_YESNO = 0x04;
inline constexpr unsigned MB_ICONSTOP = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Formats `format` printf-style (no length limit), shows it as plain text in a modal message box
// owned by `owner` (or by none) with `caption` and `flags`, and returns the button pressed.
int ShowMessage(QWidget* owner, const char* caption, unsigned flags, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;

// As ShowMessage with a text already formatted, and `details` (plain text too) in the box's
// scrollable detail part, shown on request.
int ShowMessageWithDetails(QWidget* owner, const char* caption, unsigned flags, const QString& text,
                           const QString& details);

// Replaces the modal box with `handler` (for tests and scripted runs); an empty handler
// restores the box. The handler gets the formatted text (without details) and returns the
// result to report.
using MessageBoxHandler =
    std::function<int(QWidget* owner, const QString& caption, unsigned flags, const QString& text)>;
void SetMessageBoxHandler(MessageBoxHandler handler);
// The same, with the box's detail part (empty when it has none) for the handler too.
using MessageBoxDetailsHandler =
    std::function<int(QWidget* owner, const QString& caption, unsigned flags, const QString& text,
                      const QString& details)>;
void SetMessageBoxDetailsHandler(MessageBoxDetailsHandler handler);

// Icon 130, set at start-up; the light-grey brush of the main window's background.
extern QIcon g_appIcon;
extern QBrush g_backgroundBrush;
