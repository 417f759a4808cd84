#pragma once

// How a later start of the program reaches the running one: a local socket beside the instance
// lock, on which the running instance takes requests to show its window.

#include <QLocalServer>
#include <QString>

#include <functional>

// The running instance's end. Each request to show the window runs `show`, on the thread that made
// this object.
class InstanceRequests : public QObject {
public:
    // Listens at `path`, which the caller's instance lock makes its own: whatever is there was left
    // by an instance that ended, and goes first. Nothing listens when that fails; the program runs
    // on as before, only a later start cannot reach it.
    InstanceRequests(const QString& path, std::function<void()> show);

private:
    void TakeConnection();

    QLocalServer m_server;
    std::function<void()> m_show;
};

// A later start's request that the instance listening at `path` show its window. False when nobody
// took the request (nobody listens there, or nothing can be written within a second).
bool AskRunningInstanceToShow(const QString& path);
