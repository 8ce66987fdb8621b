// The module's native coroutine type.
//
// A coroutine function of the module returns a `coroutine` object whose body
// is a small C++ state machine (a `CoroBody`). The body keeps every value it
// needs across an `await` in `Ref` fields, never in C++ locals, so the
// garbage collector sees all of it through the coroutine's traverse slot, and
// dropping the body (when it returns, fails, or the coroutine is cleared)
// releases all of it.
//
// The coroutine object drives the body the way the interpreter drives the
// frame of an `async def`:
//
//   * `resume()` runs the body until it returns, fails, or asks to await an
//     object. The object's iterator (through `am_await` / `__await__`) becomes
//     the delegate: what it yields goes up to whoever drives the coroutine
//     (an event loop, `await` in Python code, another of these coroutines),
//     values sent and exceptions thrown go down to it, `close()` closes it.
//     When the delegate finishes, its value is handed back to `resume()`.
//   * The bodies have no handlers of their own: an exception that reaches a
//     body (raised by a collaborator, by the delegate, or thrown in while
//     nothing is being awaited) ends it. A StopIteration leaving a body turns
//     into RuntimeError, as for any coroutine.
//   * Texts and states are the interpreter's own: "coroutine already
//     executing", "cannot reuse already awaited coroutine", the
//     never-awaited RuntimeWarning, `cr_await`, `cr_running`, ...
//
// Like the interpreter's coroutines, the object is not an iterator itself:
// `__await__()` hands out a small wrapper iterator, while event loops drive
// it through `send` / `throw` or the `am_send` slot.
#pragma once

#include "ref.h"

#include <cstddef>
#include <new>
#include <utility>

namespace su {

// ---------------------------------------------------------------------------
// Body interface
// ---------------------------------------------------------------------------

class CoroBody {
  public:
    enum class Step { Await, Return, Error };

    CoroBody() noexcept = default;
    CoroBody(const CoroBody &) = delete;
    CoroBody &operator=(const CoroBody &) = delete;
    virtual ~CoroBody() = default;

    // Runs the body from where it stopped. `value` (borrowed) is the result
    // of the await it stopped at, None on the first run. Await and Return
    // put a new reference in `*out` (the object to await / the result);
    // Error leaves the Python error indicator set.
    virtual Step resume(PyObject *globals, PyObject *value, PyObject **out) noexcept = 0;

    // Visits every Python object the body holds.
    virtual int traverse(visitproc visit, void *arg) const noexcept = 0;

  protected:
    Step await_then(int next_state, Ref awaitable, PyObject **out) noexcept {
        if (!awaitable)
            return Step::Error;
        state_ = next_state;
        *out = awaitable.release();
        return Step::Await;
    }
    static Step finish(Ref result, PyObject **out) noexcept {
        if (!result)
            return Step::Error;
        *out = result.release();
        return Step::Return;
    }

    int state_ = 0;
};

template <class... R> inline int visit_refs(visitproc visit, void *arg, const R &...refs) noexcept {
    int err = 0;
    ((err = err ? err : (refs.get() ? visit(refs.get(), arg) : 0)), ...);
    return err;
}

// ---------------------------------------------------------------------------
// Making coroutines
// ---------------------------------------------------------------------------

// Room for the largest body, kept inside the coroutine object: no second
// allocation.
constexpr std::size_t kCoroBodySize = 160;

// The two halves of new_coroutine(): a coroutine object not yet started
// (in `*coro`) and the room its body is built in; nullptr with an error set
// when the object cannot be made. coroutine_start() hands the built body to
// the object and returns the object.
void *coroutine_body_storage(PyObject *globals, PyObject *funcname, PyObject **coro) noexcept;
PyObject *coroutine_start(PyObject *coro, CoroBody *body) noexcept;

// Creates a coroutine of the module function `funcname` (whose namespace is
// `globals`) with a body `B` built from `args...` (its constructor must not
// fail). The body starts at the first send.
template <class B, class... A> PyObject *new_coroutine(PyObject *globals, PyObject *funcname, A &&...args) {
    static_assert(sizeof(B) <= kCoroBodySize, "coroutine body too large");
    static_assert(alignof(B) <= alignof(std::max_align_t), "coroutine body over-aligned");
    PyObject *coro;
    void *storage = coroutine_body_storage(globals, funcname, &coro);
    if (!storage)
        return nullptr;
    return coroutine_start(coro, new (storage) B(std::forward<A>(args)...));
}

// Readies the coroutine type and the type of what its `__await__()` returns
// (once per process); 0, or -1 with an error set.
int ready_coroutine_types() noexcept;

// The coroutine type (registered with collections.abc.Coroutine at import).
PyTypeObject *coroutine_type() noexcept;

} // namespace su
