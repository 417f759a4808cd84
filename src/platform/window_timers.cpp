#include "platform/window_timers.h"

#include <QTimer>

WindowTimers::WindowTimers(QObject* owner, std::function<void(unsigned int)> onTimer)
    : m_owner(owner), m_onTimer(std::move(onTimer)) {}

WindowTimers::~WindowTimers() = default;

void WindowTimers::SetTimer(unsigned int id, unsigned int periodMs) {
    auto& timer = m_timers[id];
    if (!timer) {
        timer = std::make_unique<QTimer>();
        QObject::connect(timer.get(), &QTimer::timeout, m_owner, [this, id] { m_onTimer(id); });
    }
    timer->start(static_cast<int>(periodMs));
}

void WindowTimers::KillTimer(unsigned int id) {
    if (auto it = m_timers.find(id); it != m_timers.end())
        it->second->stop();
}

bool WindowTimers::IsActive(unsigned int id) const {
    auto it = m_timers.find(id);
    return it != m_timers.end() && it->second->isActive();
}

int WindowTimers::Period(unsigned int id) const {
    return IsActive(id) ? m_timers.at(id)->interval() : -1;
}
