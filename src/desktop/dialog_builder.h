#pragma once

// Builds the main dialog and the about box from their templates.

#include "desktop/dialog_template.h"

#include <QPixmap>
#include <QString>

#include <functional>
#include <map>

class QDialog;
class QWidget;

// The picture of a template's bitmap or icon item, by the item's resource id.
using PictureLoader = std::function<QPixmap(int resourceId)>;

// The controls a dialog template made, reachable by their numeric ids.
class DialogItems {
public:
    QWidget* GetDlgItem(int id) const;

private:
    friend DialogItems BuildDialogFromTemplate(QDialog&, const DialogTemplate&,
                                               const std::map<int, QWidget*>&,
                                               const PictureLoader&);
    std::map<int, QWidget*> m_byId;
};

// Lays out `dialog` from `tpl`: font, caption, fixed size, and one control per template item at its
// place. Where `members` holds a widget for an item's id, that widget is placed instead of a new
// plain one (it must be of the item's kind). Later items sit below earlier ones, as in the
// template, and group boxes below all other items. Bitmap and icon items show what `pictures`
// gives for their resource id.
DialogItems BuildDialogFromTemplate(QDialog& dialog, const DialogTemplate& tpl,
                                    const std::map<int, QWidget*>& members,
                                    const PictureLoader& pictures);

// A caption without its mnemonic marker, for accessible names: "运行(&R)" -> "运行(R)".
QString CaptionWithoutMnemonic(const QString& caption);
