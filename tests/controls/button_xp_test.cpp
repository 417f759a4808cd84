#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEnterEvent>
#include <QEvent>

#include "controls/button_xp.h"
#include "fixed_system_colors.h"

namespace {

using namespace fixed;

constexpr int kWidth = 90;
constexpr int kHeight = 24;

class ButtonXPTest : public testing::Test {
protected:
    void SetUp() override {
        UseFixedSystemColors();
        button.setGeometry(0, 0, kWidth, kHeight);
        button.setText(QStringLiteral("运行(&R)"));
        button.setObjectName(QStringLiteral("runButton"));
        button.PreSubclassWindow();
    }

    void Hover() {
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
        QCoreApplication::sendEvent(&button, &enter);
    }

    void Leave() {
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(&button, &leave);
    }

    // States the toolkit only sets with a live window (focus) can be painted too.
    QImage Paint(CButtonXP::State state) {
        QImage image(kWidth, kHeight, QImage::Format_RGB32);
        image.fill(Qt::magenta);
        button.Draw(image, state);
        return image;
    }

    CButtonXP button;
};

struct Look {
    COLORREF frame;
    COLORREF face;
    COLORREF text;
};

void ExpectLook(const QImage& image, const Look& look) {
    for (const QPoint p : {QPoint(0, 0), QPoint(kWidth - 1, kHeight - 1), QPoint(kWidth / 2, 0),
                           QPoint(0, kHeight / 2), QPoint(kWidth - 1, kHeight / 2)})
        EXPECT_EQ(PixelAt(image, p.x(), p.y()), look.frame) << "frame at " << p.x() << "," << p.y();
    EXPECT_EQ(PixelAt(image, 4, 4), look.face);
    EXPECT_EQ(PixelAt(image, 1, kHeight - 2), look.face) << "the face reaches the frame";
    EXPECT_EQ(CountPixels(image, RGB(255, 0, 255)), 0) << "every pixel is painted";
    EXPECT_GT(CountPixels(image, look.text), 10) << "caption in the text colour";
}

TEST_F(ButtonXPTest, EachStateHasItsLook) {
    struct Case {
        const char* name;
        bool hovered;
        CButtonXP::State state;
        Look look;
    };
    const Case cases[] = {
        {"idle", false, {}, {kBtnShadow, kIdleFace, kBtnText}},
        {"focused", false, {.focused = true}, {kDkShadow, kIdleFace, kBtnText}},
        {"hovered", true, {}, {kHighlight, kHoverFace, RGB(0, 0, 0)}},
        {"pressed", true, {.pressed = true}, {kHighlight, kPressedTint, RGB(240, 240, 240)}},
        {"pressed by keyboard",
         false,
         {.pressed = true},
         {kHighlight, kPressedTint, RGB(240, 240, 240)}},
        {"disabled", false, {.disabled = true}, {kBtnShadow, kIdleFace, kGrayText}},
        {"disabled while hovered", true, {.disabled = true}, {kBtnShadow, kIdleFace, kGrayText}},
        {"disabled and pressed",
         true,
         {.pressed = true, .disabled = true},
         {kBtnShadow, kIdleFace, kGrayText}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.hovered)
            Hover();
        else
            Leave();
        ExpectLook(Paint(c.state), c.look);
    }
}

TEST_F(ButtonXPTest, DefaultButtonHasTheDarkFrameWithoutFocus) {
    button.setDefault(true);
    ExpectLook(Paint({}), {kDkShadow, kIdleFace, kBtnText});
    Hover();
    ExpectLook(Paint({}), {kHighlight, kHoverFace, RGB(0, 0, 0)});
}

TEST_F(ButtonXPTest, FocusRectangleLiesTwoPixelsInside) {
    const QImage focused = Paint({.focused = true});
    const QImage plain = Paint({});
    // The dotted rectangle inverts every other pixel on its outline, nothing else.
    const COLORREF inverted = RGB(255 - 238, 255 - 235, 255 - 221);
    EXPECT_EQ(PixelAt(focused, 2, 2), inverted);
    EXPECT_EQ(PixelAt(focused, 3, 2), kIdleFace);
    EXPECT_EQ(PixelAt(focused, 4, 2), inverted);
    EXPECT_EQ(PixelAt(focused, kWidth - 3, kHeight - 3), inverted);
    EXPECT_EQ(PixelAt(focused, 1, 1), kIdleFace);
    EXPECT_EQ(PixelAt(focused, 3, 3), kIdleFace);
    EXPECT_EQ(CountPixels(plain, inverted), 0);
}

TEST_F(ButtonXPTest, PaintsThroughTheToolkitWithLiveStateAndCurrentColours) {
    ExpectLook(button.grab().toImage(), {kBtnShadow, kIdleFace, kBtnText});
    Hover();
    EXPECT_EQ(button.Tracker().hover, 1);
    ExpectLook(button.grab().toImage(), {kHighlight, kHoverFace, RGB(0, 0, 0)});
    button.setDown(true);
    ExpectLook(button.grab().toImage(), {kHighlight, kPressedTint, RGB(240, 240, 240)});
    button.setDown(false);
    button.setEnabled(false);
    ExpectLook(button.grab().toImage(), {kBtnShadow, kIdleFace, kGrayText});
    button.setEnabled(true);
    Leave();
    EXPECT_EQ(button.Tracker().hover, 0);

    // System colours are read at every paint.
    QPalette p = QApplication::palette();
    p.setColor(QPalette::Active, QPalette::Dark, QColor(10, 100, 10));
    QApplication::setPalette(p);
    ExpectLook(button.grab().toImage(), {RGB(10, 100, 10), kIdleFace, kBtnText});
}

TEST_F(ButtonXPTest, CaptionIsCentredOnOneLineWithTheMnemonicUnderlined) {
    const QImage image = Paint({});
    int left = kWidth, right = -1, top = kHeight, bottom = -1;
    for (int y = 1; y < kHeight - 1; ++y)
        for (int x = 1; x < kWidth - 1; ++x)
            if (PixelAt(image, x, y) == kBtnText) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    ASSERT_GE(right, left);
    EXPECT_LE(std::abs((left + right) - (kWidth - 1)), 3) << left << ".." << right;
    EXPECT_LE(std::abs((top + bottom) - (kHeight - 1)), 4) << top << ".." << bottom;

    // The same caption without its marker draws the same glyphs but no underline.
    button.setText(QStringLiteral("运行(R)"));
    const int withoutMarker = CountPixels(Paint({}), kBtnText);
    EXPECT_GT(CountPixels(image, kBtnText), withoutMarker);

    // Too long for one line: still one line, clipped, never wrapped below the centre band.
    button.setText(QStringLiteral("运行运行运行运行运行运行运行运行运行运行"));
    const QImage longText = Paint({});
    EXPECT_EQ(PixelAt(longText, 0, kHeight / 2), kBtnShadow);
    EXPECT_EQ(PixelAt(longText, 4, 2), kIdleFace);
}

} // namespace
