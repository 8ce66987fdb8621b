// What each fast path stands in for, stated in one form and checked one way.
//
// A fast path answers for a call of the general path only while everything
// that call would reach by name is what the fast path was written for. It
// states those names once, as a table:
//
//     constexpr guards::Name kAllZeroNames[] = {
//         {guards::In::Module, "np", guards::Is::Numpy},
//         {guards::In::Numpy, "any", guards::Is::Any},
//         ...
//     };
//     guards::Names all_zero_names{kAllZeroNames};
//     ...
//     if (all_zero_names.hold(globals)) ... the fast path ...
//
// and, for the classes whose methods it answers for, the members their
// instances find:
//
//     constexpr guards::Member kSelectorMembers[] = {
//         {"is_repeat", guards::Has::SelectorRepeat},
//         {"repeat", guards::Has::Nothing},
//     };
//     guards::Members selector_members{kSelectorMembers};
//     ...
//     if (selector_members.hold(Py_TYPE(skill))) ...
//
// A name table is checked by looking each name up where the general path
// would read it (a global name in its namespace, then in that namespace's
// builtins) and comparing the object found, by identity, with the recorded
// one. The outcome is kept with the version tags of every dict the look-ups
// read; while none of those dicts has changed, no look-up could find
// anything else, so the next check is a comparison of tags. A member table is
// checked with the class's MRO and kept with the class's version tag.
// Checking runs no Python code and sets no error.
//
// All reading of version tags happens here (through internals.h).
#pragma once

#include "collaborators.h"
#include "function.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace su::guards {

// Where a name is read.
enum class In : unsigned char {
    Module,       // a global name of this module (its namespace, then its builtins)
    Numpy,        // an attribute of the numpy package
    Torch,        // an attribute of the torch package
    Spaces,       // an attribute of the core library's spaces module
    NumpyCode,    // what the code of a numpy function reads by name (see Is::CodeReads)
    BoxCode,      // a global name of the core library's Box.size
    SelectorCode, // a global name of the core library's SkillSelector methods
    TorchLibrary, // an attribute of torch.library
};

// What a name must lead to. The first ones are collaborators' fields.
enum class Is : unsigned char {
    Numpy,        // the numpy package
    Array,        // numpy.array
    Concatenate,  // numpy.concatenate
    Any,          // numpy.any
    Clip,         // numpy.clip
    Prod,         // numpy.prod
    Multiply,     // numpy.multiply
    Torch,        // the torch package
    Tensor,       // torch.Tensor
    FromNumpy,    // torch.from_numpy
    Flatten,      // torch.flatten
    Cat,          // torch.cat
    NestedDict,   // ray's NestedDict
    SpacesModule, // the core library's spaces module
    DictSpace,    // its Dict class
    NdArray,      // numpy.ndarray
    Int8,         // numpy.int8
    Int64,        // numpy.int64
    Float32,      // numpy.float32
    Float64,      // numpy.float64
    BoxSpace,     // the core library's Box class
    Int,          // the built-in int
    List,         // the built-in list
    Reshape,      // torch.reshape
    OrderedDict,  // collections.OrderedDict
    TupleSpace,   // the core library's Tuple class
    MultiSpace,   // its MultiDiscrete class
    Own,          // this module's own function with the given body
    // With In::NumpyCode and the name of numpy's `any`, `prod` or `clip`:
    // every global name its code reads, and every attribute of a module it
    // reads that way, leads to the object it led to when the module was set
    // up.
    CodeReads,
    Inf,   // numpy.inf
    Log,   // torch.log
    Clamp, // torch.clamp
    // torch.library's set of the Python kernels registered through it (see
    // kernels_plain())
    KernelRegistry,
};

struct Name {
    In in;
    const char *name;
    Is is;
    Impl own = nullptr; // the body, for Is::Own
};

// What a class's instances find for a member.
enum class Has : unsigned char {
    Nothing,            // no class of the MRO defines it (it comes from the instance)
    ObjectClass,        // object's own __class__
    BoxSize,            // the core library's Box.size
    BoxShape,           // the core library's Box.shape
    DictIter,           // the core library's Dict.__iter__
    DictGetItem,        // the core library's Dict.__getitem__
    SelectorFixedOrder, // SkillSelector.is_fixed_order
    SelectorChildren,   // SkillSelector.get_children_names
    SelectorRepeat,     // SkillSelector.is_repeat
    DiscreteSize,       // the core library's Discrete.size
    DiscreteShape,      // the core library's Discrete.shape
    // torch.Tensor's own members (torch's base class defines them)
    TensorAdd,          // __add__
    TensorShape,        // shape
    TensorDtype,        // dtype
    TensorRequiresGrad, // requires_grad
    TensorIsCpu,        // is_cpu
    TensorLayout,       // layout
    TensorIsNested,     // is_nested
    TensorIsNeg,        // is_neg
    TensorIsContiguous, // is_contiguous
    TensorDataPtr,      // data_ptr
    TensorGetItem,      // __getitem__
    TensorSplit,        // split_with_sizes
};

struct Member {
    const char *name;
    Has has;
};

// The namespace of `fn` when it is this module's own function with the body
// `impl` and no argument checks of its own (calling it runs `impl` on its
// arguments as they are), else nullptr.
PyObject *own_globals(PyObject *fn, Impl impl) noexcept;

// Whether `fn` is this module's own function of the namespace `globals`
// whose body is `impl`: calling the body directly is then the very call
// `fn(...)` would make.
bool is_own(PyObject *fn, Impl impl, PyObject *globals) noexcept;

// Whether `value`, already looked up by the caller, is the object `is`
// names (never Is::Own). Only after collaborators_ready() answered 1.
bool same(Is is, PyObject *value) noexcept;

// Whether numpy's array arithmetic (+, -, *, / on arrays) still calls
// numpy's own ufuncs: numpy 1.x lets np.set_numeric_ops replace them. Sets
// no error. Only after collaborators_ready() answered 1.
bool numpy_ops_plain() noexcept;

// The operators a fast path calls in place of the general path's calls, or
// whose calls by the general path it leaves out, by kind of fast path.
enum class Kernels : unsigned char {
    // cutting logits: split_with_sizes and slice, and what the general
    // path's reshape of a slice may call (reshape, view, _reshape_alias,
    // alias, as_strided), on any device
    Views,
    // making or filling new CPU tensors in place of the general path's
    // torch.flatten, torch.cat, torch.log, torch.clamp and addition: those,
    // and the allocations (empty, empty_like, empty_strided, _unsafe_view);
    // kernels for meta tensors do not count (torch registers its own)
    Cpu,
};

// Whether no Python kernel registered through torch.library (for any
// dispatch key) can take over one of the operators of `which`: torch then
// runs its own kernels for them, which run no Python code. The registry
// (torch.library's `_impls`, guarded as a name) is read once per change of
// its size: torch.library adds one entry per registration and takes a
// library's entries away when the library goes. Sets no error. Only after
// collaborators_ready() answered 1.
bool kernels_plain(Kernels which) noexcept;

constexpr size_t kMaxNames = 12;
constexpr size_t kMaxDicts = 10;

class Names {
  public:
    template <size_t N> constexpr explicit Names(const Name (&names)[N]) noexcept : names_(names), n_(N) {
        static_assert(N <= kMaxNames);
    }
    Names(const Names &) = delete;
    Names &operator=(const Names &) = delete;

    // Whether every name still leads to its object, for the module namespace
    // `globals`. Only after collaborators_ready() answered 1.
    bool hold(PyObject *globals) noexcept {
        if (SU_LIKELY(ok_ && globals == globals_ && tags_unchanged()))
            return true;
        return check(globals);
    }

  private:
    bool tags_unchanged() const noexcept {
        for (size_t i = 0; i < ndicts_; ++i)
            if (internals::dict_tag(dicts_[i]) != tags_[i])
                return false;
        return true;
    }
    bool check(PyObject *globals) noexcept;

    const Name *names_;
    size_t n_;
    PyObject *interned_[kMaxNames] = {};
    bool ok_ = false;
    PyObject *globals_ = nullptr;
    size_t ndicts_ = 0;
    PyObject *dicts_[kMaxDicts] = {}; // strong references, kept until the next check
    uint64_t tags_[kMaxDicts] = {};
};

class Members {
  public:
    template <size_t N>
    constexpr explicit Members(const Member (&members)[N]) noexcept : members_(members), n_(N) {
        static_assert(N <= kMaxNames);
    }
    Members(const Members &) = delete;
    Members &operator=(const Members &) = delete;

    // Whether generic attribute access on instances of `tp` finds each
    // member as stated. Only after collaborators_ready() answered 1.
    bool hold(PyTypeObject *tp) noexcept {
        if (SU_LIKELY(tp == type_ && tag_ != 0 && tag_unchanged()))
            return true;
        return check(tp);
    }

  private:
    bool tag_unchanged() const noexcept { return internals::type_tag(type_) == tag_; }
    bool check(PyTypeObject *tp) noexcept;

    const Member *members_;
    size_t n_;
    PyObject *interned_[kMaxNames] = {};
    PyTypeObject *type_ = nullptr;
    unsigned int tag_ = 0;
};

// The version tags of a few dicts, taken at one moment, for a cache of
// look-ups in them: `unchanged()` says whether none of them has changed
// since, so that the same look-ups would find the same objects. Keeps a
// strong reference to each dict until the next `take`.
class Snapshot {
  public:
    Snapshot() noexcept = default;
    Snapshot(const Snapshot &) = delete;
    Snapshot &operator=(const Snapshot &) = delete;

    void take(std::initializer_list<PyObject *> dicts) noexcept;
    bool unchanged() const noexcept {
        if (n_ == 0)
            return false;
        for (size_t i = 0; i < n_; ++i)
            if (internals::dict_tag(dicts_[i]) != tags_[i])
                return false;
        return true;
    }
    // Forgets what was taken (the references are dropped at the next take).
    void forget() noexcept { n_ = 0; }

  private:
    static constexpr size_t kMax = 4;
    PyObject *dicts_[kMax] = {};
    uint64_t tags_[kMax] = {};
    size_t n_ = 0;
    size_t held_ = 0;
};

} // namespace su::guards
