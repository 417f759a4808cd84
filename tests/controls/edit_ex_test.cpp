#include <gtest/gtest.h>

#include <QFontInfo>

#include "controls/edit_ex.h"
#include "desktop/fonts.h"
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
        edit.setFont(LampFont());
    }
    COLORREF Background() {
        return PixelAt(edit.grab().toImage(), edit.width() - 6, edit.height() / 2);
    }
    int Digits(COLORREF color) { return CountPixels(edit.grab().toImage(), color); }

    CEditEx edit;
};

TEST_F(EditExTest, PaintsInTheOwnersColoursOnceItHasABackground) {
    edit.SetTextColor(fixed::Q(RGB(200, 0, 0)));
    EXPECT_EQ(Background(), fixed::kWindow)
        << "without a background the edit box keeps its default colours";
    EXPECT_EQ(Digits(RGB(200, 0, 0)), 0);

    edit.SetBackgroundColor(fixed::Q(RGB(0, 0, 90)));
    EXPECT_EQ(Background(), RGB(0, 0, 90));
    const int red = Digits(RGB(200, 0, 0));
    EXPECT_GT(red, 20) << "the text colour";

    // A new text colour shows at the next paint, the background stays.
    edit.SetTextColor(fixed::Q(RGB(0, 200, 0)));
    EXPECT_EQ(Background(), RGB(0, 0, 90));
    EXPECT_EQ(Digits(RGB(200, 0, 0)), 0);
    EXPECT_EQ(Digits(RGB(0, 200, 0)), red);
}

TEST_F(EditExTest, LampFontIsTwelvePointSongFace) {
    // 12 points at 96 dots per inch is a 16-pixel character height.
    EXPECT_EQ(edit.font().pixelSize(), 16);
    EXPECT_EQ(edit.font().family(), QStringLiteral("宋体"));
    EXPECT_TRUE(QFontInfo(edit.font()).family().contains(QStringLiteral("UMing")))
        << QFontInfo(edit.font()).family().toStdString();
}

} // namespace
