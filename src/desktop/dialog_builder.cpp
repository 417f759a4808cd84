#include "desktop/dialog_builder.h"

#include "desktop/dialog_units.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <vector>

namespace {

template <class Widget> Widget* MemberOrNew(QWidget* member, QDialog& dialog) {
    if (member) {
        auto* typed = qobject_cast<Widget*>(member);
        Q_ASSERT_X(typed, "BuildDialogFromTemplate", "member widget of the wrong kind");
        typed->setParent(&dialog);
        return typed;
    }
    return new Widget(&dialog);
}

QWidget* MakeControl(const ControlTemplate& item, QWidget* member, QDialog& dialog,
                     const PictureLoader& pictures) {
    const QString caption = QString::fromUtf8(item.caption);
    const Qt::FocusPolicy focus = (item.style & kTabStop) ? Qt::StrongFocus : Qt::ClickFocus;
    switch (item.kind) {
    case ControlKind::GroupBox: {
        auto* box = MemberOrNew<QGroupBox>(member, dialog);
        box->setTitle(caption);
        box->setFocusPolicy(Qt::NoFocus);
        // A group box is only a frame: clicks go to the controls it surrounds.
        box->setAttribute(Qt::WA_TransparentForMouseEvents);
        return box;
    }
    case ControlKind::RadioButton: {
        auto* radio = MemberOrNew<QRadioButton>(member, dialog);
        radio->setText(caption);
        radio->setFocusPolicy(focus);
        return radio;
    }
    case ControlKind::CheckBox: {
        auto* check = MemberOrNew<QCheckBox>(member, dialog);
        check->setText(caption);
        check->setFocusPolicy(focus);
        return check;
    }
    case ControlKind::ComboBox: {
        auto* combo = MemberOrNew<QComboBox>(member, dialog);
        combo->setEditable(true);
        combo->setInsertPolicy(QComboBox::NoInsert);
        combo->setFocusPolicy(focus);
        return combo;
    }
    case ControlKind::PushButton:
    case ControlKind::DefPushButton: {
        auto* button = MemberOrNew<QPushButton>(member, dialog);
        button->setText(caption);
        button->setAutoDefault(false);
        button->setDefault(item.kind == ControlKind::DefPushButton);
        button->setFocusPolicy(focus);
        return button;
    }
    case ControlKind::Edit: {
        auto* edit = MemberOrNew<QLineEdit>(member, dialog);
        edit->setReadOnly(item.style & kReadOnly);
        edit->setFrame(item.style & kBorder);
        edit->setFocusPolicy(focus);
        return edit;
    }
    case ControlKind::StaticText: {
        auto* label = MemberOrNew<QLabel>(member, dialog);
        label->setTextFormat(Qt::PlainText);
        label->setText(caption);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case ControlKind::StaticBitmap: {
        auto* label = MemberOrNew<QLabel>(member, dialog);
        label->setPixmap(pictures(item.resource));
        label->setAlignment(Qt::AlignCenter);
        if (item.style & kClientEdge)
            label->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
        return label;
    }
    case ControlKind::StaticIcon: {
        auto* label = MemberOrNew<QLabel>(member, dialog);
        label->setPixmap(pictures(item.resource));
        return label;
    }
    }
    return nullptr;
}

// The tab stop of a radio group sits on its checked button, or on its first while none is checked,
// as the dialog manager moves it: Tab enters the group there.
void MoveTabStopToCheckedButton(QButtonGroup& group, bool groupHasTabStop) {
    const QList<QAbstractButton*> buttons = group.buttons();
    QAbstractButton* stop = group.checkedButton();
    if (!stop && !buttons.isEmpty())
        stop = buttons.front();
    for (QAbstractButton* button : buttons)
        button->setFocusPolicy(groupHasTabStop && button == stop ? Qt::StrongFocus
                                                                 : Qt::ClickFocus);
}

// Within a radio group the arrow keys go to the next (Right, Down) or previous (Left, Up) button
// in template order, round the end, and select it as a click would.
class RadioGroupArrowKeys : public QObject {
public:
    explicit RadioGroupArrowKeys(QButtonGroup& group) : QObject(&group), m_group(group) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress)
            return false;
        int step = 0;
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Right:
        case Qt::Key_Down:
            step = 1;
            break;
        case Qt::Key_Left:
        case Qt::Key_Up:
            step = -1;
            break;
        default:
            return false;
        }
        const QList<QAbstractButton*> buttons = m_group.buttons();
        const qsizetype from = buttons.indexOf(static_cast<QAbstractButton*>(watched));
        for (qsizetype n = 1; from >= 0 && n < buttons.size(); ++n) {
            const qsizetype size = buttons.size();
            QAbstractButton* next = buttons[((from + step * n) % size + size) % size];
            if (next->isEnabled() && next->isVisible()) {
                next->setFocus(step > 0 ? Qt::TabFocusReason : Qt::BacktabFocusReason);
                next->click();
                break;
            }
        }
        return true;
    }

private:
    QButtonGroup& m_group;
};

// As the dialog manager sees it, a group runs from an item with the group style up to the next
// such item, whatever lies between: the radio buttons in it are one group, of which only one
// button can be checked. (A text explaining each choice may stand between its radio buttons.)
void GroupRadioButtons(QDialog& dialog, const DialogTemplate& tpl,
                       const std::vector<QWidget*>& made) {
    QButtonGroup* group = nullptr;
    RadioGroupArrowKeys* arrowKeys = nullptr;
    bool groupHasTabStop = false;
    for (std::size_t i = 0; i < made.size(); ++i) {
        const ControlTemplate& item = tpl.controls[i];
        if (item.kind != ControlKind::RadioButton) {
            if (item.style & kGroup)
                group = nullptr;
            continue;
        }
        if (!group || (item.style & kGroup)) {
            group = new QButtonGroup(&dialog);
            arrowKeys = new RadioGroupArrowKeys(*group); // owned by the group
            groupHasTabStop = (item.style & kTabStop) != 0;
            QObject::connect(group, &QButtonGroup::buttonToggled, group, [group, groupHasTabStop] {
                MoveTabStopToCheckedButton(*group, groupHasTabStop);
            });
        }
        auto* radio = static_cast<QRadioButton*>(made[i]);
        group->addButton(radio);
        radio->installEventFilter(arrowKeys);
        MoveTabStopToCheckedButton(*group, groupHasTabStop);
    }
}

} // namespace

QWidget* DialogItems::GetDlgItem(int id) const {
    auto it = m_byId.find(id);
    return it == m_byId.end() ? nullptr : it->second;
}

DialogItems BuildDialogFromTemplate(QDialog& dialog, const DialogTemplate& tpl,
                                    const std::map<int, QWidget*>& members,
                                    const PictureLoader& pictures) {
    DialogItems items;
    QFont font(QString::fromUtf8(tpl.fontFace));
    font.setPointSize(tpl.pointSize);
    dialog.setFont(font);
    const DialogBaseUnits units = BaseUnitsForFont(font);

    dialog.setWindowTitle(QString::fromUtf8(tpl.caption));
    dialog.setFixedSize(DialogUnitsToPixelsX(units, tpl.cx), DialogUnitsToPixelsY(units, tpl.cy));

    std::vector<QWidget*> made; // in template order
    for (const ControlTemplate& item : tpl.controls) {
        auto member = members.find(item.id);
        QWidget* control =
            MakeControl(item, member == members.end() ? nullptr : member->second, dialog, pictures);
        control->setFont(font);
        QRect geometry = MapDialogRect(units, item.x, item.y, item.cx, item.cy);
        if (item.kind == ControlKind::ComboBox) {
            // The template's height includes the dropped list; the closed box is as tall as
            // its field needs.
            geometry.setHeight(control->sizeHint().height());
        } else if (item.kind == ControlKind::StaticIcon) {
            geometry.setSize({32, 32});
        }
        control->setGeometry(geometry);
        control->setObjectName(QString::number(item.id));
        control->setAccessibleName(CaptionWithoutMnemonic(QString::fromUtf8(item.caption)));
        control->show();
        if (item.id != -1)
            items.m_byId[item.id] = control;
        made.push_back(control);
    }
    // The first template item lies on top, as the dialog manager stacks them, except that group
    // boxes go beneath all the rest: they draw nothing over the controls they frame, and a frame
    // lying above a control is repainted with it every time (the traffic graph repaints ten times
    // a second).
    std::vector<QWidget*> stacking;
    for (const bool frames : {false, true}) {
        for (std::size_t i = 0; i < made.size(); ++i) {
            if ((tpl.controls[i].kind == ControlKind::GroupBox) == frames)
                stacking.push_back(made[i]);
        }
    }
    for (QWidget* control : stacking)
        control->lower();
    GroupRadioButtons(dialog, tpl, made);
    return items;
}

QString CaptionWithoutMnemonic(const QString& caption) {
    QString plain;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == u'&' && i + 1 < caption.size())
            ++i;
        plain += caption[i];
    }
    return plain;
}
