// The cyclic collector held off for a scope: while it is, an allocation runs
// no finalizer, so a stretch that calls only C getters and torch's own
// slicing runs no Python code at all. The collector's earlier state comes
// back at the end (a caller that had disabled it keeps it disabled).
#pragma once

#include <Python.h>

namespace su {

class CollectorHeld {
  public:
    CollectorHeld() noexcept : was_enabled_(PyGC_Disable()) {}
    ~CollectorHeld() { release(); }
    // Gives the collector back before the scope ends.
    void release() noexcept {
        if (was_enabled_)
            PyGC_Enable();
        was_enabled_ = 0;
    }
    CollectorHeld(const CollectorHeld &) = delete;
    CollectorHeld &operator=(const CollectorHeld &) = delete;

  private:
    int was_enabled_;
};

} // namespace su
