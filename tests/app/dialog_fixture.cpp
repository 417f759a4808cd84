#include "dialog_fixture.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTimer>

void DialogTest::SetUp() {
    ASSERT_TRUE(m_folder.isValid());
    m_previousFolder = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_folder.path()));
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("InfoFile")));
    WriteParameterFile("");
    m_presenter = std::make_unique<ScopedMessagePresenter>(
        [this](const QString& text, const QString& caption, MessageIcon icon) {
            messages.push_back({text, caption, icon});
        });
    m_launcher = std::make_unique<ScopedProgramLauncher>([this](const QString& program,
                                                                const QStringList& arguments,
                                                                QObject*, ProgramOutcome outcome) {
        launches.push_back(QStringList{program} + arguments);
        launchOutcomes.push_back(std::move(outcome));
    });
}

void DialogTest::TearDown() {
    dialog.reset();
    QDir::setCurrent(m_previousFolder);
}

void DialogTest::WriteParameterFile(const std::string& content) {
    QFile file(QStringLiteral("InfoFile/ParameterSet.inf"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content.data(), static_cast<qint64>(content.size()));
}

std::string DialogTest::ReadParameterFile() const {
    QFile file(QStringLiteral("InfoFile/ParameterSet.inf"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().toStdString();
}

CTarvelDlg& DialogTest::OpenDialog(std::vector<std::string> addresses) {
    dialog = std::make_unique<CTarvelDlg>(
        [addresses]() -> std::optional<std::vector<std::string>> { return addresses; });
    dialog->Create();
    dialog->show();
    return *dialog;
}

QLineEdit* DialogTest::Edit(int id) const {
    return qobject_cast<QLineEdit*>(dialog->GetDlgItem(id));
}

QString DialogTest::LampText(int id) const {
    return Edit(id)->text();
}

COLORREF DialogTest::LampTextColour(int id) const {
    const QColor c = Edit(id)->palette().color(QPalette::Text);
    return RGB(c.red(), c.green(), c.blue());
}

int DialogTest::DisplayTimerPeriod() const {
    const auto* timer = dialog->findChild<QTimer*>(QStringLiteral("displayTimer"));
    return timer != nullptr && timer->isActive() ? timer->interval() : -1;
}

std::vector<QString> DialogTest::MessageTexts() const {
    std::vector<QString> texts;
    for (const RecordedMessage& m : messages)
        texts.push_back(m.text);
    return texts;
}
