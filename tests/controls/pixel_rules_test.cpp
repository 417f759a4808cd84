#include "controls/pixel_rules.h"

#include <QPainter>
#include <QStaticText>
#include <QWidget>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controls/paint_buffer.h"
#include "desktop/fonts.h"

namespace {

const QColor kPaper(255, 255, 255);
const QColor kInk(10, 20, 200);
const QColor kFill(0, 160, 0);

QImage Paper(int width, int height) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(kPaper);
    return image;
}

QColor At(const QImage& image, int x, int y) {
    return image.pixelColor(x, y);
}

// The picture as text, one line per row: '#' where `ink` is, '.' elsewhere.
std::string Picture(const QImage& image, const QColor& ink) {
    std::string picture;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            picture += At(image, x, y) == ink ? '#' : '.';
        picture += '\n';
    }
    return picture;
}

TEST(LineWithoutEnd, CoversTheStartButNotTheEndPoint) {
    const struct {
        const char* name;
        QPoint from, to;
        const char* picture;
    } cases[] = {
        {"rightwards", {1, 1}, {4, 1}, "......\n.###..\n......\n......\n"},
        {"leftwards", {4, 1}, {1, 1}, "......\n..###.\n......\n......\n"},
        {"downwards", {2, 0}, {2, 3}, "..#...\n..#...\n..#...\n......\n"},
        {"upwards", {2, 3}, {2, 0}, "......\n..#...\n..#...\n..#...\n"},
        {"zero length", {3, 3}, {3, 3}, "......\n......\n......\n......\n"},
    };
    // A 32-bit image takes the direct way, another format the painter's.
    for (const QImage::Format format : {QImage::Format_RGB32, QImage::Format_RGB16}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c.name << ", format " << format);
            QImage image = Paper(6, 4).convertToFormat(format);
            QPainter painter(&image);
            DrawLineWithoutEnd(painter, c.from, c.to, kInk);
            painter.end();
            QImage ink(1, 1, format);
            ink.fill(kInk);
            EXPECT_EQ(Picture(image, ink.pixelColor(0, 0)), c.picture);
        }
    }
}

TEST(Frame, LiesInsideTheRectangleAndFillsTheInside) {
    QImage image = Paper(12, 10);
    QPainter painter(&image);
    DrawFrame(painter, QRect(QPoint(2, 1), QPoint(8, 6)), kInk, kFill);
    painter.end();
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 12; ++x) {
            const bool inside = x >= 2 && x <= 8 && y >= 1 && y <= 6;
            const bool edge = inside && (x == 2 || x == 8 || y == 1 || y == 6);
            EXPECT_EQ(At(image, x, y), edge ? kInk : inside ? kFill : kPaper) << x << "," << y;
        }
    }

    // Without a fill the inside is left alone.
    QImage hollow = Paper(6, 6);
    QPainter hollowPainter(&hollow);
    DrawFrame(hollowPainter, hollow.rect(), kInk);
    hollowPainter.end();
    EXPECT_EQ(Picture(hollow, kInk), "######\n#....#\n#....#\n#....#\n#....#\n######\n");
}

TEST(Pattern, PixelZeroLandsOnTheOrigin) {
    // A 2 x 5 pattern whose rows and columns are told apart by their red and green channels.
    QImage pattern(2, 5, QImage::Format_RGB32);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 2; ++x)
            pattern.setPixelColor(x, y, QColor(y * 50, x * 99, 0));

    // A 32-bit image takes the direct way, another format the painter's.
    for (const QImage::Format format : {QImage::Format_RGB32, QImage::Format_RGB16}) {
        const auto stored = [format](const QColor& c) {
            QImage one(1, 1, format);
            one.fill(c);
            return one.pixelColor(0, 0);
        };
        for (const QPoint origin : {QPoint(0, 0), QPoint(4, 9), QPoint(3, 7), QPoint(-1, -3)}) {
            SCOPED_TRACE(testing::Message()
                         << "origin " << origin.x() << "," << origin.y() << ", format " << format);
            QImage image = Paper(10, 12).convertToFormat(format);
            QPainter painter(&image);
            const QRect area(1, 1, 8, 10);
            FillPattern(painter, area, pattern, origin);
            EXPECT_EQ(painter.brushOrigin(), QPoint(0, 0)) << "the painter's origin is kept";
            painter.end();
            for (int y = 0; y < 12; ++y) {
                for (int x = 0; x < 10; ++x) {
                    const int row = ((y - origin.y()) % 5 + 5) % 5;
                    const int column = ((x - origin.x()) % 2 + 2) % 2;
                    const QColor want =
                        area.contains(x, y) ? QColor(row * 50, column * 99, 0) : kPaper;
                    EXPECT_EQ(At(image, x, y), stored(want)) << x << "," << y;
                }
            }
        }
    }
}

TEST(DottedFrame, InvertsEveryOtherEdgePixelAndTwiceRestores) {
    QImage image = Paper(7, 5);
    image.setPixelColor(0, 0, kInk);
    const QImage before = image;
    InvertDottedFrame(image, QRect(0, 0, 7, 5));
    const QColor inverted(0, 0, 0);
    EXPECT_EQ(Picture(image, inverted), "..#.#.#\n.......\n#.....#\n.......\n#.#.#.#\n");
    EXPECT_EQ(At(image, 0, 0), QColor(245, 235, 55)) << "ink inverted too";
    InvertDottedFrame(image, QRect(0, 0, 7, 5));
    EXPECT_EQ(image, before);

    // Parts outside the image are left out.
    QImage small = Paper(3, 3);
    InvertDottedFrame(small, QRect(0, -2, 3, 5));
    EXPECT_EQ(Picture(small, inverted), "#.#\n...\n#.#\n");
}

// The region drawn as text, one line per row of its bounding rectangle.
std::string Picture(const QRegion& region, int width, int height) {
    std::string picture;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            picture += region.contains(QPoint(x, y)) ? '#' : '.';
        picture += '\n';
    }
    return picture;
}

TEST(RoundedRectRegion, CornerShapes) {
    const struct {
        const char* name;
        int width, height, ellipseWidth, ellipseHeight;
        const char* picture;
    } cases[] = {
        {"five by five corners", 10, 6, 5, 5,
         "..######..\n"
         ".########.\n"
         "##########\n"
         "##########\n"
         ".########.\n"
         "..######..\n"},
        {"square corners below two pixels", 4, 3, 1, 5,
         "####\n"
         "####\n"
         "####\n"},
        {"three by three corners", 5, 4, 3, 3,
         ".###.\n"
         "#####\n"
         "#####\n"
         ".###.\n"},
        {"ellipse larger than the rectangle is shrunk to it", 5, 5, 50, 50,
         "..#..\n"
         ".###.\n"
         "#####\n"
         ".###.\n"
         "..#..\n"},
        {"wide flat ellipse", 12, 4, 9, 3,
         "....####....\n"
         "############\n"
         "############\n"
         "....####....\n"},
        {"one pixel", 1, 1, 5, 5, "#\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QRegion region =
            RoundedRectRegion(QRect(0, 0, c.width, c.height), c.ellipseWidth, c.ellipseHeight);
        EXPECT_EQ(Picture(region, c.width, c.height), c.picture);
        EXPECT_TRUE(QRect(0, 0, c.width, c.height).contains(region.boundingRect()));
    }
}

TEST(RoundedRectRegion, OffsetAndNegativeEllipseGiveTheSameShapeAndEmptyHasNone) {
    const QRegion atOrigin = RoundedRectRegion(QRect(0, 0, 30, 20), 5, 5);
    EXPECT_EQ(RoundedRectRegion(QRect(7, 3, 30, 20), 5, 5), atOrigin.translated(7, 3));
    EXPECT_EQ(RoundedRectRegion(QRect(0, 0, 30, 20), -5, -5), atOrigin);
    EXPECT_TRUE(RoundedRectRegion(QRect(0, 0, 0, 10), 5, 5).isEmpty());
    EXPECT_TRUE(RoundedRectRegion(QRect(0, 0, 10, 0), 5, 5).isEmpty());
}

// The bounding box of the pixels in `ink`.
QRect Inked(const QImage& image, const QColor& ink) {
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (At(image, x, y) == ink)
                box |= QRect(x, y, 1, 1);
    return box;
}

int Count(const QImage& image, const QColor& ink) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += At(image, x, y) == ink ? 1 : 0;
    return n;
}

TEST(Text, StartsAtTheTopLeftOfItsCell) {
    QStaticText text(QStringLiteral("0.0 / 0.0 KB/sec"));
    text.setTextFormat(Qt::PlainText);
    const QFont font = GraphFont();
    text.prepare(QTransform(), font);
    for (const QPoint topLeft : {QPoint(5, 5), QPoint(6, 5), QPoint(20, 11)}) {
        SCOPED_TRACE(testing::Message() << topLeft.x() << "," << topLeft.y());
        QImage image = Paper(160, 40);
        QPainter painter(&image);
        painter.setFont(font);
        DrawTextAt(painter, topLeft, text, kInk);
        painter.end();
        const QRect inked = Inked(image, kInk);
        ASSERT_FALSE(inked.isEmpty());
        // The cell starts at the point; the glyphs sit inside it, below its top.
        EXPECT_GE(inked.left(), topLeft.x());
        EXPECT_LE(inked.left(), topLeft.x() + 2);
        EXPECT_GT(inked.top(), topLeft.y());
        EXPECT_LT(inked.bottom(), topLeft.y() + QFontMetrics(font).height());
    }
}

TEST(Text, CaptionIsCentredOnOneLineClippedAndItsMnemonicUnderlined) {
    const QRect rect(10, 4, 90, 24);
    const auto draw = [&](const QString& caption) {
        QImage image = Paper(120, 40);
        QPainter painter(&image);
        painter.setFont(ButtonFont());
        DrawCaption(painter, rect, caption, kInk);
        painter.end();
        return image;
    };
    const QImage marked = draw(QStringLiteral("运行(&R)"));
    const QRect inked = Inked(marked, kInk);
    ASSERT_FALSE(inked.isEmpty());
    EXPECT_LE(std::abs((inked.left() + inked.right()) - (rect.left() + rect.right())), 3);
    EXPECT_LE(std::abs((inked.top() + inked.bottom()) - (rect.top() + rect.bottom())), 4);
    // The same caption without its marker draws the same glyphs but no underline.
    const QImage plain = draw(QStringLiteral("运行(R)"));
    EXPECT_LT(Count(plain, kInk), Count(marked, kInk));
    // Too long for the rectangle: one line, cut at its edges.
    const QRect cut = Inked(draw(QStringLiteral("运行运行运行运行运行运行运行运行运行运行")), kInk);
    EXPECT_TRUE(rect.contains(cut));
    EXPECT_EQ(cut.left(), rect.left());
    EXPECT_EQ(cut.right(), rect.right());
    EXPECT_LE(cut.height(), QFontMetrics(ButtonFont()).height());
}

TEST(Buffer, CopiesOnlyTheGivenPartsAndKeepsItsImage) {
    QWidget widget;
    widget.resize(20, 16);
    PaintBuffer buffer;
    QImage& image = buffer.Image(widget.size());
    EXPECT_EQ(image.size(), widget.size());
    image.fill(kInk);
    EXPECT_EQ(&buffer.Image(widget.size()), &image);
    EXPECT_EQ(buffer.Image(widget.size()).pixelColor(3, 3), kInk) << "kept between paints";

    // A widget that copies the buffer in its paint, over a paper background.
    struct Canvas : QWidget {
        PaintBuffer* buffer = nullptr;
        QRegion parts;
        void paintEvent(QPaintEvent*) override {
            QPainter(this).fillRect(rect(), kPaper);
            buffer->CopyTo(*this, parts);
        }
    } canvas;
    canvas.resize(20, 16);
    canvas.buffer = &buffer;
    EXPECT_EQ(Inked(canvas.grab().toImage(), kInk), QRect(0, 0, 20, 16));
    canvas.parts = QRegion(4, 3, 8, 6) + QRegion(14, 10, 2, 2);
    const QImage parts = canvas.grab().toImage();
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 20; ++x)
            EXPECT_EQ(At(parts, x, y), canvas.parts.contains(QPoint(x, y)) ? kInk : kPaper)
                << x << "," << y;
}

} // namespace
