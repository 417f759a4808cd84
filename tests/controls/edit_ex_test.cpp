#include <gtest/gtest.h>

#include <QFontInfo>

#include "controls/edit_ex.h"
#include "fixed_system_colors.h"

// How the dialog's lamps look is tested on the dialog's own lamps; these are the edit box's own
// rules, whatever its owner sets.

namespace {

class EditExTest : public testing::Test {
protected:
    void SetUp() override {
        fixed::UseFixedSystemColors();
        edit.setReadOnly(true);
        edit.setGeometry(0, 0, 45, 26);
        edit.setText(QStringLiteral("00"));
    }
    CEditEx edit;
};

TEST_F(EditExTest, PaintsInTheOwnersColoursOnlyWhileItHoldsABrush) {
    edit.m_crText = RGB(200, 0, 0);
    edit.m_crBkgnd = RGB(0, 0, 90);
    SetLampFont(edit);
    CDC dc;
    EXPECT_EQ(edit.CtlColor(&dc, CTLCOLOR_STATIC), nullptr);
    const QImage plain = edit.grab().toImage();
    EXPECT_EQ(PixelAt(plain, edit.width() - 6, edit.height() / 2), fixed::kWindow)
        << "without a brush the edit box keeps its default colours";
    EXPECT_EQ(CountPixels(plain, RGB(200, 0, 0)), 0);

    ASSERT_TRUE(edit.m_brBkgnd.CreateSolidBrush(RGB(0, 0, 90)));
    EXPECT_FALSE(edit.m_brBkgnd.CreateSolidBrush(RGB(0, 0, 0)))
        << "a held brush is not replaced silently";
    edit.update();
    const QImage coloured = edit.grab().toImage();
    EXPECT_EQ(PixelAt(coloured, edit.width() - 6, edit.height() / 2), RGB(0, 0, 90));
    EXPECT_GT(CountPixels(coloured, RGB(200, 0, 0)), 20) << "the text colour";
}

TEST_F(EditExTest, LampFontIsTwelvePointSongFace) {
    SetLampFont(edit);
    // 12 points at 96 dots per inch is a 16-pixel character height.
    EXPECT_EQ(edit.font().pixelSize(), 16);
    EXPECT_EQ(edit.font().family(), QStringLiteral("宋体"));
    EXPECT_TRUE(QFontInfo(edit.font()).family().contains(QStringLiteral("UMing")))
        << QFontInfo(edit.font()).family().toStdString();
}

} // namespace
