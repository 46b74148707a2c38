// Dialog templates as data: the dialog's style, font, size, and every control with its id,
// kind, text, style and rectangle in dialog units. Dialogs build their controls from these and
// find them again by numeric id.
#pragma once

#include <cstdint>
#include <span>

enum class ControlKind { ListView, PushButton, Static, Animation, ProgressBar };

// Style bits of dialogs and controls.
namespace TemplateStyle {
inline constexpr std::uint32_t Visible = 1u << 0;
inline constexpr std::uint32_t Disabled = 1u << 1;
// dialogs
inline constexpr std::uint32_t Popup = 1u << 2;
inline constexpr std::uint32_t Caption = 1u << 3;
inline constexpr std::uint32_t SysMenu = 1u << 4;
inline constexpr std::uint32_t MinimizeBox = 1u << 5;
inline constexpr std::uint32_t SizingBorder = 1u << 6;
inline constexpr std::uint32_t ModalFrame = 1u << 7;
inline constexpr std::uint32_t Centered = 1u << 8;
// static controls
inline constexpr std::uint32_t AlignLeft = 1u << 9;
inline constexpr std::uint32_t AlignRight = 1u << 10;
inline constexpr std::uint32_t AlignCenter = 1u << 11;
inline constexpr std::uint32_t Notify = 1u << 12;  // reports clicks
// list views
inline constexpr std::uint32_t ReportView = 1u << 13;
inline constexpr std::uint32_t ShowSelectionAlways = 1u << 14;
inline constexpr std::uint32_t EditLabels = 1u << 15;
inline constexpr std::uint32_t MultiSelect = 1u << 16;
// progress bars
inline constexpr std::uint32_t Smooth = 1u << 17;
// push buttons
inline constexpr std::uint32_t TabStop = 1u << 18;
}  // namespace TemplateStyle

struct DialogItem {
    int id;  // -1 for a label nobody addresses
    ControlKind kind;
    const char* text;
    std::uint32_t style;
    int x, y, cx, cy;  // dialog units
};

struct DialogTemplate {
    int id;
    const char* caption;
    std::uint32_t style;
    const char* fontFace;  // the font block's face; nullptr when the template sets no font
    int pointSize;
    int cx, cy;  // dialog units
    std::span<const DialogItem> items;

    // The item with `itemId`, or nullptr.
    const DialogItem* Find(int itemId) const;
};

inline constexpr int IDD_SNIFFER_WINDOW = 102;
inline constexpr int IDD_IMPORT_PROGRESS = 103;
inline constexpr int IDD_HTTP_DOWNLOAD = 1500;

// The template with `id`, or nullptr.
const DialogTemplate* FindDialogTemplate(int id);
