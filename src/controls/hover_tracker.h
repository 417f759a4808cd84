#pragma once

#include <cstdint>

class QEvent;
class QWidget;

// Hover state shared by a control and its child windows: the pointer counts as over the control
// while it is over the control or any child that reports to the same tracker. The owner is
// repainted whenever the hover flag changes.
struct HoverTracker {
    QWidget* owner = nullptr;   // the control that shows the hover look
    QWidget* tracked = nullptr; // window whose leave ends the hover
    std::uint8_t hover = 0;
};

// A move over `window` (null = the owner).
void TrackHover(HoverTracker& tracker, QWidget* window);
// A leave from `window` (null = the owner); a leave from any window but the tracked one is stale.
void EndHover(HoverTracker& tracker, QWidget* window);

// Feeds one toolkit event of `window` (the owner or a child of it) into the tracker: enter and
// move count as a move, leave as a leave. Other events are ignored.
void FeedHoverEvent(HoverTracker& tracker, QWidget* window, const QEvent* event);
