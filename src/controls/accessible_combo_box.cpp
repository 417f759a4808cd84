#include "controls/accessible_combo_box.h"

#include <QAccessibleWidget>
#include <QComboBox>

#include "controls/combo_box_xp.h"

namespace {

class AccessibleComboBoxXP : public QAccessibleWidget {
public:
    explicit AccessibleComboBoxXP(QWidget* widget)
        : QAccessibleWidget(widget, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value)
            return Combo()->currentText();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.editable = Combo()->isEditable();
        state.expandable = true;
        return state;
    }
    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << showMenuAction();
    }
    void doAction(const QString& action) override {
        if (action == showMenuAction())
            Combo()->showPopup();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    QComboBox* Combo() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* AccessibleComboBoxXPFactory(const QString& className, QObject* object) {
    if (className == QLatin1String(CComboBoxXP::staticMetaObject.className()) && object &&
        object->isWidgetType())
        return new AccessibleComboBoxXP(static_cast<QWidget*>(object)); // the toolkit owns it
    return nullptr;
}

} // namespace

void InstallAccessibleComboBox() {
    static const bool installed = [] {
        QAccessible::installFactory(AccessibleComboBoxXPFactory);
        return true;
    }();
    (void)installed;
}
