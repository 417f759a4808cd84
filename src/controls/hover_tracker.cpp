#include "controls/hover_tracker.h"

#include <QEvent>
#include <QWidget>

namespace {
void RepaintOwner(const HoverTracker& tracker) {
    if (tracker.owner != nullptr)
        tracker.owner->update();
}
} // namespace

// The toolkit always reports leaving a window, so asking for the leave notification comes down
// to remembering which window's leave counts.
void TrackHover(HoverTracker& tracker, QWidget* window) {
    if (window == nullptr)
        window = tracker.owner;
    if (tracker.hover == 0) {
        tracker.hover = 1;
        RepaintOwner(tracker);
        tracker.tracked = window;
    } else if (window != tracker.tracked) {
        // Moved between the control and one of its children: still hovering, no repaint.
        tracker.tracked = window;
    }
}

void EndHover(HoverTracker& tracker, QWidget* window) {
    if (window == nullptr)
        window = tracker.owner;
    if (window != tracker.tracked)
        return;
    tracker.hover = 0;
    RepaintOwner(tracker);
}

void FeedHoverEvent(HoverTracker& tracker, QWidget* window, const QEvent* event) {
    switch (event->type()) {
    case QEvent::Enter:
    case QEvent::MouseMove:
        TrackHover(tracker, window);
        break;
    case QEvent::Leave:
        EndHover(tracker, window);
        break;
    default:
        break;
    }
}
