#include "desktop/dialog_builder.h"
#include "desktop/dialog_units.h"
#include "desktop/shell.h"
#include "paint_counter.h"
#include "platform/single_instance.h"
#include "process_events_until.h"

#include <QDialog>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(DialogUnits, ScaleRoundsHalfAwayFromZero) {
    struct Case {
        int number, numerator, denominator, expected;
    };
    for (const Case& c :
         {Case{319, 6, 4, 479}, Case{1, 1, 2, 1}, Case{3, 1, 2, 2}, Case{-3, 1, 2, -2},
          Case{226, 13, 8, 367}, Case{10, 6, 4, 15}, Case{5, 3, 4, 4}, Case{7, 3, -4, -5}}) {
        EXPECT_EQ(ScaleRounded(c.number, c.numerator, c.denominator), c.expected)
            << c.number << "*" << c.numerator << "/" << c.denominator;
    }
    const DialogBaseUnits units{6, 13};
    EXPECT_EQ(MapDialogRect(units, 13, 110, 293, 69), QRect(20, 179, 440, 112));
}

TEST(DialogBuilder, GroupBoxLiesBeneathTheControlsItFramesSoTheirRepaintsLeaveItAlone) {
    // In template order the frame comes first, which would stack it on top.
    const ControlTemplate controls[] = {
        {-1, ControlKind::GroupBox, "流量显示", 5, 5, 100, 60, 0},
        {1001, ControlKind::PushButton, "", 10, 15, 80, 40, 0},
    };
    const DialogTemplate tpl{999, "Tarvel", 120, 80, "MS Shell Dlg", 9, false, controls};
    QDialog dialog;
    QPushButton opaque; // paints all of itself, as the traffic graph does
    opaque.setAttribute(Qt::WA_OpaquePaintEvent);
    BuildDialogFromTemplate(dialog, tpl, {{1001, &opaque}}, [](int) { return QPixmap(); });
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    auto* frame = dialog.findChild<QGroupBox*>();
    ASSERT_NE(frame, nullptr);
    PaintCounter counter;
    frame->installEventFilter(&counter);

    for (int i = 0; i < 3; ++i)
        opaque.repaint();
    EXPECT_EQ(counter.paints, 0);
    frame->repaint();
    EXPECT_EQ(counter.paints, 1);
}

// A group runs from one item with the group style to the next, whatever kind of item that is:
// texts between the radio buttons do not split it, and an item with the style ends it.
TEST(DialogBuilder, RadioGroupsRunFromOneGroupItemToTheNext) {
    const ControlTemplate controls[] = {
        {1, ControlKind::RadioButton, "a", 5, 5, 40, 10, kGroup | kTabStop},
        {-1, ControlKind::StaticText, "about a", 5, 15, 40, 8, 0},
        {2, ControlKind::RadioButton, "b", 5, 25, 40, 10, 0},
        {-1, ControlKind::GroupBox, "", 5, 35, 40, 8, 0},
        {3, ControlKind::RadioButton, "c", 5, 45, 40, 10, 0},
        {4, ControlKind::PushButton, "ok", 5, 55, 40, 10, kGroup | kTabStop},
        {5, ControlKind::RadioButton, "d", 5, 65, 40, 10, 0},
        {6, ControlKind::RadioButton, "e", 5, 75, 40, 10, kGroup},
    };
    const DialogTemplate tpl{999, "Tarvel", 60, 90, "MS Shell Dlg", 9, false, controls};
    QDialog dialog;
    const DialogItems items =
        BuildDialogFromTemplate(dialog, tpl, {}, [](int) { return QPixmap(); });
    auto radio = [&](int id) { return qobject_cast<QRadioButton*>(items.GetDlgItem(id)); };
    ASSERT_NE(radio(1)->group(), nullptr);
    EXPECT_EQ(radio(2)->group(), radio(1)->group());
    EXPECT_EQ(radio(3)->group(), radio(1)->group());
    ASSERT_NE(radio(5)->group(), nullptr);
    EXPECT_NE(radio(5)->group(), radio(1)->group());
    EXPECT_NE(radio(6)->group(), radio(5)->group());

    // One checked button per group, however it is checked.
    radio(1)->click();
    radio(2)->setChecked(true);
    radio(5)->click();
    EXPECT_FALSE(radio(1)->isChecked());
    EXPECT_TRUE(radio(2)->isChecked());
    EXPECT_FALSE(radio(3)->isChecked());
    EXPECT_TRUE(radio(5)->isChecked());
}

TEST(SingleInstanceLock, TheSecondHolderOfANameIsRefusedUntilTheFirstGoes) {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    auto first = std::make_unique<SingleInstanceLock>("tarvel", folder);
    EXPECT_TRUE(first->IsFirstInstance());
    EXPECT_FALSE(SingleInstanceLock("tarvel", folder).IsFirstInstance());
    EXPECT_TRUE(SingleInstanceLock("tarvel-copy", folder).IsFirstInstance());
    first.reset();
    EXPECT_TRUE(SingleInstanceLock("tarvel", folder).IsFirstInstance());
    EXPECT_EQ(ApplicationNameFromPath("/usr/libexec/tarvel/tarvel"), "tarvel");
    EXPECT_EQ(ApplicationNameFromPath("./Tarvel.exe"), "Tarvel");
}

// Both the holder and a later start know where the holder takes requests: beside the lock file.
// Without a lock file there is no such place.
TEST(SingleInstanceLock, RequestsGoToASocketBesideTheLock) {
    QTemporaryDir dir;
    const std::filesystem::path folder = dir.path().toStdString();
    const SingleInstanceLock first("tarvel", folder);
    const SingleInstanceLock second("tarvel", folder);
    ASSERT_FALSE(second.IsFirstInstance());
    EXPECT_EQ(first.RequestPath(), folder / "tarvel.sock");
    EXPECT_EQ(second.RequestPath(), first.RequestPath());
    EXPECT_TRUE(SingleInstanceLock("tarvel", folder / "missing").RequestPath().empty());
}

TEST(SingleInstanceLock, ALockThatCannotBeOpenedDoesNotKeepTheProgramFromStartingButIsSaid) {
    QTemporaryDir dir;
    const std::filesystem::path folder = dir.path().toStdString();
    const SingleInstanceLock unopened("tarvel", folder / "missing");
    EXPECT_TRUE(unopened.IsFirstInstance());
    EXPECT_NE(unopened.Warning().find((folder / "missing").string()), std::string::npos)
        << unopened.Warning();
    // A link planted where the lock file goes is not followed.
    std::filesystem::create_symlink(folder / "elsewhere", folder / "tarvel.lock");
    const SingleInstanceLock first("tarvel", folder);
    EXPECT_TRUE(first.IsFirstInstance());
    EXPECT_TRUE(SingleInstanceLock("tarvel", folder).IsFirstInstance());
    EXPECT_FALSE(std::filesystem::exists(folder / "elsewhere"));
}

// The user's lock folder cannot be used: the lock goes into a private folder under the home
// folder, made 0700, still keeps a second holder out, and the operator is told.
TEST(SingleInstanceLock, AnUnusableLockFolderGivesWayToAPrivateFolderWithAWarning) {
    namespace fs = std::filesystem;
    QTemporaryDir dir;
    const fs::path home = dir.path().toStdString();
    const QByteArray runtime = (dir.path() + QStringLiteral("/no-such-folder")).toLocal8Bit();
    qputenv("XDG_RUNTIME_DIR", runtime);
    qputenv("HOME", QByteArray(home.c_str()));
    const SingleInstanceLock first("tarvel");
    EXPECT_TRUE(first.IsFirstInstance());
    EXPECT_NE(first.Warning().find(runtime.toStdString()), std::string::npos) << first.Warning();
    EXPECT_NE(first.Warning().find((home / ".cache/tarvel").string()), std::string::npos)
        << first.Warning();
    struct stat status {};
    ASSERT_EQ(::lstat((home / ".cache/tarvel").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    EXPECT_TRUE(fs::exists(home / ".cache/tarvel/tarvel.lock"));
    EXPECT_FALSE(SingleInstanceLock("tarvel").IsFirstInstance());

    // With no usable folder at all it still runs, and says that nothing keeps a second copy out.
    qputenv("HOME", "relative");
    const SingleInstanceLock unlocked("tarvel");
    EXPECT_TRUE(unlocked.IsFirstInstance());
    EXPECT_NE(unlocked.Warning().find("不能保证只运行一个实例"), std::string::npos)
        << unlocked.Warning();
}

TEST(SingleInstanceLock, EachOwnerHasALockNameOfItsOwn) {
    EXPECT_EQ(LockNameFor("tarvel", "/etc/tarvel/a.inf"),
              LockNameFor("tarvel", "/etc/tarvel/a.inf"));
    EXPECT_NE(LockNameFor("tarvel", "/etc/tarvel/a.inf"),
              LockNameFor("tarvel", "/etc/tarvel/b.inf"));
    EXPECT_NE(LockNameFor("tarvel", "/etc/tarvel/a.inf"), LockNameFor("copy", "/etc/tarvel/a.inf"));
    EXPECT_TRUE(LockNameFor("tarvel", "/x").starts_with("tarvel-"));
    EXPECT_NE(LockNameFor("tarvel", "/x"), "tarvel") << "the dialog's lock stays apart";
}

TEST(UserLockDirectory, IsTheRuntimeFolderElseAPrivateFolderOfTheUsersOwn) {
    namespace fs = std::filesystem;
    QTemporaryDir dir;
    const fs::path tmp = dir.path().toStdString();
    EXPECT_EQ(UserLockDirectory("/run/user/1000", tmp), fs::path("/run/user/1000"));

    const fs::path own = tmp / ("tarvel-" + std::to_string(::getuid()));
    for (const char* runtime : {static_cast<const char*>(nullptr), ""}) {
        EXPECT_EQ(UserLockDirectory(runtime, tmp), own);
        struct stat status {};
        ASSERT_EQ(::lstat(own.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0700u);
        EXPECT_EQ(status.st_uid, ::getuid());
    }
    // Opened up by someone: closed again.
    fs::permissions(own, fs::perms::all);
    EXPECT_EQ(UserLockDirectory(nullptr, tmp), own);
    EXPECT_EQ(fs::status(own).permissions(), fs::perms::owner_all);

    // Anything else of that name is refused.
    fs::remove(own);
    fs::create_directory(tmp / "other");
    fs::create_directory_symlink(tmp / "other", own);
    EXPECT_EQ(UserLockDirectory(nullptr, tmp), fs::path());
    fs::remove(own);
    std::ofstream(own).put('x');
    EXPECT_EQ(UserLockDirectory(nullptr, tmp), fs::path());
    fs::remove(own);
    if (::getuid() != 0)
        GTEST_SKIP() << "a folder of another user's needs the administrator to make";
    fs::create_directory(own);
    ASSERT_EQ(::chown(own.c_str(), 4242, 4242), 0);
    EXPECT_EQ(UserLockDirectory(nullptr, tmp), fs::path());
}

TEST(StartProgram, ReportsWhetherTheProgramStartedAndEndedWell) {
    struct Case {
        const char* name;
        QString program;
        QStringList arguments;
        bool succeeded;
    };
    const Case cases[] = {
        {"ends well", QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("exit 0")}, true},
        {"exit code",
         QStringLiteral("sh"),
         {QStringLiteral("-c"), QStringLiteral("exit 3")},
         false},
        {"crash",
         QStringLiteral("sh"),
         {QStringLiteral("-c"), QStringLiteral("kill -9 $$")},
         false},
        {"no such program", QStringLiteral("/nonexistent/tarvel-viewer"), {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QObject owner;
        std::vector<bool> outcomes;
        StartProgram(c.program, c.arguments, &owner,
                     [&outcomes](bool succeeded) { outcomes.push_back(succeeded); });
        ASSERT_TRUE(ProcessEventsUntil([&] { return !outcomes.empty(); }, std::chrono::seconds(5)));
        QCoreApplication::processEvents();
        EXPECT_EQ(outcomes, std::vector<bool>{c.succeeded});
    }
}

TEST(StartProgram, AProgramStillRunningWhenItsOwnerGoesIsEndedWithoutAReport) {
    bool reported = false;
    {
        QObject owner;
        StartProgram(QStringLiteral("sleep"), {QStringLiteral("30")}, &owner,
                     [&reported](bool) { reported = true; });
        QTest::qWait(100);
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(reported);
}

} // namespace
