#include "resources/DialogTemplates.h"

#include <array>

namespace {

using namespace TemplateStyle;
using K = ControlKind;

// The main window. Its buttons are laid out again in pixels when the window opens: Preview keeps
// its place, Remove moves left, Download moves right and up into the same row, Help joins it.
constexpr std::array kSnifferItems{
    DialogItem{1137, K::ListView, "",
               Visible | ReportView | ShowSelectionAlways | EditLabels | MultiSelect | TabStop, 5,
               4, 162, 80},
    DialogItem{1138, K::PushButton, "Preview", Visible | Disabled | TabStop, 5, 88, 47, 15},
    DialogItem{1139, K::PushButton, "Remove", Visible | Disabled | TabStop, 72, 88, 47, 15},
    DialogItem{1140, K::PushButton, "Download && Play", Visible | Disabled | TabStop, 5, 111, 47,
               14},
    DialogItem{1141, K::PushButton, "Download Only", Visible | Disabled | TabStop, 67, 111, 47,
               14},
    DialogItem{1142, K::PushButton, "Help...", TabStop, 120, 111, 47, 14},
    DialogItem{1143, K::Static, "", Visible | Notify, 47, 106, 120, 18},
};

constexpr std::array kImportProgressItems{
    DialogItem{1205, K::Static, "Downloading:", Visible | AlignRight, 9, 9, 44, 8},
    DialogItem{1203, K::Static, "Static", Visible | AlignLeft, 59, 9, 325, 8},
    DialogItem{1202, K::ProgressBar, "", Visible | Smooth, 7, 25, 374, 14},
    DialogItem{1204, K::Static, "", Visible | AlignCenter, 7, 44, 377, 8},
    DialogItem{1200, K::PushButton, "Cancel", Visible | TabStop, 170, 62, 50, 14},
};

constexpr std::array kHttpDownloadItems{
    DialogItem{1501, K::Animation, "", Visible, 7, 7, 214, 32},
    DialogItem{1502, K::Static, "", Visible | AlignLeft, 7, 44, 214, 8},
    DialogItem{1503, K::Static, "", Visible | AlignLeft, 7, 56, 214, 8},
    DialogItem{1504, K::ProgressBar, "", Visible, 7, 70, 214, 10},
    DialogItem{-1, K::Static, "Estimated time left:", Visible | AlignLeft, 7, 88, 68, 8},
    DialogItem{1505, K::Static, "", Visible | AlignLeft, 77, 88, 144, 8},
    DialogItem{-1, K::Static, "Transfer rate:", Visible | AlignLeft, 7, 100, 68, 8},
    DialogItem{1506, K::Static, "", Visible | AlignLeft, 77, 100, 144, 8},
    DialogItem{2, K::PushButton, "Cancel", Visible | TabStop, 171, 121, 50, 14},
};

constexpr std::array kTemplates{
    DialogTemplate{IDD_SNIFFER_WINDOW, "Recently Sniffed Videos",
                   Popup | Caption | SysMenu | MinimizeBox | SizingBorder, "MS Shell Dlg", 8, 174,
                   125, kSnifferItems},
    DialogTemplate{IDD_IMPORT_PROGRESS, "PROGRESS", ModalFrame | Caption | SysMenu | Centered,
                   "MS Shell Dlg", 8, 392, 87, kImportProgressItems},
    DialogTemplate{IDD_HTTP_DOWNLOAD, "File Download",
                   Popup | ModalFrame | Caption | SysMenu | Centered, "MS Sans Serif", 8, 228, 143,
                   kHttpDownloadItems},
};

}  // namespace

const DialogItem* DialogTemplate::Find(int itemId) const {
    for (const DialogItem& item : items) {
        if (item.id == itemId) return &item;
    }
    return nullptr;
}

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& t : kTemplates) {
        if (t.id == id) return &t;
    }
    return nullptr;
}
