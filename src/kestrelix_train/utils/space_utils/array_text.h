// The trace line of make_np_array, `print("x===", x, type(x))`.
//
// When `print` is the interpreter's own print, the line is written here:
// the same lookups of sys.stdout, the same write() calls in the same order,
// and the text of numpy arrays, numpy scalars and the containers that hold
// them made natively, character for character what numpy's printer makes.
// Any other `print` is called exactly as a Python caller would call it.
#pragma once

#include "ref.h"

namespace su {

// Writes the trace line of `x` through `print`. Returns 0, or -1 with the
// error raised by print, by sys.stdout's write or by a str()/repr() set.
int print_trace_line(PyObject *print, PyObject *x) noexcept;

} // namespace su
