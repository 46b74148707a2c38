// Gives a dialog the font named in its dialog template, created for a fixed resolution, and lays
// the dialog and its controls out again from the template's dialog units measured in that font:
// the dialog then has the same pixel size and look whatever the desktop's font settings. A
// dialog owns one as a member and applies it when it initialises; the scaler gives the dialog
// its previous font back when it is destroyed.
//
// The same layout, at the screen's resolution, is how every template dialog is first built
// (TemplateDialog), so there is one way from dialog units to pixels and one font substitution.
#pragma once

#include <QFont>
#include <QPointer>
#include <QRect>
#include <QStringList>
#include <QWidget>

#include <optional>
#include <string>

#include "resources/DialogTemplates.h"

// Where the scaler finds a template by id; the program's own templates by default.
using DialogTemplateSource = const DialogTemplate* (*)(int templateId);

// The font a template asks for.
struct DialogFontDescription {
    std::string face;
    int pointSize = 8;
    int weight = 400;  // 100..900, 400 normal
    bool italic = false;
};

// The measured dialog base units of a font, in pixels.
struct DialogUnits {
    double horizontal = 0;  // average character width
    double vertical = 0;    // character height
};

// The Windows faces that dialog templates name do not exist on this system. This table maps
// each to a Debian font with the same character widths (fonts-liberation2: Arial, Times New
// Roman and Courier New metrics); the classic dialog faces, which have no free twin, take the
// Arial-metric face, the nearest in width. A face in no row keeps its name, and DejaVu Sans
// (fonts-dejavu-core) stands behind every face.
struct FontSubstitution {
    const char* windowsFace;
    const char* debianFace;
};
inline constexpr FontSubstitution kFontSubstitutions[] = {
    {"MS Shell Dlg", "Liberation Sans"},     {"MS Shell Dlg 2", "Liberation Sans"},
    {"MS Sans Serif", "Liberation Sans"},    {"Microsoft Sans Serif", "Liberation Sans"},
    {"Tahoma", "Liberation Sans"},           {"Arial", "Liberation Sans"},
    {"Times New Roman", "Liberation Serif"}, {"Courier New", "Liberation Mono"},
};

// A control's numeric id in its dialog, kept on the widget (the template item's id; -1 for
// a label nobody addresses).
void SetDialogControlId(QWidget* control, int id);
std::optional<int> DialogControlId(const QWidget* control);
// Control `id` of `dialog` was taken away on purpose (TemplateDialog::RemoveControl): the walk
// over the template's items passes over its item instead of ending there.
void MarkDialogControlRemoved(QWidget* dialog, int id);
bool DialogControlRemoved(const QWidget* dialog, int id);

class DialogFontScaler {
public:
    DialogFontScaler() = default;
    ~DialogFontScaler();
    DialogFontScaler(const DialogFontScaler&) = delete;
    DialogFontScaler& operator=(const DialogFontScaler&) = delete;

    // Gives `dialog` the font of template `templateId` created for `dotsPerInch` (callers pass
    // 96.0), then sizes its client area and moves and re-fonts its controls from the template.
    // Applying again restores first. A template the source does not know leaves the dialog
    // unchanged and the scaler not applied.
    void Apply(QWidget* dialog, int templateId, double dotsPerInch,
               DialogTemplateSource source = &FindDialogTemplate);
    // Gives the dialog and its controls back their previous font; positions and sizes stay.
    // Does nothing when not applied.
    void Restore();

    bool IsApplied() const { return !m_dialog.isNull(); }
    // The created font's height as the template's point size gives it: negative, in pixels.
    int FontHeight() const { return m_fontHeight; }
    const QFont& CreatedFont() const { return m_createdFont; }
    const DialogUnits& Units() const { return m_units; }
    // Dialog units to pixels: R(x * horizontal unit / 4), R(y * vertical unit / 8).
    int ToPixelsX(int units) const;
    int ToPixelsY(int units) const;
    QRect MapDialogRect(int x, int y, int cx, int cy) const;

    // The pieces, each usable alone.
    // The template's font block, or 8-point "Tahoma" of weight 400 when it sets none.
    static DialogFontDescription FontDescription(const DialogTemplate& dialogTemplate);
    // -R(point size x dots per inch / 72); a negative point size counts as its magnitude.
    static int FontHeightFor(int pointSize, double dotsPerInch);
    // The font of `description` with `pixelHeight` pixels of character height, its face
    // substituted through kFontSubstitutions.
    static QFont CreateFont(const DialogFontDescription& description, int pixelHeight);
    // The families tried, in order, for a template face.
    static QStringList SubstituteFamilies(const std::string& face);
    // ((width / 26) + 1) / 2 in integers: the average width of the 52 letters, rounded.
    static int HorizontalUnitFromSample(int sampleWidth);
    // The 52-letter sample measured in `font`.
    static DialogUnits MeasureUnits(const QFont& font);
    // v + 0.5 truncated toward zero.
    static int Round(double value);
    static int ToPixels(int units, double unit, double divisor);
    // A rectangle in dialog units to pixels with `units`.
    static QRect MapDialogRect(const DialogUnits& units, int x, int y, int cx, int cy);
    // Sizes the dialog's client area from the template, then walks the template's items in
    // order: each is matched to the next child, going forward, whose id is the item's; the
    // child takes the item's rectangle and `font`. The walk ends at the first item without a
    // control, passing over the items whose control the dialog removed on purpose.
    static void LayOut(QWidget* dialog, const DialogTemplate& dialogTemplate,
                       const DialogUnits& units, const QFont& font);
    // The whole layout of a template at a resolution, as used for every template dialog:
    // create, set, measure, lay out. Returns the units measured.
    static DialogUnits LayOutAt(QWidget* dialog, const DialogTemplate& dialogTemplate,
                                double dotsPerInch);

private:
    QPointer<QWidget> m_dialog;
    const DialogTemplate* m_template = nullptr;
    int m_templateId = 0;
    QFont m_createdFont;
    QFont m_previousFont;
    int m_fontHeight = 0;
    DialogUnits m_units;
};

// The sample whose width gives the horizontal unit.
inline constexpr const char* kDialogUnitSample =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
