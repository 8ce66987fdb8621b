// The checks behind the fast paths' name and member tables (see guards.h).
#include "guards.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <span>
#include <string_view>
#include <utility>

namespace su::guards {

namespace {

// numpy's int64 scalar type (borrowed).
PyObject *int64_type() noexcept {
    PyArray_Descr *d = PyArray_DescrFromType(NPY_INT64);
    Py_DECREF(d); // numpy keeps its builtin descriptors, and their types, for good
    return reinterpret_cast<PyObject *>(d->typeobj);
}

PyObject *as_object(PyTypeObject *tp) noexcept {
    return reinterpret_cast<PyObject *>(tp);
}

// The collaborators' field behind each of the first kinds of Is.
constexpr PyObject *Collaborators::*kFieldOf[] = {
    &Collaborators::numpy,       &Collaborators::array,        &Collaborators::concatenate,
    &Collaborators::any,         &Collaborators::clip,         &Collaborators::prod,
    &Collaborators::multiply,    &Collaborators::torch,        &Collaborators::tensor,
    &Collaborators::from_numpy,  &Collaborators::flatten,      &Collaborators::cat,
    &Collaborators::nested_dict, &Collaborators::spaces_module};

static_assert(std::size(kFieldOf) == static_cast<size_t>(Is::DictSpace));

// The object `is` names; nullptr where it could not be had (the fast paths
// that need it are then off).
PyObject *expected(Is is, const Collaborators &c) noexcept {
    const auto k = static_cast<size_t>(is);
    if (k < std::size(kFieldOf))
        return c.*kFieldOf[k];
    switch (is) {
    case Is::DictSpace:
        return as_object(c.dict_space);
    case Is::NdArray:
        return as_object(&PyArray_Type);
    case Is::Int8:
        return as_object(&PyByteArrType_Type);
    case Is::Int64:
        return int64_type();
    case Is::Float32:
        return as_object(&PyFloatArrType_Type);
    case Is::Float64:
        return as_object(&PyDoubleArrType_Type);
    case Is::BoxSpace:
        return as_object(c.box_space);
    case Is::Int:
        return as_object(&PyLong_Type);
    case Is::List:
        return as_object(&PyList_Type);
    case Is::Reshape:
        return c.reshape;
    case Is::OrderedDict:
        return c.ordered_dict;
    case Is::TupleSpace:
        return as_object(c.tuple_space);
    case Is::MultiSpace:
        return as_object(c.multi_discrete_space);
    case Is::Inf:
        return c.inf;
    case Is::Log:
        return c.log;
    case Is::Clamp:
        return c.clamp;
    case Is::KernelRegistry:
        return c.kernel_registry;
    default:
        return nullptr;
    }
}

// The namespace of a plain module (borrowed), else nullptr.
PyObject *module_namespace(PyObject *m) noexcept {
    return m && PyModule_CheckExact(m) ? PyModule_GetDict(m) : nullptr;
}

// Where a name of `in` is read: the namespace, and for a global name the
// builtins behind it (nullptr for an attribute). False where it cannot be
// known without running Python code.
bool namespaces(In in, PyObject *globals, const Collaborators &c, PyObject *&ns,
                PyObject *&builtins) noexcept {
    builtins = nullptr;
    switch (in) {
    case In::Module:
        ns = globals;
        builtins = builtins_of(globals);
        if (!builtins)
            PyErr_Clear();
        return builtins && PyDict_CheckExact(builtins);
    case In::Numpy:
        ns = module_namespace(c.numpy);
        return ns != nullptr;
    case In::Torch:
        ns = module_namespace(c.torch);
        return ns != nullptr;
    case In::Spaces:
        ns = module_namespace(c.spaces_module);
        return ns != nullptr;
    case In::NumpyCode:
        break; // (each read says where it is read)
    case In::BoxCode:
        ns = c.box_code_globals;
        builtins = c.box_code_builtins;
        return ns && builtins;
    case In::SelectorCode:
        ns = c.selector_code_globals;
        builtins = c.selector_code_builtins;
        return ns && builtins;
    case In::TorchLibrary:
        ns = module_namespace(c.library_module);
        return ns != nullptr;
    }
    return false;
}

// The interned name of entry `i`, made on first use; nullptr (no error set)
// where interning failed.
PyObject *interned(PyObject *(&slots)[kMaxNames], size_t i, const char *name) noexcept {
    if (SU_UNLIKELY(!slots[i])) {
        keep_once(slots[i], intern_cstr(name));
        if (!slots[i])
            PyErr_Clear();
    }
    return slots[i];
}

// The collaborators' field behind each kind of Has from BoxSize on.
constexpr PyObject *Collaborators::*kMemberOf[] = {&Collaborators::box_size,
                                                   &Collaborators::box_shape,
                                                   &Collaborators::dict_iter,
                                                   &Collaborators::dict_getitem,
                                                   &Collaborators::selector_is_fixed_order,
                                                   &Collaborators::selector_children,
                                                   &Collaborators::selector_is_repeat,
                                                   &Collaborators::discrete_size,
                                                   &Collaborators::discrete_shape,

                                                   &Collaborators::tensor_add,
                                                   &Collaborators::tensor_shape,
                                                   &Collaborators::tensor_dtype,
                                                   &Collaborators::tensor_requires_grad,
                                                   &Collaborators::tensor_is_cpu,
                                                   &Collaborators::tensor_layout,
                                                   &Collaborators::tensor_is_nested,
                                                   &Collaborators::tensor_is_neg,
                                                   &Collaborators::tensor_is_contiguous,
                                                   &Collaborators::tensor_data_ptr,
                                                   &Collaborators::tensor_getitem,
                                                   &Collaborators::split_with_sizes};

static_assert(std::size(kMemberOf) ==
              static_cast<size_t>(Has::TensorSplit) - static_cast<size_t>(Has::BoxSize) + 1);

// The member `has` names (nullptr for Has::Nothing), in `out`; false where
// it could not be had.
bool expected_member(Has has, const Collaborators &c, PyObject *&out) noexcept {
    if (has == Has::Nothing) {
        out = nullptr;
        return true;
    }
    if (has == Has::ObjectClass) {
        PyObject *name = SU_STR(__class__);
        out = name ? internals::type_lookup(&PyBaseObject_Type, name) : nullptr;
        if (!name)
            PyErr_Clear();
    } else {
        out = c.*kMemberOf[static_cast<size_t>(has) - static_cast<size_t>(Has::BoxSize)];
    }
    return out != nullptr;
}

// What the code of numpy's function `name` reads (see Is::CodeReads), or
// nullptr.
PyObject *code_reads(const Collaborators &c, const char *name) noexcept {
    if (std::strcmp(name, "any") == 0)
        return c.any_reads;
    if (std::strcmp(name, "prod") == 0)
        return c.prod_reads;
    if (std::strcmp(name, "clip") == 0)
        return c.clip_reads;
    return nullptr;
}

} // namespace

PyObject *own_globals(PyObject *fn, Impl impl) noexcept {
    if (Py_TYPE(fn) != &FuncType)
        return nullptr;
    const FuncObject *f = reinterpret_cast<const FuncObject *>(fn);
    if (f->spec->impl != impl || f->spec->checks[0].index >= 0)
        return nullptr;
    return f->globals;
}

bool is_own(PyObject *fn, Impl impl, PyObject *globals) noexcept {
    if (Py_TYPE(fn) != &FuncType)
        return false;
    const FuncObject *f = reinterpret_cast<const FuncObject *>(fn);
    return f->spec->impl == impl && f->globals == globals;
}

bool same(Is is, PyObject *value) noexcept {
    PyObject *want = expected(is, collaborators());
    return want && value == want;
}

bool numpy_ops_plain() noexcept {
    const Collaborators &c = collaborators();
    if (!c.set_numeric_ops)
        return true; // numpy 2: its arithmetic cannot be replaced
    // Called without arguments, numpy 1.x's set_numeric_ops only tells the
    // ufuncs in use (it runs no Python code).
    Ref now = call(c.set_numeric_ops);
    if (!now || !PyDict_Check(now.get())) {
        PyErr_Clear();
        return false;
    }
    for (const char *op : kNumericOps) {
        PyObject *own = PyDict_GetItemString(c.numeric_ops, op);
        if (!own || PyDict_GetItemString(now.get(), op) != own)
            return false;
    }
    return true;
}

bool Names::check(PyObject *globals) noexcept {
    // What was recorded goes first: releasing it may run Python code, which
    // must not come between the look-ups below and the use of their answer.
    ok_ = false;
    const size_t held = std::exchange(ndicts_, 0);
    PyObject *old[kMaxDicts];
    std::copy(dicts_, dicts_ + held, old);
    for (size_t i = 0; i < held; ++i)
        Py_DECREF(old[i]);

    const Collaborators &c = collaborators();
    // Each dict a look-up reads, held strongly from before the first look-up
    // in it to the end of the check (a look-up may run Python code that
    // drops every other reference to it), with its tag taken then.
    Ref dicts[kMaxDicts];
    uint64_t tags[kMaxDicts];
    size_t nd = 0;
    auto note = [&](PyObject *d) -> bool {
        for (size_t i = 0; i < nd; ++i)
            if (dicts[i].get() == d)
                return true;
        if (nd == kMaxDicts)
            return false;
        dicts[nd] = Ref::borrow(d);
        tags[nd] = internals::dict_tag(d);
        ++nd;
        return true;
    };
    // `name` read in `ns` (then in `builtins`, where given) must lead to `want`.
    auto leads_to = [&](PyObject *ns, PyObject *builtins, PyObject *name, PyObject *want, Impl own) -> bool {
        // The builtins matter only while the namespace lacks the name (any
        // change to the namespace changes its tag). The look-up in the
        // namespace compares keys and so may run Python code; the builtins
        // are held through it.
        Ref held = Ref::borrow(builtins);
        if (!note(ns))
            return false;
        PyObject *v = PyDict_GetItemWithError(ns, name);
        if (!v && held && !PyErr_Occurred())
            v = note(held.get()) ? PyDict_GetItemWithError(held.get(), name) : nullptr;
        if (!v) {
            PyErr_Clear();
            return false;
        }
        return own ? is_own(v, own, globals) : v == want;
    };
    for (size_t i = 0; i < n_; ++i) {
        const Name &n = names_[i];
        if (n.is == Is::CodeReads) {
            PyObject *reads = code_reads(c, n.name);
            if (!reads)
                return false;
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(reads); ++k) {
                PyObject *r = PyTuple_GET_ITEM(reads, k);
                PyObject *from = PyTuple_GET_ITEM(r, 3);
                if (!leads_to(PyTuple_GET_ITEM(r, 0), from == Py_None ? nullptr : from,
                              PyTuple_GET_ITEM(r, 1), PyTuple_GET_ITEM(r, 2), nullptr))
                    return false;
            }
            continue;
        }
        PyObject *name = interned(interned_, i, n.name);
        PyObject *ns = nullptr, *builtins = nullptr;
        if (!name || !namespaces(n.in, globals, c, ns, builtins))
            return false;
        PyObject *want = n.is == Is::Own ? nullptr : expected(n.is, c);
        if (!want && n.is != Is::Own)
            return false;
        if (!leads_to(ns, builtins, name, want, n.is == Is::Own ? n.own : nullptr))
            return false;
    }
    // A look-up compares keys, which may have run Python code. Where that
    // code changed a dict the look-ups read (the namespace lost its
    // builtins, say), the answers belong to dicts that are no longer what a
    // call reads: the general path looks again.
    bool keep = true;
    for (size_t i = 0; i < nd; ++i) {
        if (internals::dict_tag(dicts[i].get()) != tags[i] && internals::dict_tags_work())
            return false;
        keep = keep && tags[i] != 0 && internals::dict_tags_work();
    }
    if (!keep)
        return true; // holds now, but is not kept
    for (size_t i = 0; i < nd; ++i) {
        dicts_[i] = dicts[i].release();
        tags_[i] = tags[i];
    }
    ndicts_ = nd;
    globals_ = globals;
    ok_ = true;
    return true;
}

bool Members::check(PyTypeObject *tp) noexcept {
    type_ = nullptr;
    tag_ = 0;
    if (tp->tp_getattro != PyObject_GenericGetAttr)
        return false;
    const Collaborators &c = collaborators();
    for (size_t i = 0; i < n_; ++i) {
        PyObject *name = interned(interned_, i, members_[i].name);
        PyObject *want = nullptr;
        if (!name || !expected_member(members_[i].has, c, want) || internals::type_lookup(tp, name) != want)
            return false;
    }
    // Any change to the class or its bases gives it a new tag (or none).
    const unsigned int tag = internals::type_tag(tp);
    if (tag != 0) {
        type_ = tp;
        tag_ = tag;
    }
    return true;
}

void Snapshot::take(std::initializer_list<PyObject *> dicts) noexcept {
    PyObject *old[kMax];
    const size_t held = held_;
    std::copy(dicts_, dicts_ + held, old);
    n_ = 0;
    bool complete = true;
    for (PyObject *d : dicts) {
        if (n_ == kMax)
            break;
        dicts_[n_] = Py_NewRef(d);
        tags_[n_] = internals::dict_tag(d);
        complete = complete && tags_[n_] != 0;
        ++n_;
    }
    held_ = n_;
    if (!complete || n_ < dicts.size())
        n_ = 0; // nothing is kept
    for (size_t i = 0; i < held; ++i)
        Py_DECREF(old[i]);
}

namespace {

// The operators of each kind of kernels_plain(), with whether torch's own
// kernels for meta tensors are left out.
constexpr std::string_view kViewOperators[] = {"split_with_sizes", "slice", "reshape",   "view",
                                               "_reshape_alias",   "alias", "as_strided"};
constexpr std::string_view kCpuOperators[] = {"flatten", "cat",        "log",           "clamp",       "add",
                                              "empty",   "empty_like", "empty_strided", "_unsafe_view"};
struct OperatorGroup {
    std::span<const std::string_view> names;
    bool meta_counts;
};
constexpr OperatorGroup kGroups[] = {{kViewOperators, true}, {kCpuOperators, false}};

// Whether a registry entry ("namespace/operator[.overload]/key") is a
// kernel for an operator of `g` in torch's own namespace.
bool takes_over(const OperatorGroup &g, std::string_view entry) noexcept {
    constexpr std::string_view ns = "aten/";
    if (entry.substr(0, ns.size()) != ns)
        return false;
    entry.remove_prefix(ns.size());
    const size_t end = entry.find_first_of("./");
    const std::string_view op = entry.substr(0, end);
    if (std::find(g.names.begin(), g.names.end(), op) == g.names.end())
        return false;
    const size_t slash = entry.rfind('/');
    return g.meta_counts || slash == std::string_view::npos || entry.substr(slash + 1) != "Meta";
}

constexpr Name kRegistryName[] = {{In::TorchLibrary, "_impls", Is::KernelRegistry}};
Names registry_name{kRegistryName};

// The registry's answers, for the size it had when read.
Py_ssize_t registry_size_read = -1;
bool registry_plain[std::size(kGroups)] = {};

} // namespace

bool kernels_plain(Kernels which) noexcept {
    PyObject *registry = collaborators().kernel_registry;
    if (!registry || !registry_name.hold(nullptr))
        return false;
    const auto k = static_cast<size_t>(which);
    const Py_ssize_t size = PySet_GET_SIZE(registry);
    if (SU_LIKELY(size == registry_size_read))
        return registry_plain[k];
    // Reading an entry's text may allocate (a collection may then run
    // Python code that changes the set, which ends the iteration with an
    // error): the answers are kept only for a complete read.
    Ref held = Ref::borrow(registry);
    Ref it = Ref::steal(PyObject_GetIter(registry));
    bool plain[std::size(kGroups)];
    std::fill(std::begin(plain), std::end(plain), static_cast<bool>(it));
    bool complete = static_cast<bool>(it);
    while (complete) {
        Ref entry = Ref::steal(PyIter_Next(it.get()));
        if (!entry)
            break;
        Py_ssize_t n = 0;
        const char *text = PyUnicode_Check(entry.get()) ? PyUnicode_AsUTF8AndSize(entry.get(), &n) : nullptr;
        if (!text) {
            complete = false;
            break;
        }
        for (size_t g = 0; g < std::size(kGroups); ++g)
            plain[g] = plain[g] && !takes_over(kGroups[g], std::string_view(text, static_cast<size_t>(n)));
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (!complete)
        return false;
    if (PySet_GET_SIZE(registry) == size) {
        registry_size_read = size;
        std::copy(std::begin(plain), std::end(plain), registry_plain);
    }
    return plain[k];
}

} // namespace su::guards
