#include <QFontInfo>
#include <QPushButton>
#include <QTest>

#include <array>

#include "widgets/DialogFontScaler.h"
#include "widgets/TemplateDialog.h"

namespace {

using K = ControlKind;

// A template whose items are 10, 11 and 12, for dialogs the tests build by hand.
constexpr std::array kItems{
    DialogItem{10, K::PushButton, "a", TemplateStyle::Visible, 4, 8, 40, 16},
    DialogItem{11, K::PushButton, "b", TemplateStyle::Visible, 50, 8, 40, 16},
    DialogItem{12, K::PushButton, "c", TemplateStyle::Visible, 4, 30, 40, 16},
};
constexpr DialogTemplate kNineOnly{77, "t", 0, "MS Sans Serif", 9, 100, 60, kItems};
constexpr DialogTemplate kNoFont{78, "t", 0, nullptr, 0, 100, 60, kItems};
const DialogTemplate* TestTemplates(int id) {
    if (id == kNineOnly.id)
        return &kNineOnly;
    if (id == kNoFont.id)
        return &kNoFont;
    return nullptr;
}

// A dialog with children made in the given id order, each at (0, 0, 1, 1).
struct HandDialog {
    QWidget dialog;
    std::vector<QWidget*> children;
    explicit HandDialog(std::initializer_list<int> ids) {
        for (int id : ids) {
            auto* child = new QPushButton(&dialog);
            SetDialogControlId(child, id);
            child->setGeometry(0, 0, 1, 1);
            children.push_back(child);
        }
    }
};

}  // namespace

class DialogFontScalerTest : public QObject {
    Q_OBJECT
private slots:
    void figures() {
        QCOMPARE(DialogFontScaler::FontHeightFor(8, 96.0), -11);
        QCOMPARE(DialogFontScaler::FontHeightFor(9, 96.0), -12);
        QCOMPARE(DialogFontScaler::FontHeightFor(-8, 96.0), -11);  // taken as its magnitude
        QCOMPARE(DialogFontScaler::FontHeightFor(8, 120.0), -13);
        QCOMPARE(DialogFontScaler::HorizontalUnitFromSample(312), 6);
        QCOMPARE(DialogFontScaler::HorizontalUnitFromSample(311), 6);
        QCOMPARE(DialogFontScaler::HorizontalUnitFromSample(285), 5);
        QCOMPARE(DialogFontScaler::ToPixels(174, 6, 4), 261);
        QCOMPARE(DialogFontScaler::ToPixels(125, 13, 8), 203);  // 203.125
        QCOMPARE(DialogFontScaler::ToPixels(111, 12, 8), 167);  // 166.5 rounds up

        const DialogFontDescription none = DialogFontScaler::FontDescription(kNoFont);
        QCOMPARE(QString::fromStdString(none.face), QStringLiteral("Tahoma"));
        QCOMPARE(none.pointSize, 8);
        QCOMPARE(none.weight, 400);
        QVERIFY(!none.italic);
        QCOMPARE(DialogFontScaler::FontDescription(kNineOnly).pointSize, 9);
    }

    void substitutionTable() {
        QCOMPARE(DialogFontScaler::SubstituteFamilies("MS Shell Dlg"),
                 QStringList({"MS Shell Dlg", "Liberation Sans", "DejaVu Sans"}));
        QCOMPARE(DialogFontScaler::SubstituteFamilies("Courier New"),
                 QStringList({"Courier New", "Liberation Mono", "DejaVu Sans"}));
        QCOMPARE(DialogFontScaler::SubstituteFamilies("Unheard Of"),
                 QStringList({"Unheard Of", "DejaVu Sans"}));
        // The faces the templates name resolve to the installed Debian face.
        for (const char* face : {"MS Shell Dlg", "MS Sans Serif", "Tahoma"}) {
            const QFont font = DialogFontScaler::CreateFont({face, 8, 400, false}, 11);
            QCOMPARE(QFontInfo(font).family(), QStringLiteral("Liberation Sans"));
            QCOMPARE(QFontInfo(font).pixelSize(), 11);
        }
    }

    void appliesTheMainWindowTemplate() {
        TemplateDialog window(IDD_SNIFFER_WINDOW);
        DialogFontScaler scaler;
        scaler.Apply(&window, IDD_SNIFFER_WINDOW, 96.0);
        QVERIFY(scaler.IsApplied());
        QCOMPARE(scaler.FontHeight(), -11);
        QCOMPARE(window.font().pixelSize(), 11);

        // The 11-pixel template font (Liberation Sans, fonts-liberation2): its 52-letter sample
        // is 333 pixels wide, so the horizontal unit is ((333 / 26) + 1) / 2 = 6, and its
        // character height is 12.
        const QFontMetrics metrics(
            DialogFontScaler::CreateFont({"MS Shell Dlg", 8, 400, false}, 11));
        QCOMPARE(metrics.horizontalAdvance(QLatin1String(kDialogUnitSample)), 333);
        QCOMPARE(scaler.Units().horizontal, 6.0);
        QCOMPARE(scaler.Units().vertical, 12.0);
        // 174 x 125 units: 261 x 187.5, rounded up.
        QCOMPARE(window.size(), QSize(261, 188));
        QWidget* preview = window.Control(1138);
        // (5, 88) 47 x 15 units: 7.5, 132, 70.5, 22.5 pixels, each rounded up.
        QCOMPARE(preview->geometry(), QRect(8, 132, 71, 23));
        QCOMPARE(preview->font(), scaler.CreatedFont());
        QCOMPARE(window.Control(1143)->geometry(), QRect(71, 159, 180, 27));
    }

    void templateWithoutFontAndUnknownTemplate() {
        HandDialog hand({10, 11, 12});
        DialogFontScaler scaler;
        scaler.Apply(&hand.dialog, kNoFont.id, 96.0, &TestTemplates);
        QCOMPARE(scaler.FontHeight(), -11);
        QCOMPARE(hand.dialog.font().pixelSize(), 11);
        QCOMPARE(hand.children[2]->geometry(), scaler.MapDialogRect(4, 30, 40, 16));

        // A template that does not exist leaves the dialog as it is.
        HandDialog other({10});
        const QFont before = other.dialog.font();
        const QSize size = other.dialog.size();
        DialogFontScaler none;
        none.Apply(&other.dialog, 4242, 96.0, &TestTemplates);
        QVERIFY(!none.IsApplied());
        QCOMPARE(other.dialog.font(), before);
        QCOMPARE(other.dialog.size(), size);
        QCOMPARE(other.children[0]->geometry(), QRect(0, 0, 1, 1));
    }

    void aControlNotFoundGoingForwardEndsTheWalk() {
        struct Row {
            std::initializer_list<int> ids;  // children in stacking order
            std::vector<bool> laidOut;       // per child
        };
        const Row rows[] = {
            {{10, 11, 12}, {true, true, true}},
            {{10, 12, 11}, {true, false, true}},  // 12 lies behind 11: not found going forward
            {{10, 12}, {true, false}},            // 11 is missing: the walk ends there
            {{11, 10, 12}, {false, true, false}},
        };
        for (const Row& row : rows) {
            HandDialog hand(row.ids);
            DialogFontScaler scaler;
            scaler.Apply(&hand.dialog, kNineOnly.id, 96.0, &TestTemplates);
            QCOMPARE(scaler.FontHeight(), -12);
            for (std::size_t i = 0; i < hand.children.size(); ++i) {
                QWidget* child = hand.children[i];
                const bool moved = child->geometry() != QRect(0, 0, 1, 1);
                QCOMPARE(moved, bool(row.laidOut[i]));
                QCOMPARE(child->font() == scaler.CreatedFont(), bool(row.laidOut[i]));
            }
        }
    }

    void restoreGivesThePreviousFontBack() {
        HandDialog hand({10, 11, 12});
        QFont previous(QStringLiteral("DejaVu Serif"));
        previous.setPixelSize(17);
        hand.dialog.setFont(previous);
        {
            DialogFontScaler scaler;
            scaler.Apply(&hand.dialog, kNineOnly.id, 96.0, &TestTemplates);
            const QRect laidOut = hand.children[1]->geometry();
            QCOMPARE(hand.dialog.font().pixelSize(), 12);
            // Applying again restores first: the previous font stays the original one.
            scaler.Apply(&hand.dialog, kNineOnly.id, 96.0, &TestTemplates);
            scaler.Restore();
            QVERIFY(!scaler.IsApplied());
            QCOMPARE(hand.dialog.font(), previous);
            for (QWidget* child : hand.children) QCOMPARE(child->font(), previous);
            QCOMPARE(hand.children[1]->geometry(), laidOut);  // positions stay
            scaler.Apply(&hand.dialog, kNineOnly.id, 96.0, &TestTemplates);
            QCOMPARE(hand.children[0]->font().pixelSize(), 12);
        }  // the destructor restores
        QCOMPARE(hand.dialog.font(), previous);
        QCOMPARE(hand.children[0]->font(), previous);
    }
};

QTEST_MAIN(DialogFontScalerTest)
#include "DialogFontScalerTest.moc"
