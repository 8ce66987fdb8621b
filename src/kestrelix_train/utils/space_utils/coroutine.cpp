// The module's native coroutine type (see coroutine.h for what it does).
#include "coroutine.h"
#include "function.h"
#include "internals.h"

#include <cstddef>
#include <utility>

namespace su {

namespace {

// ---------------------------------------------------------------------------
// The coroutine object
// ---------------------------------------------------------------------------

enum CoroState : int { kCoroCreated, kCoroSuspended, kCoroRunning, kCoroFinished };

struct CoroObject {
    PyObject_HEAD CoroBody *body; // lives in `storage`; nullptr once the body has ended
    PyObject *delegate;           // the iterator being awaited while suspended
    PyObject *globals;            // the module's namespace
    PyObject *funcname;           // the coroutine function's module-level name
    PyObject *name;               // __name__
    PyObject *qualname;           // __qualname__
    PyObject *weakreflist;
    int state;
    alignas(std::max_align_t) unsigned char storage[kCoroBodySize];
};

struct CoroWrapperObject {
    PyObject_HEAD CoroObject *coro;
};

PyTypeObject CoroType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "kestrelix_train.utils.space_utils.coroutine",
};
PyTypeObject CoroWrapperType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "kestrelix_train.utils.space_utils.coroutine_wrapper",
};

CoroObject *as_coro(PyObject *o) noexcept {
    return reinterpret_cast<CoroObject *>(o);
}

// Raises `exc_type(msg)` with the pending exception as its cause.
void raise_from_pending(PyObject *exc_type, const char *msg) noexcept {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v)
        PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    PyErr_SetString(exc_type, msg);
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    if (v && v2) {
        Py_INCREF(v);
        PyException_SetCause(v2, v);   // steals
        PyException_SetContext(v2, v); // steals
    } else {
        Py_XDECREF(v);
    }
    PyErr_Restore(t2, v2, tb2);
}

// Raises StopIteration carrying `value`, wrapping values that would
// otherwise be taken for the exception's arguments or the exception itself.
void set_stop_iteration(PyObject *value) noexcept {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
    } else if (PyTuple_Check(value) || PyExceptionInstance_Check(value)) {
        PyObject *e = PyObject_CallOneArg(PyExc_StopIteration, value);
        if (e) {
            PyErr_SetObject(PyExc_StopIteration, e);
            Py_DECREF(e);
        }
    } else {
        PyErr_SetObject(PyExc_StopIteration, value);
    }
}

// A pending StopIteration becomes its value (new reference); 0 on success,
// -1 (error left set) when the pending error is something else.
int fetch_stop_iteration_value(PyObject **value) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration))
        return -1;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    PyObject *result = nullptr;
    if (v && PyObject_TypeCheck(v, reinterpret_cast<PyTypeObject *>(PyExc_StopIteration)))
        result = reinterpret_cast<PyStopIterationObject *>(v)->value;
    *value = Py_NewRef(result ? result : Py_None);
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return 0;
}

// The body ends: no further resumption, every reference it held released.
// The state is set first, so code run by the releases sees a finished
// coroutine.
void end_body(CoroObject *c) noexcept {
    c->state = kCoroFinished;
    PyObject *delegate = std::exchange(c->delegate, nullptr);
    if (CoroBody *b = std::exchange(c->body, nullptr))
        b->~CoroBody();
    Py_XDECREF(delegate);
}

// The body ends with the pending exception.
void fail_body(CoroObject *c) noexcept {
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        raise_from_pending(PyExc_RuntimeError, "coroutine raised StopIteration");
    end_body(c);
}

bool is_iterable_coroutine(PyObject *o) noexcept {
    return PyGen_CheckExact(o) && (internals::gen_code_flags(o) & CO_ITERABLE_COROUTINE);
}

// The iterator that `await o` drives, with the interpreter's errors.
Ref awaitable_iter(PyObject *o) noexcept {
    if (Py_TYPE(o) == &CoroType) {
        if (as_coro(o)->delegate) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return {};
        }
        return Ref::borrow(o);
    }
    if (PyCoro_CheckExact(o)) {
        Ref yf = getattr(o, SU_STR(cr_await));
        if (!yf)
            return {};
        if (yf.get() != Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return {};
        }
        return Ref::borrow(o);
    }
    if (is_iterable_coroutine(o))
        return Ref::borrow(o);
    PyAsyncMethods *am = Py_TYPE(o)->tp_as_async;
    if (am && am->am_await) {
        Ref it = Ref::steal(am->am_await(o));
        if (!it)
            return {};
        if (PyCoro_CheckExact(it.get()) || is_iterable_coroutine(it.get()) ||
            Py_TYPE(it.get()) == &CoroType) {
            PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
            return {};
        }
        if (!PyIter_Check(it.get())) {
            PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                         Py_TYPE(it.get())->tp_name);
            return {};
        }
        return it;
    }
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    return {};
}

PySendResult send_value(CoroObject *c, PyObject *arg, PyObject **presult) noexcept;
PySendResult throw_in(CoroObject *c, PyObject *typ, PyObject *val, PyObject *tb, PyObject **presult) noexcept;
int close_coro(CoroObject *c) noexcept;

// Runs the body (state already kCoroRunning) with `value` as the result of
// its last await, until it suspends, returns or fails.
PySendResult run_body(CoroObject *c, PyObject *value, PyObject **presult) noexcept {
    Ref v = Ref::borrow(value);
    // The body runs Python code; what it is given is held for it.
    const Ref globals = Ref::borrow(c->globals);
    for (;;) {
        PyObject *out = nullptr;
        const CoroBody::Step step = c->body->resume(globals.get(), v.get(), &out);
        if (step == CoroBody::Step::Return) {
            end_body(c);
            *presult = out;
            return PYGEN_RETURN;
        }
        if (step == CoroBody::Step::Error) {
            fail_body(c);
            return PYGEN_ERROR;
        }
        Ref awaitable = Ref::steal(out);
        Ref it = awaitable_iter(awaitable.get());
        if (!it) {
            fail_body(c);
            return PYGEN_ERROR;
        }
        awaitable.reset();
        PyObject *res = nullptr;
        const PySendResult r = PyIter_Send(it.get(), Py_None, &res);
        if (r == PYGEN_NEXT) {
            c->delegate = it.release();
            c->state = kCoroSuspended;
            *presult = res;
            return PYGEN_NEXT;
        }
        if (r == PYGEN_ERROR) {
            it.reset();
            fail_body(c);
            return PYGEN_ERROR;
        }
        it.reset();
        v = Ref::steal(res);
    }
}

// What the delegate ended with (PYGEN_RETURN with its value, or PYGEN_ERROR)
// goes on into the body. State is kCoroRunning; the delegate is cleared.
PySendResult resume_after_delegate(CoroObject *c, PySendResult r, PyObject *res,
                                   PyObject **presult) noexcept {
    Py_CLEAR(c->delegate);
    if (r == PYGEN_ERROR) {
        fail_body(c);
        return PYGEN_ERROR;
    }
    Ref value = Ref::steal(res);
    return run_body(c, value.get(), presult);
}

PySendResult send_value(CoroObject *c, PyObject *arg, PyObject **presult) noexcept {
    *presult = nullptr;
    switch (c->state) {
    case kCoroRunning:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    case kCoroFinished:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    case kCoroCreated:
        if (arg && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        break;
    default:
        break;
    }
    RecursionGuard guard(" while running a coroutine");
    if (!guard.ok())
        return PYGEN_ERROR;
    c->state = kCoroRunning;
    if (c->delegate) {
        Ref yf = Ref::borrow(c->delegate);
        PyObject *res = nullptr;
        const PySendResult r = PyIter_Send(yf.get(), arg ? arg : Py_None, &res);
        if (r == PYGEN_NEXT) {
            c->state = kCoroSuspended;
            *presult = res;
            return PYGEN_NEXT;
        }
        return resume_after_delegate(c, r, res, presult);
    }
    return run_body(c, Py_None, presult);
}

// Closes an awaited iterator as the interpreter does: its `close()` when it
// has one; a failed look-up is reported as unraisable.
int close_iter(PyObject *yf) noexcept {
    if (Py_TYPE(yf) == &CoroType)
        return close_coro(as_coro(yf));
    Ref meth = getattr(yf, SU_STR(close));
    if (!meth) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(yf);
        return 0;
    }
    Ref r = call(meth.get());
    return r ? 0 : -1;
}

// The checks `throw()` makes of its arguments; a bad call leaves the
// coroutine as it is. Returns 0, or -1 with TypeError set.
int check_throw_args(PyObject *typ, PyObject *val, PyObject *tb) noexcept {
    if (tb && tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return -1;
    }
    if (PyExceptionClass_Check(typ))
        return 0;
    if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return -1;
        }
        return 0;
    }
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return -1;
}

// `yf.throw(typ[, val[, tb]])` through its method `meth`. From 3.12 on the
// interpreter throws into a generator or coroutine of its own without the
// deprecation warning of the three-argument form (the call that reached this
// coroutine gave it already): such a delegate gets the one exception object
// that the three arguments make, its traceback attached.
PyObject *call_throw(PyObject *meth, PyObject *yf, PyObject *typ, PyObject *val, PyObject *tb) noexcept {
    PyObject *argv[] = {typ, val, tb};
    const size_t n = !val ? 1 : !tb ? 2 : 3;
#if PY_VERSION_HEX >= 0x030C0000
    if (n > 1 && (PyGen_CheckExact(yf) || PyCoro_CheckExact(yf))) {
        if (check_throw_args(typ, val, tb) < 0)
            return nullptr;
        PyObject *t = Py_NewRef(typ), *v = Py_XNewRef(val), *b = tb == Py_None ? nullptr : Py_XNewRef(tb);
        if (PyExceptionClass_Check(t))
            PyErr_NormalizeException(&t, &v, &b);
        else
            Py_SETREF(v, Py_NewRef(t));
        Ref exc = Ref::steal(v);
        Py_DECREF(t);
        const int err =
            b && exc && PyExceptionInstance_Check(exc.get()) ? PyException_SetTraceback(exc.get(), b) : 0;
        Py_XDECREF(b);
        if (!exc || err < 0)
            return nullptr;
        PyObject *one = exc.get();
        return PyObject_Vectorcall(meth, &one, 1, nullptr);
    }
#else
    (void)yf;
#endif
    return PyObject_Vectorcall(meth, argv, n, nullptr);
}

// An exception arrives at the body while it is not awaiting (or after the
// delegate let it through): checks of state first, then the body ends.
PySendResult throw_here(CoroObject *c, PyObject *typ, PyObject *val, PyObject *tb) noexcept {
    if (check_throw_args(typ, val, tb) < 0)
        return PYGEN_ERROR;
    PyObject *t = Py_NewRef(typ), *v = Py_XNewRef(val), *b = tb == Py_None ? nullptr : Py_XNewRef(tb);
    if (PyExceptionClass_Check(t)) {
        PyErr_NormalizeException(&t, &v, &b);
    } else {
        Py_XDECREF(v);
        v = t;
        t = Py_NewRef(PyExceptionInstance_Class(v));
        if (!b)
            b = PyException_GetTraceback(v);
    }
    PyErr_Restore(t, v, b);
    switch (c->state) {
    case kCoroRunning:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    case kCoroFinished:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    default:
        fail_body(c);
        return PYGEN_ERROR;
    }
}

// `throw(typ[, val[, tb]])`: the exception goes first to what the body is
// awaiting, as it does for `await` in Python code.
PySendResult throw_in(CoroObject *c, PyObject *typ, PyObject *val, PyObject *tb,
                      PyObject **presult) noexcept {
    *presult = nullptr;
    if (!(c->delegate && c->state == kCoroSuspended))
        return throw_here(c, typ, val, tb);
    RecursionGuard guard(" while running a coroutine");
    if (!guard.ok())
        return PYGEN_ERROR;
    Ref yf = Ref::borrow(c->delegate);
    if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
        // Closing: the delegate is closed, then the exception reaches the body.
        if (check_throw_args(typ, val, tb) < 0)
            return PYGEN_ERROR;
        c->state = kCoroRunning;
        const int err = close_iter(yf.get());
        Py_CLEAR(c->delegate);
        c->state = kCoroSuspended;
        if (err < 0) {
            fail_body(c);
            return PYGEN_ERROR;
        }
        return throw_here(c, typ, val, tb);
    }
    PySendResult r;
    PyObject *res = nullptr;
    if (Py_TYPE(yf.get()) == &CoroType) {
        c->state = kCoroRunning;
        r = throw_in(as_coro(yf.get()), typ, val, tb, &res);
    } else {
        // The look-up runs while the coroutine is still suspended, as the
        // interpreter's does: a property may close the coroutine or send it
        // on. Its state is read again afterwards, never assumed.
        Ref meth = getattr(yf.get(), SU_STR(throw));
        if (!meth) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return PYGEN_ERROR;
            PyErr_Clear();
            return throw_here(c, typ, val, tb);
        }
        const int state = c->state;
        c->state = kCoroRunning;
        res = call_throw(meth.get(), yf.get(), typ, val, tb);
        c->state = state;
        if (res)
            r = PYGEN_NEXT;
        else
            r = fetch_stop_iteration_value(&res) == 0 ? PYGEN_RETURN : PYGEN_ERROR;
        if (r != PYGEN_NEXT && (state != kCoroSuspended || c->delegate != yf.get())) {
            // The coroutine no longer awaits `yf` (it was closed, or moved on
            // to another await, while `throw` was looked up): how `yf` ended
            // concerns it no more, and the exception meets the coroutine as
            // it is now ("cannot reuse already awaited coroutine" once it
            // has finished). What `yf` yields is passed up all the same, as
            // the interpreter does.
            if (r == PYGEN_RETURN)
                Py_DECREF(res);
            else
                PyErr_Clear();
            return throw_in(c, typ, val, tb, presult);
        }
    }
    if (r == PYGEN_NEXT) {
        if (c->state == kCoroRunning)
            c->state = kCoroSuspended;
        *presult = res;
        return PYGEN_NEXT;
    }
    c->state = kCoroRunning;
    return resume_after_delegate(c, r, res, presult);
}

// `close()`: GeneratorExit into a suspended coroutine; 0 or -1.
int close_coro(CoroObject *c) noexcept {
    switch (c->state) {
    case kCoroCreated:
    case kCoroFinished:
        end_body(c);
        return 0;
    case kCoroRunning:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return -1;
    default:
        break;
    }
    RecursionGuard guard(" while closing a coroutine");
    if (!guard.ok())
        return -1;
    int err = 0;
    if (c->delegate) {
        c->state = kCoroRunning;
        Ref yf = Ref::borrow(c->delegate);
        err = close_iter(yf.get());
        Py_CLEAR(c->delegate);
    }
    if (err == 0)
        PyErr_SetNone(PyExc_GeneratorExit);
    fail_body(c);
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// A send result as a method returns it: the value yielded, or NULL with
// StopIteration carrying the return value, or NULL with the error.
PyObject *as_method_result(PySendResult r, PyObject *res) noexcept {
    if (r == PYGEN_NEXT)
        return res;
    if (r == PYGEN_RETURN) {
        set_stop_iteration(res);
        Py_DECREF(res);
    }
    return nullptr;
}

int unpack_throw_args(PyObject *const *args, Py_ssize_t nargs, PyObject **typ, PyObject **val,
                      PyObject **tb) noexcept {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected %s%d argument%s, got %zd",
                     nargs < 1 ? "at least " : "at most ", nargs < 1 ? 1 : 3, nargs < 1 ? "" : "s", nargs);
        return -1;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return -1;
#endif
    *typ = args[0];
    *val = nargs > 1 ? args[1] : nullptr;
    *tb = nargs > 2 ? args[2] : nullptr;
    return 0;
}

// The coroutine and its wrapper document their methods alike.
constexpr const char kSendDoc[] =
    "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration.";
constexpr const char kThrowDoc[] = "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in "
                                   "coroutine, return next iterated value or raise\nStopIteration."
#if PY_VERSION_HEX >= 0x030C0000
                                   "\nthe (type, val, tb) signature is deprecated, \nand may be removed in "
                                   "a future version of Python."
#endif
    ;
constexpr const char kCloseDoc[] = "close() -> raise GeneratorExit inside coroutine.";

// ----- coroutine slots -----------------------------------------------------

PyObject *coro_send_method(PyObject *self, PyObject *arg) noexcept {
    PyObject *res = nullptr;
    PySendResult r = send_value(as_coro(self), arg, &res);
    return as_method_result(r, res);
}

PyObject *coro_throw_method(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    PyObject *typ, *val, *tb, *res = nullptr;
    if (unpack_throw_args(args, nargs, &typ, &val, &tb) < 0)
        return nullptr;
    PySendResult r = throw_in(as_coro(self), typ, val, tb, &res);
    return as_method_result(r, res);
}

PyObject *coro_close_method(PyObject *self, PyObject *) noexcept {
    return close_coro(as_coro(self)) < 0 ? nullptr : Py_NewRef(Py_None);
}

PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **result) noexcept {
    return send_value(as_coro(self), arg, result);
}

// `await coro` and `coro.__await__()`. A coroutine suspended in an await of
// its own already has an awaiter: a second one is refused, as the
// interpreter refuses to await such a coroutine twice.
PyObject *coro_am_await(PyObject *self) noexcept {
    if (as_coro(self)->delegate) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    CoroWrapperObject *w = PyObject_GC_New(CoroWrapperObject, &CoroWrapperType);
    if (!w)
        return nullptr;
    w->coro = reinterpret_cast<CoroObject *>(Py_NewRef(self));
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject *>(w);
}

int coro_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    CoroObject *c = as_coro(self);
    Py_VISIT(c->delegate);
    Py_VISIT(c->globals);
    // The names may be str subclasses whose instances refer back to us.
    Py_VISIT(c->funcname);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    if (c->body)
        return c->body->traverse(visit, arg);
    return 0;
}

// Breaks reference cycles through a coroutine the collector found
// unreachable. A running coroutine is always reachable (whoever runs it holds
// it), and is left whole all the same: its body may still need everything.
int coro_clear(PyObject *self) noexcept {
    CoroObject *c = as_coro(self);
    if (c->state == kCoroRunning)
        return 0;
    end_body(c);
    Py_CLEAR(c->globals);
    return 0;
}

// A suspended coroutine that goes away is closed, so what it awaits is
// closed too; one that never started warns, as the interpreter's do.
void coro_finalize(PyObject *self) noexcept {
    CoroObject *c = as_coro(self);
    if (c->state == kCoroFinished)
        return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (c->state == kCoroCreated) {
        const Ref qualname = Ref::borrow(c->qualname); // (its str() may rename the coroutine)
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", qualname.get()) < 0)
            PyErr_WriteUnraisable(self);
    } else if (close_coro(c) < 0) {
        PyErr_WriteUnraisable(self);
    }
    PyErr_Restore(t, v, tb);
}

void coro_dealloc(PyObject *self) noexcept {
    CoroObject *c = as_coro(self);
    PyObject_GC_UnTrack(self);
    if (c->weakreflist)
        PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0)
        return; // resurrected
    PyObject_GC_UnTrack(self);
    end_body(c);
    Py_CLEAR(c->globals);
    Py_CLEAR(c->funcname);
    Py_CLEAR(c->name);
    Py_CLEAR(c->qualname);
    PyObject_GC_Del(self);
}

PyObject *coro_repr(PyObject *self) noexcept {
    const Ref qualname = Ref::borrow(as_coro(self)->qualname); // (its str() may rename the coroutine)
    return PyUnicode_FromFormat("<coroutine object %S at %p>", qualname.get(), self);
}

PyObject *get_name(PyObject *self, void *) noexcept {
    return Py_NewRef(as_coro(self)->name);
}
PyObject *get_qualname(PyObject *self, void *) noexcept {
    return Py_NewRef(as_coro(self)->qualname);
}
int set_str_field(PyObject **field, PyObject *value, const char *what) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_field(&as_coro(self)->name, value, "__name__");
}
int set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    return set_str_field(&as_coro(self)->qualname, value, "__qualname__");
}
PyObject *get_cr_await(PyObject *self, void *) noexcept {
    CoroObject *c = as_coro(self);
    PyObject *yf = c->state == kCoroSuspended && c->delegate ? c->delegate : Py_None;
    return Py_NewRef(yf);
}
PyObject *get_cr_running(PyObject *self, void *) noexcept {
    return PyBool_FromLong(as_coro(self)->state == kCoroRunning);
}
PyObject *get_cr_suspended(PyObject *self, void *) noexcept {
    return PyBool_FromLong(as_coro(self)->state == kCoroSuspended);
}
PyObject *get_none(PyObject *, void *) noexcept {
    Py_RETURN_NONE;
}
// The code object of the coroutine function, found under its module-level
// name; None once that name is bound to something else.
PyObject *get_cr_code(PyObject *self, void *) noexcept {
    CoroObject *c = as_coro(self);
    if (c->globals) {
        PyObject *fn = PyDict_GetItemWithError(c->globals, c->funcname);
        // (a function emptied by the collector has no code object left)
        if (fn && Py_TYPE(fn) == &FuncType && reinterpret_cast<FuncObject *>(fn)->code)
            return Py_NewRef(reinterpret_cast<FuncObject *>(fn)->code);
        if (PyErr_Occurred())
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef coro_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(coro_send_method), METH_O, kSendDoc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw_method)), METH_FASTCALL,
     kThrowDoc},
    {"close", reinterpret_cast<PyCFunction>(coro_close_method), METH_NOARGS, kCloseDoc},
#if PY_VERSION_HEX >= 0x030D0000
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, PyDoc_STR("See PEP 585")},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, PyDoc_STR("name of the coroutine"), nullptr},
    {"__qualname__", get_qualname, set_qualname, PyDoc_STR("qualified name of the coroutine"), nullptr},
    {"cr_await", get_cr_await, nullptr, PyDoc_STR("object being awaited on, or None"), nullptr},
    {"cr_running", get_cr_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_cr_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_cr_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods coro_as_async = {coro_am_await, nullptr, nullptr, coro_am_send};

// ----- wrapper slots (what `__await__()` returns) --------------------------

CoroObject *wrapped(PyObject *w) noexcept {
    return reinterpret_cast<CoroWrapperObject *>(w)->coro;
}

PyObject *wrapper_iternext(PyObject *self) noexcept {
    PyObject *res = nullptr;
    const PySendResult r = send_value(wrapped(self), Py_None, &res);
    if (r == PYGEN_RETURN) {
        if (res != Py_None)
            set_stop_iteration(res);
        Py_DECREF(res);
        return nullptr;
    }
    return r == PYGEN_NEXT ? res : nullptr;
}

PyObject *wrapper_send(PyObject *self, PyObject *arg) noexcept {
    PyObject *res = nullptr;
    PySendResult r = send_value(wrapped(self), arg, &res);
    return as_method_result(r, res);
}

PyObject *wrapper_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) noexcept {
    PyObject *typ, *val, *tb, *res = nullptr;
    if (unpack_throw_args(args, nargs, &typ, &val, &tb) < 0)
        return nullptr;
    PySendResult r = throw_in(wrapped(self), typ, val, tb, &res);
    return as_method_result(r, res);
}

PyObject *wrapper_close(PyObject *self, PyObject *) noexcept {
    return close_coro(wrapped(self)) < 0 ? nullptr : Py_NewRef(Py_None);
}

PySendResult wrapper_am_send(PyObject *self, PyObject *arg, PyObject **result) noexcept {
    return send_value(wrapped(self), arg, result);
}

int wrapper_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(reinterpret_cast<PyObject *>(wrapped(self)));
    return 0;
}

void wrapper_dealloc(PyObject *self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<CoroWrapperObject *>(self)->coro);
    PyObject_GC_Del(self);
}

PyMethodDef wrapper_methods[] = {
    {"send", reinterpret_cast<PyCFunction>(wrapper_send), METH_O, kSendDoc},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(wrapper_throw)), METH_FASTCALL,
     kThrowDoc},
    {"close", reinterpret_cast<PyCFunction>(wrapper_close), METH_NOARGS, kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods wrapper_as_async = {nullptr, nullptr, nullptr, wrapper_am_send};

} // namespace

int ready_coroutine_types() noexcept {
    if (!(CoroType.tp_flags & Py_TPFLAGS_READY)) {
        CoroType.tp_basicsize = sizeof(CoroObject);
        CoroType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        CoroType.tp_doc = PyDoc_STR("A coroutine of kestrelix_train.utils.space_utils.");
        CoroType.tp_as_async = &coro_as_async;
        CoroType.tp_traverse = coro_traverse;
        CoroType.tp_clear = coro_clear;
        CoroType.tp_finalize = coro_finalize;
        CoroType.tp_dealloc = coro_dealloc;
        CoroType.tp_repr = coro_repr;
        CoroType.tp_methods = coro_methods;
        CoroType.tp_getset = coro_getset;
        CoroType.tp_weaklistoffset = offsetof(CoroObject, weakreflist);
        if (PyType_Ready(&CoroType) < 0)
            return -1;
    }
    if (!(CoroWrapperType.tp_flags & Py_TPFLAGS_READY)) {
        CoroWrapperType.tp_basicsize = sizeof(CoroWrapperObject);
        CoroWrapperType.tp_flags =
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
        CoroWrapperType.tp_doc = PyDoc_STR("The iterator that awaits a coroutine.");
        CoroWrapperType.tp_as_async = &wrapper_as_async;
        CoroWrapperType.tp_iter = PyObject_SelfIter;
        CoroWrapperType.tp_iternext = wrapper_iternext;
        CoroWrapperType.tp_traverse = wrapper_traverse;
        CoroWrapperType.tp_dealloc = wrapper_dealloc;
        CoroWrapperType.tp_methods = wrapper_methods;
        if (PyType_Ready(&CoroWrapperType) < 0)
            return -1;
    }
    return 0;
}

PyTypeObject *coroutine_type() noexcept {
    return &CoroType;
}

void *coroutine_body_storage(PyObject *globals, PyObject *funcname, PyObject **coro) noexcept {
    *coro = nullptr;
    if (!funcname)
        return nullptr;
    CoroObject *c = PyObject_GC_New(CoroObject, &CoroType);
    if (!c)
        return nullptr;
    c->body = nullptr;
    c->delegate = nullptr;
    c->globals = Py_NewRef(globals);
    c->funcname = Py_NewRef(funcname);
    c->name = Py_NewRef(funcname);
    c->qualname = Py_NewRef(funcname);
    c->weakreflist = nullptr;
    c->state = kCoroCreated;
    *coro = reinterpret_cast<PyObject *>(c);
    return c->storage;
}

PyObject *coroutine_start(PyObject *coro, CoroBody *body) noexcept {
    reinterpret_cast<CoroObject *>(coro)->body = body;
    PyObject_GC_Track(coro);
    return coro;
}

} // namespace su
