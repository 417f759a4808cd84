#pragma once

#include <QObject>

#include <functional>
#include <map>
#include <memory>

class QTimer;

// Window timers addressed by the program's numeric ids: SetTimer with an id that is already running
// restarts it with the new period, as the platform does; each tick calls the owner's OnTimer(id).
class WindowTimers {
public:
    explicit WindowTimers(QObject* owner, std::function<void(unsigned int)> onTimer);
    ~WindowTimers();
    WindowTimers(const WindowTimers&) = delete;
    WindowTimers& operator=(const WindowTimers&) = delete;

    void SetTimer(unsigned int id, unsigned int periodMs);
    void KillTimer(unsigned int id);
    bool IsActive(unsigned int id) const;
    // The period of a running timer, or -1 when it does not run.
    int Period(unsigned int id) const;

private:
    QObject* m_owner;
    std::function<void(unsigned int)> m_onTimer;
    std::map<unsigned int, std::unique_ptr<QTimer>> m_timers;
};
