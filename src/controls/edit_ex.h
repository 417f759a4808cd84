#pragma once

#include <QColor>
#include <QLineEdit>

#include <optional>

// An edit box coloured by its owner: text in one colour on a background of another. Until the
// owner gives it a background it keeps the default colours of an edit box.
class CEditEx : public QLineEdit {
    Q_OBJECT
public:
    explicit CEditEx(QWidget* parent = nullptr);
    ~CEditEx() override;

    void SetTextColor(const QColor& color);
    void SetBackgroundColor(const QColor& color);

private:
    void ApplyColors();

    QColor m_text{0, 0, 0};
    std::optional<QColor> m_background;
};
