#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QTest>

#include "TempFolder.h"
#include "widgets/AnimatedPicture.h"
#include "widgets/GifCases.h"
#include "widgets/GifSplitter.h"

namespace {

// The builder's default colour table.
const QColor kColours[] = {QColor(255, 0, 0), QColor(0, 255, 0), QColor(0, 0, 255),
                           QColor(255, 255, 255)};
const QColor kWindowColour(200, 0, 200);  // the canvas's first fill
const QColor kButtonColour(90, 90, 90);   // the background colour that clears

// A picture control with colours a test can tell apart.
struct Picture {
    AnimatedPicture control;
    Picture() {
        QPalette palette = control.palette();
        palette.setColor(QPalette::Window, kWindowColour);
        palette.setColor(QPalette::Button, kButtonColour);
        control.setPalette(palette);
    }
    QColor at(int x, int y) const { return control.Canvas().pixelColor(x, y); }
    // True when every pixel of `area` has `colour`.
    bool filled(const QRect& area, const QColor& colour) const {
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (at(x, y) != colour)
                    return false;
            }
        }
        return true;
    }
};

std::vector<std::uint8_t> Encoded(const QImage& image, const char* format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace

class AnimatedPictureTest : public QObject {
    Q_OBJECT
private slots:
    void everySplitFrameDecodesWithQt() {
        for (const GifCase& c : GifCases()) {
            GifSplitter splitter(c.bytes);
            const std::vector<GifFrame> frames = splitter.ExtractFrames(100);
            for (std::size_t i = 0; i < frames.size(); ++i) {
                if (!frames[i].isImage)
                    continue;
                const QImage image = QImage::fromData(
                    frames[i].gif.data(), static_cast<int>(frames[i].gif.size()), "GIF");
                const QString where =
                    QString::fromStdString(c.name) + " frame " + QString::number(i);
                QVERIFY2(!image.isNull(), qPrintable(where));
                QCOMPARE(image.size(), QSize(splitter.ScreenWidth(), splitter.ScreenHeight()));
                const ExpectedFrame& e = c.frames[i];
                QVERIFY2(image.pixelColor(e.left, e.top) == kColours[e.colour], qPrintable(where));
                QVERIFY2(image.pixelColor(e.left + e.width - 1, e.top + e.height - 1) ==
                             kColours[e.colour],
                         qPrintable(where));
            }
        }
    }

    void stillPicturesAndRefusals() {
        QImage red(7, 5, QImage::Format_RGB32);
        red.fill(Qt::red);
        struct Row {
            const char* name;
            std::vector<std::uint8_t> data;
            bool loads;
            QSize size;
        };
        std::vector<std::uint8_t> oversize = GifBuilder(2, 2).Image(0, 0, 2, 2, 0).Trailer().bytes;
        oversize.resize(kMaxPictureFileBytes + 1, 0x3B);
        const Row rows[] = {
            {"one-image GIF", GifBuilder(9, 4).Image(2, 1, 3, 2, 0).Trailer().bytes, true, {9, 4}},
            {"PNG", Encoded(red, "PNG"), true, {7, 5}},
            {"BMP", Encoded(red, "BMP"), true, {7, 5}},
            {"JPEG", Encoded(red, "JPEG"), true, {7, 5}},
            {"GIF88a",
             GifBuilder(2, 2, {0, 0, 0, 0}, "88a").Image(0, 0, 2, 2, 1).Trailer().bytes,
             false,
             {}},
            {"trailer only", GifBuilder(2, 2).Trailer().bytes, false, {}},
            {"not a picture", {'h', 'e', 'l', 'l', 'o'}, false, {}},
            {"canvas side above the bound",
             GifBuilder(kMaxPictureSide + 1, 2).Image(0, 0, 2, 2, 0).Trailer().bytes,
             false,
             {}},
            {"canvas of no pixels",
             GifBuilder(0, 2).Image(0, 0, 2, 2, 0).Trailer().bytes,
             false,
             {}},
            {"file above the bound", oversize, false, {}},
            {"PNG side above the bound",
             Encoded(QImage(kMaxPictureSide + 1, 1, QImage::Format_RGB32), "PNG"),
             false,
             {}},
        };
        for (const Row& row : rows) {
            Picture p;
            QVERIFY2(p.control.LoadFromMemory(row.data) == row.loads, row.name);
            QCOMPARE(p.control.IsLoaded(), row.loads);
            if (!row.loads) {
                QVERIFY(!p.control.Display());
                QVERIFY(p.control.Canvas().isNull());
                continue;
            }
            QCOMPARE(p.control.PictureSize(), row.size);
            QCOMPARE(p.control.size(), row.size);  // the control takes the picture's size
            QVERIFY2(p.control.Display(), row.name);
            QVERIFY(!p.control.IsPlaying());
            QCOMPARE(p.control.FrameCount(), 0);
        }
        // The one-image GIF stands on the canvas where its descriptor puts it.
        Picture gif;
        QVERIFY(gif.control.LoadFromMemory(rows[0].data));
        gif.control.Display();
        QCOMPARE(gif.at(2, 1), kColours[0]);
        QCOMPARE(gif.at(4, 2), kColours[0]);
        // A JPEG is lossy: near red.
        Picture jpeg;
        QVERIFY(jpeg.control.LoadFromMemory(rows[3].data));
        jpeg.control.Display();
        QVERIFY(jpeg.at(3, 2).red() > 200 && jpeg.at(3, 2).green() < 60);
    }

    void framesFollowTheDisposalRules() {
        // 4 x 4: F0 red top-left (keep), F1 green top-right (clear), F2 blue bottom-left
        // (restore), F3 bottom-right with a transparent pixel, then the loop starts again.
        const std::vector<std::uint8_t> gif = GifBuilder(4, 4)
                                                  .Control(50, 1)
                                                  .Image(0, 0, 2, 2, 0)
                                                  .Control(3, 2)
                                                  .Image(2, 0, 2, 2, 1)
                                                  .Control(0, 3)
                                                  .Image(0, 2, 2, 2, 2)
                                                  .Control(7, 1, 3)
                                                  .Image(2, 2, 2, 2, {3, 0, 0, 3})
                                                  .Trailer()
                                                  .bytes;
        Picture p;
        QVERIFY(p.control.LoadFromMemory(gif));
        QCOMPARE(p.control.FrameCount(), 4);
        QCOMPARE(p.control.BackgroundColour(), kButtonColour);
        QVERIFY(p.filled(QRect(0, 0, 4, 4), kWindowColour));
        QVERIFY(!p.control.Display());  // an animation, not a still
        QVERIFY(p.control.IsPlaying());

        const QColor red = kColours[0], green = kColours[1], blue = kColours[2];
        QVERIFY(p.filled(QRect(0, 0, 2, 2), red));
        QVERIFY(p.filled(QRect(2, 0, 2, 4), kWindowColour));
        QCOMPARE(p.control.CurrentFrameDuration().count(), 500);

        p.control.ShowNextFrame();  // F0 stays, F1 drawn
        QVERIFY(p.filled(QRect(0, 0, 2, 2), red));
        QVERIFY(p.filled(QRect(2, 0, 2, 2), green));
        QCOMPARE(p.control.CurrentFrameDuration().count(), 100);  // delay 3

        p.control.ShowNextFrame();  // F1's rectangle, exactly, cleared; F2 drawn
        QVERIFY(p.filled(QRect(2, 0, 2, 2), kButtonColour));
        QVERIFY(p.filled(QRect(0, 0, 2, 2), red));
        QVERIFY(p.filled(QRect(2, 2, 2, 2), kWindowColour));
        QVERIFY(p.filled(QRect(0, 2, 2, 2), blue));
        QCOMPARE(p.control.CurrentFrameDuration().count(), 100);  // delay 0

        p.control.ShowNextFrame();  // what lay under F2 is back; F3 drawn over the canvas
        QVERIFY(p.filled(QRect(0, 2, 2, 2), kWindowColour));
        QCOMPARE(p.at(2, 2), kWindowColour);  // transparent pixels
        QCOMPARE(p.at(3, 3), kWindowColour);
        QCOMPARE(p.at(3, 2), red);
        QCOMPARE(p.at(2, 3), red);

        p.control.ShowNextFrame();  // the loop restarts on a cleared canvas
        QCOMPARE(p.control.CurrentFrame(), 0);
        QVERIFY(p.filled(QRect(0, 0, 2, 2), red));
        QVERIFY(p.filled(QRect(2, 0, 2, 4), kButtonColour));
        QVERIFY(p.filled(QRect(0, 2, 2, 2), kButtonColour));

        // Painting copies the canvas.
        p.control.resize(4, 4);
        const QImage shown = p.control.grab().toImage();
        QCOMPARE(shown.pixelColor(0, 0), red);
        QCOMPARE(shown.pixelColor(3, 3), kButtonColour);
    }

    void theTimerPlaysAndStopReturnsAtOnce() {
        GifBuilder fast(2, 2);
        fast.Control(5, 0).Image(0, 0, 2, 2, 0).Control(5, 0).Image(0, 0, 2, 2, 1).Trailer();
        Picture p;
        QVERIFY(p.control.LoadFromMemory(fast.bytes));
        p.control.Display();
        QTRY_COMPARE_WITH_TIMEOUT(p.control.CurrentFrame(), 1, 2000);
        QTRY_COMPARE_WITH_TIMEOUT(p.control.CurrentFrame(), 0, 2000);

        GifBuilder slow(2, 2);
        slow.Control(1000, 0).Image(0, 0, 2, 2, 0).Control(1000, 0).Image(0, 0, 2, 2, 1).Trailer();
        QVERIFY(p.control.LoadFromMemory(slow.bytes));  // a new load replaces the old
        p.control.Display();
        QCOMPARE(p.control.CurrentFrameDuration().count(), 10000);
        p.control.ShowNextFrame();
        QTest::qWait(50);
        QElapsedTimer clock;
        clock.start();
        p.control.Stop();
        QVERIFY(clock.elapsed() < 100);
        QVERIFY(!p.control.IsPlaying());
        QCOMPARE(p.control.CurrentFrame(), 1);  // kept for the next Display
        p.control.Display();
        QVERIFY(p.control.IsPlaying());
        QCOMPARE(p.control.CurrentFrame(), 1);

        p.control.Unload();
        QVERIFY(!p.control.IsLoaded() && !p.control.IsPlaying());
        QCOMPARE(p.control.CurrentFrame(), 0);
        QCOMPARE(p.control.BackgroundColour(), QColor(Qt::white));
        QVERIFY(!p.control.Display());
    }

    void framesThatDoNotDecodeAreDropped() {
        // The second frame's LZW data is cut to a lone clear code: Qt gives no image for it.
        GifBuilder gif(2, 2);
        gif.Control(5, 0).Image(0, 0, 2, 2, 0);
        gif.Control(5, 0).Raw({0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2, 1, 0xFF, 0});
        gif.Control(5, 0).Image(0, 0, 2, 2, 1).Trailer();
        Picture p;
        QVERIFY(p.control.LoadFromMemory(gif.bytes));
        QCOMPARE(p.control.FrameCount(), 2);

        // All frames undecodable: no load.
        GifBuilder broken(2, 2);
        broken.Raw({0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2, 1, 0xFF, 0});
        broken.Raw({0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2, 1, 0xFF, 0}).Trailer();
        QVERIFY(!p.control.LoadFromMemory(broken.bytes));
        QVERIFY(!p.control.IsLoaded());
    }

    void framesStopAtTheCountAndPixelBounds() {
        struct Row {
            int side, frames, kept;
        };
        const Row rows[] = {
            {2, static_cast<int>(kMaxAnimationFrames) + 10, static_cast<int>(kMaxAnimationFrames)},
            {1024, 40, static_cast<int>(kMaxAnimationPixels / (1024 * 1024))},
        };
        for (const Row& row : rows) {
            GifBuilder gif(row.side, row.side);
            for (int i = 0; i < row.frames; ++i) gif.Control(5, 0).Image(0, 0, 2, 2, i % 4);
            Picture p;
            QVERIFY(p.control.LoadFromMemory(gif.Trailer().bytes));
            QCOMPARE(p.control.FrameCount(), row.kept);
        }
    }

    void loadsFromAFile() {
        TempFolder dir;
        const std::string path = (dir.path / "picture.gif").string();
        const auto bytes = GifBuilder(3, 3).Image(0, 0, 3, 3, 2).Trailer().bytes;
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        Picture p;
        QVERIFY(p.control.LoadFromFile(path));
        QVERIFY(p.control.Display());
        QCOMPARE(p.at(1, 1), kColours[2]);
        QVERIFY(!p.control.LoadFromFile((dir.path / "missing.gif").string()));
        QVERIFY(!p.control.IsLoaded());
    }
};

QTEST_MAIN(AnimatedPictureTest)
#include "AnimatedPictureTest.moc"
