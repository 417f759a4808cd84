#include "platform/dialog_builder.h"

#include "pictures.h"
#include "platform/dialog_units.h"

#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
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

QWidget* MakeControl(const ControlTemplate& item, QWidget* member, QDialog& dialog) {
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
        // Every radio button starts its own group: the handlers keep each pair exclusive.
        radio->setAutoExclusive(false);
        radio->setFocusPolicy(focus);
        return radio;
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
        label->setPixmap(QPixmap::fromImage(LoadLogoBitmap()));
        label->setAlignment(Qt::AlignCenter);
        if (item.style & kClientEdge)
            label->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
        return label;
    }
    case ControlKind::StaticIcon: {
        auto* label = MemberOrNew<QLabel>(member, dialog);
        label->setPixmap(LoadAppIcon().pixmap(32, 32));
        return label;
    }
    }
    return nullptr;
}

} // namespace

QWidget* DialogItems::GetDlgItem(int id) const {
    auto it = m_byId.find(id);
    return it == m_byId.end() ? nullptr : it->second;
}

DialogItems BuildDialogFromTemplate(QDialog& dialog, const DialogTemplate& tpl,
                                    const std::map<int, QWidget*>& members) {
    DialogItems items;
    QFont font(QString::fromUtf8(tpl.fontFace));
    font.setPointSize(tpl.pointSize);
    dialog.setFont(font);
    const DialogBaseUnits units = BaseUnitsForFont(font);

    dialog.setWindowTitle(QString::fromUtf8(tpl.caption));
    dialog.setFixedSize(DialogUnitsToPixelsX(units, tpl.cx), DialogUnitsToPixelsY(units, tpl.cy));

    std::vector<QWidget*> ordered;
    std::vector<QWidget*> frames;
    for (const ControlTemplate& item : tpl.controls) {
        auto member = members.find(item.id);
        QWidget* control =
            MakeControl(item, member == members.end() ? nullptr : member->second, dialog);
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
        (item.kind == ControlKind::GroupBox ? frames : ordered).push_back(control);
    }
    // The first template item lies on top, as the dialog manager stacks them, except that group
    // boxes go beneath all the rest: they draw nothing over the controls they frame, and a frame
    // lying above a control is repainted with it every time (the traffic graph repaints ten times
    // a second).
    ordered.insert(ordered.end(), frames.begin(), frames.end());
    for (QWidget* control : ordered)
        control->lower();
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
