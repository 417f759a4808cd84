#include "controls/combo_edit_xp.h"

#include "controls/combo_box_xp.h"
#include "controls/hover_tracker.h"

CComboEditXP::~CComboEditXP() = default;

void CComboEditXP::SubclassWindow(QLineEdit* edit) {
    if (m_edit != nullptr)
        m_edit->removeEventFilter(this);
    m_edit = edit;
    if (edit != nullptr) {
        edit->setMouseTracking(true);
        edit->installEventFilter(this);
    }
}

bool CComboEditXP::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_edit) {
        if (auto* combo = qobject_cast<CComboBoxXP*>(m_edit->parentWidget()))
            FeedHoverEvent(combo->Tracker(), m_edit, event);
    }
    return false;
}
