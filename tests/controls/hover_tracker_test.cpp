#include <gtest/gtest.h>

#include <QWidget>

#include "controls/hover_tracker.h"

namespace {

TEST(HoverTracker, ControlAndChildCountAsOneAreaAndStaleLeavesAreIgnored) {
    QWidget owner;
    QWidget child(&owner);
    QWidget other;
    HoverTracker tracker;
    tracker.owner = &owner;

    struct Step {
        const char* what;
        bool leave;
        QWidget* window;
        int hover;
        QWidget* tracked;
    };
    const Step steps[] = {
        {"move over the control", false, nullptr, 1, &owner},
        {"move again", false, &owner, 1, &owner},
        {"move into the child", false, &child, 1, &child},
        {"stale leave of the control", true, nullptr, 1, &child},
        {"leave of an unrelated window", true, &other, 1, &child},
        {"leave of the child", true, &child, 0, &child},
        {"back over the control", false, nullptr, 1, &owner},
        {"leave of the control", true, &owner, 0, &owner},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        if (s.leave)
            EndHover(tracker, s.window);
        else
            TrackHover(tracker, s.window);
        EXPECT_EQ(tracker.hover, s.hover);
        EXPECT_EQ(tracker.tracked, s.tracked);
    }
}

} // namespace
