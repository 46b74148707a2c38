#include "widgets/DialogFontScaler.h"

#include <QFontMetrics>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr const char* kControlIdProperty = "dialogControlId";
constexpr const char* kRemovedControlsProperty = "dialogRemovedControls";
constexpr double kHorizontalDivisor = 4.0;
constexpr double kVerticalDivisor = 8.0;

// The dialog's controls in stacking order from the bottom, which for controls built from a
// template is template order (a replaced control takes the place of the one it replaces).
QList<QWidget*> Controls(QWidget* dialog) {
    QList<QWidget*> controls;
    for (QObject* child : dialog->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget && !widget->isWindow())
            controls.append(widget);
    }
    return controls;
}

// Calls `each(item, control)` for the template's items in order until one has no control.
template <typename Each>
void WalkItems(QWidget* dialog, const DialogTemplate& dialogTemplate, Each&& each) {
    const QList<QWidget*> controls = Controls(dialog);
    qsizetype next = 0;
    for (const DialogItem& item : dialogTemplate.items) {
        if (DialogControlRemoved(dialog, item.id))
            continue;
        qsizetype found = -1;
        for (qsizetype i = next; i < controls.size(); ++i) {
            if (DialogControlId(controls[i]) == item.id) {
                found = i;
                break;
            }
        }
        if (found < 0)
            return;
        each(item, controls[found]);
        next = found + 1;
    }
}

// Gives the dialog itself `font`. Qt hands a parent's font down to every child that has none of
// its own; the controls keep theirs instead, and take the new font only when the walk reaches
// them, so a control the walk does not reach keeps both its layout and its font.
void SetDialogFont(QWidget* dialog, const QFont& font) {
    for (QWidget* control : Controls(dialog)) {
        if (control->testAttribute(Qt::WA_SetFont))
            continue;
        // A font copied from font() counts as inherited; naming its parts makes it the
        // control's own.
        QFont own = control->font();
        own.setFamilies(QStringList{own.family()} + own.families());
        if (own.pixelSize() > 0) {
            own.setPixelSize(own.pixelSize());
        } else {
            own.setPointSizeF(own.pointSizeF());
        }
        own.setWeight(own.weight());
        own.setItalic(own.italic());
        control->setFont(own);
    }
    dialog->setFont(font);
}

}  // namespace

void SetDialogControlId(QWidget* control, int id) {
    control->setProperty(kControlIdProperty, id);
}

std::optional<int> DialogControlId(const QWidget* control) {
    const QVariant id = control->property(kControlIdProperty);
    if (!id.isValid())
        return std::nullopt;
    return id.toInt();
}

void MarkDialogControlRemoved(QWidget* dialog, int id) {
    QVariantList removed = dialog->property(kRemovedControlsProperty).toList();
    if (!removed.contains(QVariant(id)))
        removed.append(id);
    dialog->setProperty(kRemovedControlsProperty, removed);
}

bool DialogControlRemoved(const QWidget* dialog, int id) {
    return dialog->property(kRemovedControlsProperty).toList().contains(QVariant(id));
}

DialogFontScaler::~DialogFontScaler() {
    Restore();
}

int DialogFontScaler::Round(double value) {
    return static_cast<int>(value + 0.5);
}

int DialogFontScaler::ToPixels(int units, double unit, double divisor) {
    return Round(units * unit / divisor);
}

int DialogFontScaler::ToPixelsX(int units) const {
    return ToPixels(units, m_units.horizontal, kHorizontalDivisor);
}

int DialogFontScaler::ToPixelsY(int units) const {
    return ToPixels(units, m_units.vertical, kVerticalDivisor);
}

QRect DialogFontScaler::MapDialogRect(int x, int y, int cx, int cy) const {
    return MapDialogRect(m_units, x, y, cx, cy);
}

QRect DialogFontScaler::MapDialogRect(const DialogUnits& units, int x, int y, int cx, int cy) {
    return QRect(ToPixels(x, units.horizontal, kHorizontalDivisor),
                 ToPixels(y, units.vertical, kVerticalDivisor),
                 ToPixels(cx, units.horizontal, kHorizontalDivisor),
                 ToPixels(cy, units.vertical, kVerticalDivisor));
}

DialogFontDescription DialogFontScaler::FontDescription(const DialogTemplate& dialogTemplate) {
    DialogFontDescription description;
    if (dialogTemplate.fontFace) {
        description.face = dialogTemplate.fontFace;
        description.pointSize = std::abs(dialogTemplate.pointSize);
    } else {
        description.face = "Tahoma";
        description.pointSize = 8;
    }
    return description;
}

int DialogFontScaler::FontHeightFor(int pointSize, double dotsPerInch) {
    return -Round(std::abs(pointSize) * dotsPerInch / 72.0);
}

QStringList DialogFontScaler::SubstituteFamilies(const std::string& face) {
    // The named face first: where it is installed it is the truest choice.
    QStringList families{QString::fromStdString(face)};
    for (const FontSubstitution& row : kFontSubstitutions) {
        if (face == row.windowsFace)
            families.append(QString::fromLatin1(row.debianFace));
    }
    families.append(QStringLiteral("DejaVu Sans"));
    return families;
}

QFont DialogFontScaler::CreateFont(const DialogFontDescription& description, int pixelHeight) {
    QFont font;
    font.setFamilies(SubstituteFamilies(description.face));
    font.setStyleHint(QFont::SansSerif);
    // A negative template height asks for the character height, which is Qt's pixel size.
    font.setPixelSize(std::max(1, pixelHeight));
    font.setWeight(static_cast<QFont::Weight>(std::clamp(description.weight, 1, 1000)));
    font.setItalic(description.italic);
    return font;
}

int DialogFontScaler::HorizontalUnitFromSample(int sampleWidth) {
    return ((sampleWidth / 26) + 1) / 2;
}

DialogUnits DialogFontScaler::MeasureUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    DialogUnits units;
    units.horizontal =
        HorizontalUnitFromSample(metrics.horizontalAdvance(QLatin1String(kDialogUnitSample)));
    units.vertical = metrics.height();
    return units;
}

void DialogFontScaler::LayOut(QWidget* dialog, const DialogTemplate& dialogTemplate,
                              const DialogUnits& units, const QFont& font) {
    dialog->resize(ToPixels(dialogTemplate.cx, units.horizontal, kHorizontalDivisor),
                   ToPixels(dialogTemplate.cy, units.vertical, kVerticalDivisor));
    WalkItems(dialog, dialogTemplate, [&](const DialogItem& item, QWidget* control) {
        control->setGeometry(MapDialogRect(units, item.x, item.y, item.cx, item.cy));
        control->setFont(font);
    });
}

DialogUnits DialogFontScaler::LayOutAt(QWidget* dialog, const DialogTemplate& dialogTemplate,
                                       double dotsPerInch) {
    const DialogFontDescription description = FontDescription(dialogTemplate);
    const QFont font = CreateFont(description, -FontHeightFor(description.pointSize, dotsPerInch));
    SetDialogFont(dialog, font);
    const DialogUnits units = MeasureUnits(font);
    LayOut(dialog, dialogTemplate, units, font);
    return units;
}

void DialogFontScaler::Apply(QWidget* dialog, int templateId, double dotsPerInch,
                             DialogTemplateSource source) {
    if (IsApplied())
        Restore();
    const DialogTemplate* dialogTemplate = source ? source(templateId) : nullptr;
    if (!dialog || !dialogTemplate)
        return;
    m_dialog = dialog;
    m_template = dialogTemplate;
    m_templateId = templateId;

    const DialogFontDescription description = FontDescription(*dialogTemplate);
    m_fontHeight = FontHeightFor(description.pointSize, dotsPerInch);
    m_createdFont = CreateFont(description, -m_fontHeight);
    m_previousFont = dialog->font();
    SetDialogFont(dialog, m_createdFont);
    m_units = MeasureUnits(m_createdFont);
    LayOut(dialog, *dialogTemplate, m_units, m_createdFont);
}

void DialogFontScaler::Restore() {
    if (!IsApplied())
        return;
    QWidget* dialog = m_dialog;
    SetDialogFont(dialog, m_previousFont);
    WalkItems(dialog, *m_template,
              [&](const DialogItem&, QWidget* control) { control->setFont(m_previousFont); });
    m_dialog = nullptr;
    m_createdFont = QFont();
    m_previousFont = QFont();
}
