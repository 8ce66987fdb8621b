// numpy's C API and the collaborators' own objects, shared by every unit
// that has a native fast path.
//
// A fast path stands in for a call of the general path only while the names
// that call goes through (`np`, `np.concatenate`, `torch.cat`, ...) still lead
// to the very objects recorded here; guards.h states and checks those names.
// The objects are taken from the modules that define them, not from a
// namespace a caller may have patched, once per process, and are kept for the
// life of the process (like interned names).
//
// Use:
//
//     int r = collaborators_ready();
//     if (r < 0)
//         return nullptr;                 // a real error: pass it on
//     if (r > 0) {
//         ... the fast path's guards (guards.h), then the fast path ...
//     }
//     ... the general path ...
//
// `collaborators_ready()` answers
//    1  ready: numpy's C API is loaded and every field below is set;
//    0  unavailable (numpy's C API or a collaborator cannot be had): only the
//       general paths may run. No error is set, and the answer is for good;
//   -1  an error that must not be swallowed (KeyboardInterrupt, MemoryError,
//       whatever code run by the imports raised). The set-up is tried again
//       on the next call.
// Two threads may arrive together (the imports let other threads run): each
// loads on its own, the first to finish publishes, the other releases what
// it loaded. Nothing is ever published half-made.
//
// Every unit that uses numpy's C API includes this header rather than
// numpy's own: all units share the one API table, filled here.
#pragma once

#include "internals.h"
#include "ref.h"

#include <cstring>
#include <initializer_list>

#define PY_ARRAY_UNIQUE_SYMBOL SU_NUMPY_ARRAY_API
#ifndef SU_COLLABORATORS_UNIT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace su {

// The value of type T stored at `p` (an array's element, which need not be
// aligned for T).
template <class T> inline T load(const char *p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

struct Collaborators {
    // numpy (the C API covers numpy.ndarray, the scalar types, dtypes)
    PyObject *numpy = nullptr;       // the numpy package
    PyObject *array = nullptr;       // numpy.array
    PyObject *concatenate = nullptr; // numpy.concatenate
    PyObject *any = nullptr;         // numpy.any
    PyObject *multiply = nullptr;    // numpy.multiply (a ufunc)
    PyObject *clip = nullptr;        // numpy.clip
    PyObject *prod = nullptr;        // numpy.prod
    // numpy 1.x: np.set_numeric_ops, which may replace the ufuncs behind
    // array arithmetic, and numpy's own ufuncs for kNumericOps, taken from
    // numpy.core.umath (a dict by name); nullptr with numpy 2.
    PyObject *set_numeric_ops = nullptr;
    PyObject *numeric_ops = nullptr;
    // What the code of np.any, np.prod and np.clip reads by name, found when
    // the module was set up: a tuple of (namespace, name, object, builtins)
    // for each global name (builtins: the dict a name missing from the
    // namespace comes from) and (module namespace, name, object, None) for
    // each attribute of a module it reads that way. nullptr where that code
    // cannot be had.
    PyObject *any_reads = nullptr;
    PyObject *prod_reads = nullptr;
    PyObject *clip_reads = nullptr;
    PyObject *inf = nullptr; // numpy.inf, where it is a float holding +inf
    // torch
    PyObject *torch = nullptr;      // the torch package
    PyObject *tensor = nullptr;     // torch.Tensor
    PyObject *from_numpy = nullptr; // torch.from_numpy
    PyObject *flatten = nullptr;    // torch.flatten
    PyObject *cat = nullptr;        // torch.cat
    PyObject *empty = nullptr;      // torch.empty
    PyObject *cpu = nullptr;        // torch.device("cpu")
    PyObject *reshape = nullptr;    // torch.reshape
    // torch._C.is_grad_enabled, and the method torch's tensors are split
    // with (TensorBase.split_with_sizes, a method descriptor)
    PyObject *grad_enabled = nullptr;
    PyObject *split_with_sizes = nullptr;
    // The subscript slot of torch's own tensor class (TensorBase)
    binaryfunc tensor_subscript = nullptr;
    PyObject *log = nullptr;               // torch.log
    PyObject *clamp = nullptr;             // torch.clamp
    PyObject *empty_like = nullptr;        // torch.empty_like
    PyObject *is_grad_enabled = nullptr;   // torch.is_grad_enabled
    PyObject *get_default_dtype = nullptr; // torch.get_default_dtype
    PyObject *strided = nullptr;           // torch.strided
    PyObject *contiguous_format = nullptr; // torch.contiguous_format
    PyObject *bfloat16 = nullptr;          // torch.bfloat16
    // The namespace of torch.autograd.forward_ad, whose `_current_level` is
    // -1 while no dual level is entered (no tensor has a forward gradient);
    // nullptr where it cannot be had.
    PyObject *forward_ad_globals = nullptr;
    // Members of torch.Tensor as its MRO finds them when the module is set
    // up (a method or an attribute descriptor of its base); nullptr where
    // one is missing, which turns off the fast path that needs it.
    PyObject *tensor_add = nullptr;           // __add__
    PyObject *tensor_shape = nullptr;         // shape
    PyObject *tensor_dtype = nullptr;         // dtype
    PyObject *tensor_requires_grad = nullptr; // requires_grad
    PyObject *tensor_is_cpu = nullptr;        // is_cpu
    PyObject *tensor_layout = nullptr;        // layout
    PyObject *tensor_is_nested = nullptr;     // is_nested
    PyObject *tensor_is_neg = nullptr;        // is_neg
    PyObject *tensor_is_contiguous = nullptr; // is_contiguous
    PyObject *tensor_data_ptr = nullptr;      // data_ptr
    PyObject *tensor_getitem = nullptr;       // __getitem__ (a slot wrapper)
    // torch.library, and the set of the Python kernels registered through
    // it ("namespace/operator[.overload]/dispatch key"); nullptr where either
    // cannot be had, which turns off the fast paths that call an operator
    // such a kernel could take over.
    PyObject *library_module = nullptr;
    PyObject *kernel_registry = nullptr;
    // torch's state that makes its calls behave otherwise than plainly:
    // function modes (a default device among them), dispatch modes (fake
    // tensors among them) and functorch transforms. See torch_plain().
    PyObject *function_mode_enabled = nullptr; // torch._C._is_torch_function_mode_enabled
    PyObject *dispatch_stack_len = nullptr;    // torch._C._len_torch_dispatch_stack
    PyObject *functorch_active = nullptr;      // torch._C._are_functorch_transforms_active
    // The torch dtype that torch.from_numpy gives an array of each numpy type
    // number; nullptr where torch.from_numpy does not take that type.
    PyObject *torch_dtype[NPY_NTYPES_LEGACY] = {};
    // others
    PyObject *nested_dict = nullptr;     // ray's NestedDict
    PyObject *ordered_dict = nullptr;    // collections.OrderedDict
    PyObject *spaces_module = nullptr;   // kestrelix_core.spaces
    PyTypeObject *dict_space = nullptr;  // kestrelix_core.spaces.Dict
    PyTypeObject *tuple_space = nullptr; // kestrelix_core.spaces.Tuple
    // kestrelix_core.spaces' MultiDiscrete, Discrete and Box
    PyTypeObject *multi_discrete_space = nullptr;
    PyTypeObject *discrete_space = nullptr;
    PyTypeObject *box_space = nullptr;
    // Members of the core library's classes, as the classes find them (a
    // function, or a property), where their code reads what the fast paths
    // that stand in for them expect; nullptr otherwise, which turns just
    // that fast path off.
    PyObject *box_size = nullptr;                // Box.size: int(np.prod(self.shape, dtype=np.int64))
    PyObject *box_shape = nullptr;               // Box.shape: self._shape
    PyObject *box_size_getter = nullptr;         // the function behind Box.size
    PyObject *discrete_size = nullptr;           // Discrete.size: int(self.n)
    PyObject *discrete_shape = nullptr;          // Discrete.shape: (self.size,)
    PyObject *dict_iter = nullptr;               // Dict.__iter__: iter(self.spaces)
    PyObject *dict_getitem = nullptr;            // Dict.__getitem__: self.spaces[key]
    PyObject *selector_is_fixed_order = nullptr; // SkillSelector.is_fixed_order: self.fixed_order
    PyObject *selector_children = nullptr;  // SkillSelector.get_children_names: list(self.children_names)
    PyObject *selector_is_repeat = nullptr; // SkillSelector.is_repeat: self.repeat
    // The namespaces (and builtins) that the code of Box.size (and of
    // Discrete.size, which reads the same ones) and of SkillSelector's
    // methods reads its global names from.
    PyObject *box_code_globals = nullptr;
    PyObject *box_code_builtins = nullptr;
    PyObject *selector_code_globals = nullptr;
    PyObject *selector_code_builtins = nullptr;
};

// The array arithmetic that numpy 1.x's set_numeric_ops can replace and
// that native paths stand in for.
inline constexpr const char *kNumericOps[] = {"add", "subtract", "multiply", "true_divide"};

namespace collaborators_detail {
extern Collaborators published;
extern int state; // 1 ready, -1 unavailable, 0 not (yet) set up
int set_up() noexcept;
} // namespace collaborators_detail

// See above: 1 ready, 0 unavailable (no error set), -1 with an error set.
inline int collaborators_ready() noexcept {
    using namespace collaborators_detail;
    if (SU_LIKELY(state != 0))
        return state > 0;
    return set_up();
}

// The recorded objects (borrowed). Only meaningful once collaborators_ready()
// has answered 1.
inline const Collaborators &collaborators() noexcept {
    return collaborators_detail::published;
}

// Whether torch's calls behave plainly: no function or dispatch mode and no
// functorch transform active in this thread. Asking runs no Python code (the
// three are torch's own native functions). 1 plain, 0 not (a failure of
// torch's own counts as not), -1 with an error that must not be swallowed.
// Only after collaborators_ready() has answered 1.
int torch_plain() noexcept;

} // namespace su
