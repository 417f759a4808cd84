#pragma once

#include <utility>

// Puts `replacement` where `Slot()` points for the life of this object, and what was there back
// afterwards: how tests take the place of a seam (the message box, the program launcher).
template <typename Value, Value& (*Slot)()> class ScopedReplacement {
public:
    explicit ScopedReplacement(Value replacement)
        : m_previous(std::exchange(Slot(), std::move(replacement))) {}
    ~ScopedReplacement() { Slot() = std::move(m_previous); }
    ScopedReplacement(const ScopedReplacement&) = delete;
    ScopedReplacement& operator=(const ScopedReplacement&) = delete;

private:
    Value m_previous;
};
