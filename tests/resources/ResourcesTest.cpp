#include <QImage>
#include <QLabel>
#include <QListView>
#include <QMovie>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "resources/Pictures.h"
#include "widgets/TemplateDialog.h"

class ResourcesTest : public QObject {
    Q_OBJECT
private slots:
    void dialogsBuildTheirControls() {
        TemplateDialog window(IDD_SNIFFER_WINDOW);
        QCOMPARE(window.windowTitle(), QStringLiteral("Recently Sniffed Videos"));
        QVERIFY(window.ControlAs<QTreeWidget>(1137));
        for (int id : {1138, 1139, 1140, 1141}) {
            auto* button = window.ControlAs<QPushButton>(id);
            QVERIFY(button);
            QVERIFY(!button->isEnabled());
        }
        QCOMPARE(window.ControlAs<QPushButton>(1140)->text(), QStringLiteral("Download && Play"));
        QVERIFY(window.ControlAs<QPushButton>(1142)->isHidden());
        QVERIFY(qobject_cast<ClickableLabel*>(window.Control(1143)));
        QCOMPARE(window.Control(4242), nullptr);

        TemplateDialog progress(IDD_IMPORT_PROGRESS);
        QCOMPARE(progress.ControlAs<QLabel>(1205)->text(), QStringLiteral("Downloading:"));
        QVERIFY(progress.ControlAs<QLabel>(1205)->alignment() & Qt::AlignRight);
        QVERIFY(progress.ControlAs<QLabel>(1204)->alignment() & Qt::AlignHCenter);
        QVERIFY(progress.ControlAs<QProgressBar>(1202));
        QCOMPARE(progress.ControlAs<QPushButton>(1200)->text(), QStringLiteral("Cancel"));
        // Positions scale with the dialog units: the bar spans almost the whole dialog.
        const QRect bar = progress.Control(1202)->geometry();
        QCOMPARE(bar, progress.MapDialogRect(7, 25, 374, 14));
        QVERIFY(bar.right() < progress.width());
        QVERIFY(bar.width() > progress.width() * 9 / 10);

        TemplateDialog download(IDD_HTTP_DOWNLOAD);
        QCOMPARE(download.windowTitle(), QStringLiteral("File Download"));
        auto* clip = download.ControlAs<QLabel>(1501);
        QVERIFY(clip && clip->movie());
        QVERIFY(clip->movie()->isValid());
        QVERIFY(download.ControlAs<QProgressBar>(1504));
        QCOMPARE(download.ControlAs<QPushButton>(2)->text(), QStringLiteral("Cancel"));
    }

    void picturesHaveTheirSizesAndColours() {
        const QImage logo = LoadBitmapResource(IDB_LOGO).toImage();
        QCOMPARE(logo.size(), QSize(125, 125));

        const QImage status = LoadBitmapResource(IDB_STATUS).toImage();
        QCOMPARE(status.size(), QSize(48, 15));
        // Red, yellow and green squares in 16-pixel cells on white.
        const QColor red = status.pixelColor(8, 7), yellow = status.pixelColor(24, 7),
                     green = status.pixelColor(40, 7);
        QVERIFY(red.red() > 180 && red.green() < 80 && red.blue() < 80);
        QVERIFY(yellow.red() > 180 && yellow.green() > 160 && yellow.blue() < 80);
        QVERIFY(green.green() > 120 && green.red() < 80 && green.blue() < 80);
        for (int cell = 0; cell < 3; ++cell) {
            QCOMPARE(status.pixelColor(cell * 16, 0), QColor(Qt::white));
        }

        QVERIFY(!LoadAppIcon().isNull());
        QVERIFY(LoadBitmapResource(999).isNull());

        QMovie clip(DownloadClipPath());
        QVERIFY(clip.isValid());
        QVERIFY(clip.frameCount() > 1);
        QCOMPARE(clip.loopCount(), -1);  // loops for ever
    }
};

QTEST_MAIN(ResourcesTest)
#include "ResourcesTest.moc"
