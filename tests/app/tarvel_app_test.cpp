#include "app/tarvel_app.h"
#include "app/tarvel_dlg.h"
#include "desktop/message_box.h"
#include "desktop/shell.h"
#include "fifo_watchdog.h"
#include "platform/single_instance.h"
#include "platform/unique_fd.h"
#include "process_events_until.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <functional>

namespace {

struct Recorded {
    QString text;
    QString caption;
};

class AppStart : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_folder.isValid());
        m_previous = QDir::currentPath();
        QDir::setCurrent(m_folder.path());
        // The instance lock of starts in this process lives here, apart from other tests'.
        m_previousRuntime = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", m_folder.path().toLocal8Bit());
    }
    void TearDown() override {
        QDir::setCurrent(m_previous);
        if (m_previousRuntime.isNull())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", m_previousRuntime);
    }

    // `name`: the program's name, which names its instance lock.
    int RunApp(CTarvelApp& app, std::string name = "tarvel-under-test") {
        ScopedMessagePresenter presenter(
            [this](const QString& text, const QString& caption, MessageIcon) {
                messages.push_back({text, caption});
            });
        char* argv[] = {name.data(), nullptr};
        return app.Run(1, argv);
    }

    std::vector<Recorded> messages;
    QTemporaryDir m_folder;
    QString m_previous;
    QByteArray m_previousRuntime;
};

TEST_F(AppStart, SocketStartUpFailureShowsItsMessageAndEnds) {
    CTarvelApp app([] { return false; });
    EXPECT_EQ(RunApp(app), 0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, QStringLiteral("Windows 套接字初始化失败。"));
}

TEST_F(AppStart, MissingParameterFileShowsOneMessageAndEndsWithExitCode18) {
    CTarvelApp app;
    EXPECT_EQ(RunApp(app), 18);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, QStringLiteral("没有找到相关信息文件,请重新安装本软件!"));
    EXPECT_EQ(messages[0].caption, QStringLiteral("错误"));
}

// The toolkit's own buttons read like the rest of the program: 确定 and 取消, not OK and Cancel.
TEST_F(AppStart, TheToolkitsStandardButtonsSpeakChinese) {
    CTarvelApp app;
    RunApp(app);
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), QStringLiteral("取消"));
}

TEST_F(AppStart, AParameterFileThatIsADirectoryOrAPipeIsAMissingFile) {
    ASSERT_TRUE(QDir().mkpath(QStringLiteral("InfoFile")));
    const QString path = QStringLiteral("InfoFile/ParameterSet.inf");
    for (const bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "pipe" : "directory");
        QDir().rmdir(path);
        QFile::remove(path);
        if (pipe)
            ASSERT_EQ(::mkfifo("InfoFile/ParameterSet.inf", 0600), 0);
        else
            ASSERT_TRUE(QDir().mkdir(path));
        const FifoWatchdog watchdog(m_folder.filePath(path).toStdString(), std::chrono::seconds(5));
        messages.clear();
        CTarvelApp app;
        EXPECT_EQ(RunApp(app), 18);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].text, QStringLiteral("没有找到相关信息文件,请重新安装本软件!"));
        EXPECT_FALSE(watchdog.Fired()) << "the start waited on the pipe";
    }
}

#ifdef TARVEL_EXECUTABLE
// Real processes, each with the lock folder it is given as its runtime folder.
class InstanceStart : public AppStart {
protected:
    void SetUp() override {
        AppStart::SetUp();
        ASSERT_TRUE(QDir().mkpath(QStringLiteral("InfoFile")));
        QFile parameters(QStringLiteral("InfoFile/ParameterSet.inf"));
        ASSERT_TRUE(parameters.open(QIODevice::WriteOnly));
    }
    void TearDown() override {
        for (auto& process : m_processes) {
            process->kill();
            process->waitForFinished(5000);
        }
        AppStart::TearDown();
    }
    QProcess& Start(const QString& program, const QString& lockFolder, const QString& home = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), lockFolder);
        if (!home.isEmpty())
            env.insert(QStringLiteral("HOME"), home);
        auto& process = *m_processes.emplace_back(std::make_unique<QProcess>());
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(m_folder.path());
        process.start(program, {});
        EXPECT_TRUE(process.waitForStarted(5000));
        return process;
    }
    QString Folder(const QString& name) {
        EXPECT_TRUE(QDir(m_folder.path()).mkpath(name));
        return m_folder.filePath(name);
    }

private:
    std::vector<std::unique_ptr<QProcess>> m_processes;
};

TEST_F(InstanceStart, SecondInstanceOfTheSameNameEndsAtOnceACopyUnderAnotherNameStarts) {
    const QString folder = Folder(QStringLiteral("user-a"));
    QProcess& first = Start(QStringLiteral(TARVEL_EXECUTABLE), folder);
    EXPECT_FALSE(first.waitForFinished(1500)) << "the first instance keeps running";

    QProcess& second = Start(QStringLiteral(TARVEL_EXECUTABLE), folder);
    ASSERT_TRUE(second.waitForFinished(1000)) << "the second instance ends at once";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardOutput().isEmpty());

    const QString copy = m_folder.filePath(QStringLiteral("tarvel-copy"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(TARVEL_EXECUTABLE), copy));
    QProcess& other = Start(copy, folder);
    EXPECT_FALSE(other.waitForFinished(1500)) << "a copy under another name starts";
}

// A second start asks the running one to show its window: the running dialog comes back from the
// task bar and takes the input from another window, and the second start ends at once with 0,
// saying nothing. A socket file that an instance which ended left behind is no obstacle.
TEST_F(InstanceStart, ASecondStartBringsTheRunningWindowToTheFront) {
    QFile stale(m_folder.filePath(QStringLiteral("tarvel.sock")));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.close();
    bool checked = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = dynamic_cast<CTarvelDlg*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        const auto close = qScopeGuard([dialog] { dialog->reject(); });
        ASSERT_TRUE(ProcessEventsUntil([&] { return dialog->isActiveWindow(); }));
        QWidget other;
        other.show();
        other.activateWindow();
        dialog->showMinimized();
        ASSERT_TRUE(ProcessEventsUntil([&] { return other.isActiveWindow(); }));
        ASSERT_TRUE(dialog->isMinimized());

        // The second start runs the real program, under the running one's name and lock folder.
        QProcess& second = Start(QStringLiteral(TARVEL_EXECUTABLE), m_folder.path());
        EXPECT_TRUE(ProcessEventsUntil([&] { return second.state() == QProcess::NotRunning; }))
            << "the second start did not end at once";
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitCode(), 0);
        EXPECT_TRUE(second.readAllStandardOutput().isEmpty());
        EXPECT_TRUE(second.readAllStandardError().isEmpty());
        EXPECT_TRUE(ProcessEventsUntil([&] { return dialog->isActiveWindow(); }))
            << "the running window did not come to the front";
        EXPECT_FALSE(dialog->isMinimized());
        checked = true;
    });
    CTarvelApp app;
    RunApp(app, "tarvel");
    EXPECT_TRUE(checked);
}

// With nobody answering beside the lock (no socket, a file left behind, a socket nobody listens
// on), a second start behaves as it always has: it ends at once with 0 and says nothing.
TEST_F(InstanceStart, ASecondStartThatNobodyAnswersEndsSilently) {
    const SingleInstanceLock first("tarvel", m_folder.path().toStdString());
    ASSERT_TRUE(first.IsFirstInstance());
    const std::string path = first.RequestPath().string();
    ASSERT_FALSE(path.empty());
    struct Case {
        const char* name;
        std::function<void()> prepare;
    };
    UniqueFd deaf;
    const Case cases[] = {
        {"no socket", [] {}},
        {"a file left behind",
         [&] { ASSERT_TRUE(QFile(QString::fromStdString(path)).open(QIODevice::WriteOnly)); }},
        {"a socket nobody listens on",
         [&] {
             std::filesystem::remove(path);
             deaf = UniqueFd(::socket(AF_UNIX, SOCK_STREAM, 0));
             sockaddr_un address{};
             address.sun_family = AF_UNIX;
             ASSERT_LT(path.size(), sizeof address.sun_path);
             std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
             ASSERT_EQ(::bind(deaf.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address),
                       0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.prepare();
        QProcess& second = Start(QStringLiteral(TARVEL_EXECUTABLE), m_folder.path());
        ASSERT_TRUE(second.waitForFinished(1000)) << "the second instance ends at once";
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitCode(), 0);
        EXPECT_TRUE(second.readAllStandardOutput().isEmpty());
        EXPECT_TRUE(second.readAllStandardError().isEmpty());
    }
}

// A lock folder that cannot be used: one warning, and the lock in a private folder under the home
// folder still keeps a second copy out.
TEST_F(InstanceStart, AnUnusableLockFolderIsSaidOnceAndAPrivateFolderTakesTheLock) {
    const QString home = Folder(QStringLiteral("home"));
    // A file where the folder should be: nothing can make a folder of it meanwhile.
    const QString missing = m_folder.filePath(QStringLiteral("not-a-folder"));
    QFile file(missing);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    QProcess& first = Start(QStringLiteral(TARVEL_EXECUTABLE), missing, home);
    EXPECT_FALSE(first.waitForFinished(1500)) << "the first instance keeps running";
    const QString warning = QString::fromUtf8(first.readAllStandardError());
    EXPECT_EQ(warning.count(QStringLiteral("单实例锁目录")), 1) << qPrintable(warning);
    EXPECT_TRUE(warning.contains(home + QStringLiteral("/.cache/tarvel"))) << qPrintable(warning);

    QProcess& second = Start(QStringLiteral(TARVEL_EXECUTABLE), missing, home);
    ASSERT_TRUE(second.waitForFinished(1000)) << "the second instance ends at once";
    EXPECT_EQ(second.exitCode(), 0);
}

TEST_F(InstanceStart, TwoUsersWithLockFoldersOfTheirOwnBothStart) {
    QProcess& first = Start(QStringLiteral(TARVEL_EXECUTABLE), Folder(QStringLiteral("user-a")));
    EXPECT_FALSE(first.waitForFinished(1500)) << "the first user's program runs";
    QProcess& second = Start(QStringLiteral(TARVEL_EXECUTABLE), Folder(QStringLiteral("user-b")));
    EXPECT_FALSE(second.waitForFinished(1500)) << "the second user's program runs too";
    EXPECT_EQ(first.state(), QProcess::Running);
}
#endif

} // namespace
