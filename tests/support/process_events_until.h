#pragma once

#include <QCoreApplication>

#include <chrono>
#include <functional>
#include <thread>

// Processes the toolkit's events until `done` holds or the timeout passes; true when it held.
// (QtTest's own waiting macros report to a QtTest run, which these GoogleTest cases are not.)
inline bool ProcessEventsUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout = std::chrono::seconds(3)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
