#include <QApplication>
#include <gtest/gtest.h>

#include "desktop/fonts.h"

// GUI tests run headless with the program's own style and fonts, so pixel checks are repeatable.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    InstallDialogLook();
    return RUN_ALL_TESTS();
}
