#include <gtest/gtest.h>

#include <QFontInfo>

#include "controls/edit_ex.h"
#include "fixed_system_colors.h"

namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kBlack = RGB(0, 0, 0);

// What the main dialog does to each lamp while it initialises.
void PrepareLamp(CEditEx& lamp) {
    lamp.m_crBkgnd = kBlack;
    if (lamp.m_brBkgnd.GetSafeHandle() != nullptr)
        lamp.m_brBkgnd.DeleteObject();
    lamp.m_brBkgnd.CreateSolidBrush(kBlack);
    lamp.update();
    lamp.m_crText = kRed;
    lamp.update();
    SetLampFont(lamp);
    lamp.setText(QStringLiteral("00"));
}

class EditExTest : public testing::Test {
protected:
    void SetUp() override {
        fixed::UseFixedSystemColors();
        lamp.setReadOnly(true);
        lamp.setGeometry(0, 0, 45, 26);
        PrepareLamp(lamp);
    }
    CEditEx lamp;
};

TEST_F(EditExTest, LampIsBlackWithRedTextThenGreenAfterTheOwnersChange) {
    const QImage red = lamp.grab().toImage();
    EXPECT_EQ(PixelAt(red, lamp.width() - 6, lamp.height() / 2), kBlack) << "background";
    EXPECT_GT(CountPixels(red, kRed), 20) << "digits in red";
    EXPECT_EQ(CountPixels(red, kGreen), 0);

    lamp.m_crText = kGreen;
    lamp.update();
    const QImage green = lamp.grab().toImage();
    EXPECT_EQ(PixelAt(green, lamp.width() - 6, lamp.height() / 2), kBlack);
    EXPECT_EQ(CountPixels(green, kRed), 0);
    EXPECT_EQ(CountPixels(green, kGreen), CountPixels(red, kRed)) << "same digits, new colour";
}

TEST_F(EditExTest, ColourQueryAnswersEveryKindAlikeFromTheMembers) {
    for (const unsigned kind : {CTLCOLOR_EDIT, CTLCOLOR_STATIC}) {
        CDC dc;
        EXPECT_EQ(lamp.CtlColor(&dc, kind), lamp.m_brBkgnd.GetSafeHandle());
        EXPECT_EQ(dc.GetTextColor(), kRed);
        EXPECT_EQ(dc.GetBkColor(), kBlack);
    }
    // Replacing the brush: the old one goes first, so there is only ever one.
    lamp.m_brBkgnd.DeleteObject();
    CDC dc;
    EXPECT_EQ(lamp.CtlColor(&dc, CTLCOLOR_EDIT), nullptr) << "no brush leaves the default colours";
    EXPECT_TRUE(lamp.m_brBkgnd.CreateSolidBrush(RGB(0, 0, 90)));
    EXPECT_FALSE(lamp.m_brBkgnd.CreateSolidBrush(kBlack))
        << "a held brush is not replaced silently";
    EXPECT_EQ(lamp.CtlColor(&dc, CTLCOLOR_EDIT)->color, RGB(0, 0, 90));
    lamp.update();
    EXPECT_EQ(PixelAt(lamp.grab().toImage(), lamp.width() - 6, lamp.height() / 2), RGB(0, 0, 90));
}

TEST_F(EditExTest, LampFontIsTwelvePointSongFace) {
    // 12 points at 96 dots per inch is a 16-pixel character height.
    EXPECT_EQ(lamp.font().pixelSize(), 16);
    EXPECT_EQ(lamp.font().family(), QStringLiteral("宋体"));
    EXPECT_TRUE(QFontInfo(lamp.font()).family().contains(QStringLiteral("UMing")))
        << QFontInfo(lamp.font()).family().toStdString();
}

} // namespace
