#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QWidget>

#include "controls/combo_box_xp.h"
#include "fixed_system_colors.h"

namespace {

using namespace fixed;

constexpr int kWidth = 120;
constexpr int kHeight = 22;
// The drop-down button is the rightmost 16 columns; its arrow tip is at (cx, y0).
constexpr int kButtonLeft = kWidth - 16;
constexpr int kCx = (kButtonLeft + kWidth) / 2;
constexpr int kY0 = kHeight / 2 + 2;

void SendEnter(QWidget* w) {
    QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), QPointF(3, 3));
    QCoreApplication::sendEvent(w, &enter);
}

void SendMove(QWidget* w) {
    QMouseEvent move(QEvent::MouseMove, QPointF(4, 4), QPointF(4, 4), QPointF(4, 4), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &move);
}

void SendLeave(QWidget* w) {
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(w, &leave);
}

class ComboBoxXPTest : public testing::Test {
protected:
    void SetUp() override {
        UseFixedSystemColors();
        window.resize(300, 200);
        combo = new CComboBoxXP; // owned by the window once parented
        combo->setParent(&window);
        combo->setObjectName(QStringLiteral("clientAddressCombo"));
        for (int i = 0; i < 10; ++i)
            combo->addItem(QStringLiteral("127.0.0.%1").arg(i + 1));
        combo->PreSubclassWindow();
        combo->setGeometry(10, 10, kWidth, kHeight);
        window.show();
    }

    QImage Grab() { return combo->grab().toImage(); }

    QWidget window;
    CComboBoxXP* combo = nullptr;
};

struct ComboLook {
    COLORREF frame;
    COLORREF buttonFrame;
    COLORREF buttonFace;
    COLORREF arrow;
    COLORREF ring;
};

void ExpectLook(const QImage& image, const ComboLook& look) {
    ASSERT_EQ(image.width(), kWidth);
    ASSERT_EQ(image.height(), kHeight);
    for (const QPoint p : {QPoint(0, 0), QPoint(40, 0), QPoint(0, 10), QPoint(40, kHeight - 1),
                           QPoint(kWidth - 1, 10), QPoint(kWidth - 5, 0)})
        EXPECT_EQ(PixelAt(image, p.x(), p.y()), look.frame) << "frame at " << p.x() << "," << p.y();
    // The inner ring and the separator column left of the button.
    for (const QPoint p :
         {QPoint(1, 1), QPoint(40, 1), QPoint(1, 10), QPoint(40, kHeight - 2),
          QPoint(kButtonLeft - 2, 10), QPoint(kButtonLeft - 1, 10), QPoint(kButtonLeft - 1, 1)})
        EXPECT_EQ(PixelAt(image, p.x(), p.y()), look.ring) << "ring at " << p.x() << "," << p.y();
    // The field between the ring and the edit part has the ring's colour: no edge shows there.
    EXPECT_EQ(PixelAt(image, 2, 2), look.ring) << "field background";
    EXPECT_EQ(PixelAt(image, 2, kHeight / 2), look.ring) << "field background";
    EXPECT_EQ(PixelAt(image, kButtonLeft - 3, kHeight - 3), look.ring) << "field background";
    EXPECT_EQ(PixelAt(image, kButtonLeft, 5), look.buttonFrame);
    EXPECT_EQ(PixelAt(image, kButtonLeft + 2, 3), look.buttonFace);
    EXPECT_EQ(PixelAt(image, kWidth - 3, kHeight - 3), look.buttonFace);

    // A solid triangle 7 wide and 4 high pointing down, its tip the single pixel (cx, y0).
    for (int i = 0; i < 4; ++i) {
        const int y = kY0 - i;
        for (int x = kCx - i; x <= kCx + i; ++x)
            EXPECT_EQ(PixelAt(image, x, y), look.arrow) << "arrow at " << x << "," << y;
        EXPECT_EQ(PixelAt(image, kCx - i - 1, y), look.buttonFace) << "left of row " << y;
        EXPECT_EQ(PixelAt(image, kCx + i + 1, y), look.buttonFace) << "right of row " << y;
    }
    EXPECT_EQ(PixelAt(image, kCx, kY0 + 1), look.buttonFace) << "below the tip";
    EXPECT_EQ(PixelAt(image, kCx, kY0 - 4), look.buttonFace) << "above the base";
}

const ComboLook kIdle{kBtnShadow, kBtnShadow, kBtnFace, kBtnText, kWindow};
const ComboLook kHovered{kHighlight, kHighlight, kHotTint, RGB(0, 0, 0), kWindow};
const ComboLook kDropped{kHighlight, kHighlight, kPressedTint, RGB(240, 240, 240), kWindow};
const ComboLook kDisabled{kBtnShadow, kBtnShadow, kBtnFace, kGrayText, kBtnFace};

TEST_F(ComboBoxXPTest, IdleHoveredDroppedAndDisabledLooks) {
    {
        SCOPED_TRACE("idle");
        ExpectLook(Grab(), kIdle);
    }
    {
        SCOPED_TRACE("hovered");
        SendEnter(combo);
        ExpectLook(Grab(), kHovered);
    }
    {
        SCOPED_TRACE("dropped while hovered");
        combo->showPopup();
        ASSERT_TRUE(combo->view()->isVisible());
        ExpectLook(Grab(), kDropped);
    }
    {
        SCOPED_TRACE("dropped, pointer away");
        SendLeave(combo);
        EXPECT_EQ(combo->Tracker().hover, 0);
        ExpectLook(Grab(), kDropped);
        combo->hidePopup();
        ExpectLook(Grab(), kIdle);
    }
    {
        SCOPED_TRACE("disabled, even with the pointer over it");
        combo->setEnabled(false);
        ExpectLook(Grab(), kDisabled);
        SendEnter(combo);
        ExpectLook(Grab(), {kHighlight, kBtnShadow, kBtnFace, kGrayText, kBtnFace});
    }
}

TEST_F(ComboBoxXPTest, HoverSpansTheEditPartAndIgnoresAStaleLeave) {
    QLineEdit* edit = combo->lineEdit();
    ASSERT_NE(edit, nullptr);
    struct Step {
        const char* what;
        void (*send)(QWidget*);
        bool toEdit;
        int hover;
    };
    const Step steps[] = {
        {"enter the combo box", SendEnter, false, 1},
        {"move over it", SendMove, false, 1},
        {"move into the edit part", SendEnter, true, 1},
        {"move within the edit part", SendMove, true, 1},
        {"stale leave of the combo box", SendLeave, false, 1},
        {"leave the edit part", SendLeave, true, 0},
        {"stale leave of the combo box again", SendLeave, false, 0},
        {"back over the combo box", SendMove, false, 1},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.send(s.toEdit ? static_cast<QWidget*>(edit) : combo);
        EXPECT_EQ(combo->Tracker().hover, s.hover);
        // The look follows at once because every change repaints.
        EXPECT_EQ(PixelAt(Grab(), 0, 0), s.hover ? kHighlight : kBtnShadow);
    }
}

TEST_F(ComboBoxXPTest, HeightIsTheClosedControlAndTheFieldIsSixLess) {
    for (const int h : {20, 24, 31}) {
        SCOPED_TRACE(h);
        combo->resize(kWidth, h);
        EXPECT_EQ(combo->height(), h);
        EXPECT_EQ(combo->lineEdit()->height(), h - 6);
        EXPECT_EQ(combo->lineEdit()->geometry().top(), 3);
        EXPECT_LE(combo->lineEdit()->geometry().right(), kButtonLeft - 3)
            << "the edit part leaves the rings and the button to the control";
    }
    EXPECT_EQ(combo->maxVisibleItems(), 7);
    combo->showPopup();
    QAbstractItemView* list = combo->view();
    const int rows = list->viewport()->height() / list->sizeHintForRow(0);
    EXPECT_EQ(rows, 7);
    combo->hidePopup();
}

// The dropped list shows every item whole, however much wider than the box the longest is, with
// or without a scroll bar; it is never narrower than the box.
TEST_F(ComboBoxXPTest, TheDroppedListShowsTheLongestItemWhole) {
    const QString linkLocal = QStringLiteral("fe80::1234:5678:9abc:def0%eth0");
    for (const int items : {10, 2}) {
        SCOPED_TRACE(items);
        combo->clear();
        for (int i = 0; i < items - 1; ++i)
            combo->addItem(QStringLiteral("127.0.0.%1").arg(i + 1));
        combo->addItem(linkLocal);
        combo->showPopup();
        QAbstractItemView* list = combo->view();
        ASSERT_TRUE(list->isVisible());
        EXPECT_GT(list->sizeHintForColumn(0), kWidth) << "the item fits the box: nothing to show";
        EXPECT_GE(list->viewport()->width(), list->sizeHintForColumn(0));
        EXPECT_GE(list->window()->width(), kWidth);
        combo->hidePopup();
    }
}

TEST_F(ComboBoxXPTest, PositionChangeClearsTheSelectionOfAnUnfocusedEdit) {
    combo->lineEdit()->selectAll();
    ASSERT_TRUE(combo->lineEdit()->hasSelectedText());
    combo->move(20, 30);
    QCoreApplication::processEvents();
    EXPECT_FALSE(combo->lineEdit()->hasSelectedText());
}

} // namespace
