// Scope guard: runs an undo action when the scope is left, unless the work it guards completed.
//
// Used to give locks back and to undo half-done construction on every path, exceptions included:
//     TKxScopeGuard closeOnFailure([&] { CloseHandle(handle); });
//     ...                          // may throw
//     closeOnFailure.Dismiss();    // success: keep the handle
#pragma once

#include <utility>

template <class Undo>
class TKxScopeGuard {
public:
    explicit TKxScopeGuard(Undo undo) : m_undo(std::move(undo)) {}
    ~TKxScopeGuard() {
        if (m_active) m_undo();
    }
    TKxScopeGuard(const TKxScopeGuard&) = delete;
    TKxScopeGuard& operator=(const TKxScopeGuard&) = delete;

    // The guarded work completed: leave it as it is.
    void Dismiss() { m_active = false; }

private:
    Undo m_undo;
    bool m_active = true;
};
