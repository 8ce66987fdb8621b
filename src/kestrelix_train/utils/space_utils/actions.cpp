// Actions and logits: unsquashing, logit unpacking and the selector mask.
#include "collaborators.h"
#include "function.h"
#include "impls.h"
#include "walk.h"

namespace su {

namespace {

// kestrelix_spaces.<cls>
inline Ref space_class(PyObject *globals, PyObject *cls) {
    return global_attr(globals, SU_STR(kestrelix_spaces), cls);
}

// isinstance(obj, kestrelix_spaces.<cls>): 1, 0 or -1 with an error set.
inline int is_space(PyObject *globals, PyObject *obj, PyObject *cls) {
    Ref c = space_class(globals, cls);
    if (!c)
        return -1;
    return isinstance(obj, c.get());
}

PyObject *float_const(double v, PyObject *&slot) {
    if (SU_UNLIKELY(!slot))
        slot = PyFloat_FromDouble(v);
    return slot;
}

PyObject *one_float() {
    static PyObject *v = nullptr;
    return float_const(1.0, v);
}

PyObject *two_float() {
    static PyObject *v = nullptr;
    return float_const(2.0, v);
}

// ---------------------------------------------------------------------------
// The leaf function `map_(a, s)` that unsquash_action hands to
// tree.map_structure: a new function object for every call, as a nested
// `def` would make, in the module's namespace, so every name it uses is
// still looked up when it runs.
// ---------------------------------------------------------------------------

// s.low + (a + 1.0) * (s.high - s.low) / 2.0, evaluated left to right as
// that expression is, then np.clip(a, s.low, s.high).
Ref rescale_and_clip(PyObject *globals, PyObject *a, PyObject *s) {
    Ref low = getattr(s, SU_STR(low));
    if (!low)
        return {};
    PyObject *one = one_float();
    if (!one)
        return {};
    Ref shifted = Ref::steal(PyNumber_Add(a, one));
    if (!shifted)
        return {};
    Ref high = getattr(s, SU_STR(high));
    if (!high)
        return {};
    Ref low2 = getattr(s, SU_STR(low));
    if (!low2)
        return {};
    Ref span = Ref::steal(PyNumber_Subtract(high.get(), low2.get()));
    if (!span)
        return {};
    Ref product = Ref::steal(PyNumber_Multiply(shifted.get(), span.get()));
    if (!product)
        return {};
    PyObject *two = two_float();
    if (!two)
        return {};
    Ref half = Ref::steal(PyNumber_TrueDivide(product.get(), two));
    if (!half)
        return {};
    Ref scaled = Ref::steal(PyNumber_Add(low.get(), half.get()));
    if (!scaled)
        return {};

    Ref clip = global_attr(globals, SU_STR(np), SU_STR(clip));
    if (!clip)
        return {};
    Ref clip_low = getattr(s, SU_STR(low));
    if (!clip_low)
        return {};
    Ref clip_high = getattr(s, SU_STR(high));
    if (!clip_high)
        return {};
    return call(clip.get(), scaled.get(), clip_low.get(), clip_high.get());
}

// s.dtype == np.<name>, reading s.dtype afresh as the expression does.
int dtype_is(PyObject *globals, PyObject *s, PyObject *name) {
    Ref dtype = getattr(s, SU_STR(dtype));
    if (!dtype)
        return -1;
    Ref target = global_attr(globals, SU_STR(np), name);
    if (!target)
        return -1;
    return truth(Ref::steal(PyObject_RichCompare(dtype.get(), target.get(), Py_EQ)));
}

PyObject *unsquash_leaf(PyObject *a, PyObject *s, PyObject *globals) {
    int is_box = is_space(globals, s, SU_STR(Box));
    if (is_box <= 0)
        return is_box < 0 ? nullptr : Py_NewRef(a);

    int is_float = dtype_is(globals, s, SU_STR(float32));
    if (is_float == 0)
        is_float = dtype_is(globals, s, SU_STR(float64));
    if (is_float < 0)
        return nullptr;
    if (is_float)
        return rescale_and_clip(globals, a, s).release();

    // np.issubdtype(s.dtype, np.integer): integer boxes are shifted by low.
    Ref issubdtype = global_attr(globals, SU_STR(np), SU_STR(issubdtype));
    if (!issubdtype)
        return nullptr;
    Ref dtype = getattr(s, SU_STR(dtype));
    if (!dtype)
        return nullptr;
    Ref integer = global_attr(globals, SU_STR(np), SU_STR(integer));
    if (!integer)
        return nullptr;
    int is_int = truth(call(issubdtype.get(), dtype.get(), integer.get()));
    if (is_int < 0)
        return nullptr;
    if (!is_int)
        return Py_NewRef(a);
    Ref low = getattr(s, SU_STR(low));
    if (!low)
        return nullptr;
    return PyNumber_Add(low.get(), a);
}

PyObject *map_leaf(PyObject *globals, PyObject *const *args) {
    return unsquash_leaf(args[0], args[1], globals);
}

LocalFunction map_function = {
    {"map_", 2, {"a", "s"}, false, map_leaf, nullptr, {nullptr}, {{-1, nullptr}}},
    "unsquash_action.<locals>.map_",
};

// ---------------------------------------------------------------------------
// Selector mask helpers
// ---------------------------------------------------------------------------

// len(list(skill.get_children_names()))
Py_ssize_t children_count(PyObject *skill) {
    Ref names = call_method(skill, SU_STR(get_children_names));
    if (!names)
        return -1;
    Ref lst = Ref::steal(PySequence_List(names.get()));
    if (!lst)
        return -1;
    return PyList_GET_SIZE(lst.get());
}

// [value] * n, with value a small int.
Ref repeated(long value, Py_ssize_t n) {
    Ref item = Ref::steal(PyLong_FromLong(value));
    if (!item)
        return {};
    Ref lst = Ref::steal(PyList_New(n));
    if (!lst)
        return {};
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(lst.get(), i, Py_NewRef(item.get()));
    return lst;
}

// ---------------------------------------------------------------------------
// numpy fast path for the selector mask.
//
// The general path ends in np.array(selector_mask, dtype=np.int8), where
// selector_mask is a list that only this function has touched and that
// holds nothing but the ints 0 and 1. When `np` is numpy itself and the
// `array` and `int8` it yields are numpy's own, that call gives a new,
// owning, aligned, writeable, C-contiguous one-dimensional int8 array of the
// list's length holding the same 0s and 1s; the array is then made here
// directly. Anything else (a rebound `np`, a replaced `np.array` or
// `np.int8`) goes through the call as written.
// ---------------------------------------------------------------------------

// The int8 array of a list of 0/1 ints, made as numpy's array() makes it.
Ref int8_array_of_bits(PyObject *bits) {
    npy_intp n = PyList_GET_SIZE(bits);
    Ref arr = Ref::steal(PyArray_SimpleNew(1, &n, NPY_INT8));
    if (!arr)
        return {};
    auto *data = static_cast<npy_int8 *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(arr.get())));
    for (npy_intp i = 0; i < n; ++i)
        data[i] = static_cast<npy_int8>(PyLong_AsLong(PyList_GET_ITEM(bits, i)));
    return arr;
}

// np.array(selector_mask, dtype=np.int8)
Ref selector_mask_array(PyObject *globals, PyObject *selector_mask) {
    Ref np = global(globals, SU_STR(np));
    if (!np)
        return {};
    Ref array = getattr(np.get(), SU_STR(array));
    if (!array)
        return {};
    Ref np_again = global(globals, SU_STR(np));
    if (!np_again)
        return {};
    Ref int8 = getattr(np_again.get(), SU_STR(int8));
    if (!int8)
        return {};
    const int ready = collaborators_ready();
    if (ready < 0)
        return {};
    if (ready) {
        const Collaborators &c = collaborators();
        if (np.get() == c.numpy && np_again.get() == c.numpy && array.get() == c.array &&
            int8.get() == reinterpret_cast<PyObject *>(&PyByteArrType_Type))
            return int8_array_of_bits(selector_mask);
    }
    PyObject *argv[] = {selector_mask, int8.get()};
    return call_kw(array.get(), argv, 1, SU_KWNAMES1(dtype));
}

} // namespace

// ===========================================================================
// compute_selector_action_mask
// ===========================================================================

PyObject *impl_compute_selector_action_mask(PyObject *globals, PyObject *const *args) {
    PyObject *previous_action = args[0];
    PyObject *skill = args[1];

    int fixed = truth(call_method(skill, SU_STR(is_fixed_order)));
    if (fixed < 0)
        return nullptr;
    if (!fixed) {
        // Every child is allowed; the caller gets a plain list.
        Py_ssize_t n = children_count(skill);
        if (n < 0)
            return nullptr;
        return repeated(1, n).release();
    }

    Py_ssize_t n = children_count(skill);
    if (n < 0)
        return nullptr;
    Ref selector_mask = repeated(0, n);
    if (!selector_mask)
        return nullptr;

    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one)
        return nullptr;

    if (previous_action == Py_None) {
        // Nothing has run yet: only the first child may start.
        n = children_count(skill);
        if (n < 0)
            return nullptr;
        selector_mask = repeated(0, n);
        if (!selector_mask)
            return nullptr;
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero || PyObject_SetItem(selector_mask.get(), zero.get(), one.get()) < 0)
            return nullptr;
    } else {
        // The child that ran last stays allowed, and its successor joins it;
        // after the last child the first one only comes back when repeating.
        if (PyObject_SetItem(selector_mask.get(), previous_action, one.get()) < 0)
            return nullptr;
        fixed = truth(call_method(skill, SU_STR(is_fixed_order)));
        if (fixed < 0)
            return nullptr;
        if (fixed) {
            Ref next = Ref::steal(PyNumber_Add(previous_action, one.get()));
            if (!next)
                return nullptr;
            n = children_count(skill);
            if (n < 0)
                return nullptr;
            Ref count = Ref::steal(PyLong_FromSsize_t(n));
            if (!count)
                return nullptr;
            Ref next_index = Ref::steal(PyNumber_Remainder(next.get(), count.get()));
            if (!next_index)
                return nullptr;
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero)
                return nullptr;
            int wraps = truth(Ref::steal(PyObject_RichCompare(next_index.get(), zero.get(), Py_EQ)));
            if (wraps < 0)
                return nullptr;
            int allow = 1;
            if (wraps) {
                allow = truth(call_method(skill, SU_STR(is_repeat)));
                if (allow < 0)
                    return nullptr;
            }
            if (allow && PyObject_SetItem(selector_mask.get(), next_index.get(), one.get()) < 0)
                return nullptr;
        }
    }
    return selector_mask_array(globals, selector_mask.get()).release();
}

// ===========================================================================
// unsquash_action, unsquash_action_batch
// ===========================================================================

PyObject *impl_unsquash_action(PyObject *globals, PyObject *const *args) {
    PyObject *action = args[0];
    PyObject *space = args[1];
    RecursionGuard guard(" while unsquashing an action");
    if (!guard.ok())
        return nullptr;

    int is_tuple = is_space(globals, space, SU_STR(Tuple));
    if (is_tuple < 0)
        return nullptr;
    if (is_tuple) {
        // tuple(unsquash_action(a, s) for a, s in zip(action, space))
        Ref actions = Ref::steal(PyObject_GetIter(action));
        if (!actions)
            return nullptr;
        Ref spaces = Ref::steal(PyObject_GetIter(space));
        if (!spaces)
            return nullptr;
        Ref parts = Ref::steal(PyList_New(0));
        if (!parts)
            return nullptr;
        for (;;) {
            Ref a = Ref::steal(PyIter_Next(actions.get()));
            if (!a) {
                if (PyErr_Occurred())
                    return nullptr;
                break;
            }
            Ref s = Ref::steal(PyIter_Next(spaces.get()));
            if (!s) {
                if (PyErr_Occurred())
                    return nullptr;
                break;
            }
            Ref fn = global(globals, SU_STR(unsquash_action));
            if (!fn)
                return nullptr;
            Ref part = call(fn.get(), a.get(), s.get());
            if (!part || PyList_Append(parts.get(), part.get()) < 0)
                return nullptr;
        }
        return PyList_AsTuple(parts.get());
    }

    int is_discrete = is_space(globals, space, SU_STR(MultiDiscrete));
    if (is_discrete == 0)
        is_discrete = is_space(globals, space, SU_STR(Discrete));
    if (is_discrete < 0)
        return nullptr;
    if (is_discrete)
        return Py_NewRef(action);

    Ref map_structure = global_attr(globals, SU_STR(tree), SU_STR(map_structure));
    if (!map_structure)
        return nullptr;
    Ref map_fn = Ref::steal(new_local_function(map_function, globals));
    if (!map_fn)
        return nullptr;
    return call(map_structure.get(), map_fn.get(), action, space).release();
}

PyObject *impl_unsquash_action_batch(PyObject *globals, PyObject *const *args) {
    PyObject *action_batch = args[0];
    PyObject *space_struct = args[1];
    Ref unsquashed = Ref::steal(PyDict_New());
    if (!unsquashed)
        return nullptr;
    int r = for_each_key(action_batch, [&](PyObject *key) -> int {
        Ref batch = Ref::steal(PyObject_GetItem(action_batch, key));
        if (!batch)
            return -1;
        Ref items = Ref::steal(PyList_New(0));
        if (!items)
            return -1;
        int rr = for_each(batch.get(), [&](PyObject *action_i) -> int {
            Ref fn = global(globals, SU_STR(unsquash_action));
            if (!fn)
                return -1;
            Ref value = call_method(action_i, SU_STR(numpy));
            if (!value)
                return -1;
            Ref space = Ref::steal(PyObject_GetItem(space_struct, key));
            if (!space)
                return -1;
            Ref item = call(fn.get(), value.get(), space.get());
            if (!item)
                return -1;
            return PyList_Append(items.get(), item.get());
        });
        if (rr < 0)
            return -1;
        return PyDict_SetItem(unsquashed.get(), key, items.get());
    });
    return r < 0 ? nullptr : unsquashed.release();
}

// ===========================================================================
// unpack_logits
// ===========================================================================

namespace {

// logits[..., offset:end]
Ref last_dim_slice(PyObject *logits, PyObject *offset, PyObject *end) {
    Ref sl = Ref::steal(PySlice_New(offset, end, nullptr));
    if (!sl)
        return {};
    Ref index = Ref::steal(PyTuple_Pack(2, Py_Ellipsis, sl.get()));
    if (!index)
        return {};
    return Ref::steal(PyObject_GetItem(logits, index.get()));
}

// One member of a Dict or Tuple space: slice its columns, advance the
// offset, give the slice the batch dimensions plus the member's shape and
// unpack that further.
Ref unpack_member(PyObject *globals, PyObject *logits, PyObject *sub_space, Ref &offset,
                  PyObject *batch_dims) {
    Ref size = getattr(sub_space, SU_STR(size));
    if (!size)
        return {};
    Ref end = Ref::steal(PyNumber_Add(offset.get(), size.get()));
    if (!end)
        return {};
    Ref obs_slice = last_dim_slice(logits, offset.get(), end.get());
    if (!obs_slice)
        return {};
    size = getattr(sub_space, SU_STR(size));
    if (!size)
        return {};
    Ref advanced = Ref::steal(PyNumber_InPlaceAdd(offset.get(), size.get()));
    if (!advanced)
        return {};
    offset = std::move(advanced);

    Ref fn = global(globals, SU_STR(unpack_logits));
    if (!fn)
        return {};
    Ref reshape = global_attr(globals, SU_STR(torch), SU_STR(reshape));
    if (!reshape)
        return {};
    Ref shape = getattr(sub_space, SU_STR(shape));
    if (!shape)
        return {};
    Ref shape_list = Ref::steal(PySequence_List(shape.get()));
    if (!shape_list)
        return {};
    Ref new_shape = Ref::steal(PyNumber_Add(batch_dims, shape_list.get()));
    if (!new_shape)
        return {};
    Ref reshaped = call(reshape.get(), obs_slice.get(), new_shape.get());
    if (!reshaped)
        return {};
    return call(fn.get(), reshaped.get(), sub_space);
}

PyObject *zero_int() {
    static PyObject *z = nullptr;
    if (SU_UNLIKELY(!z))
        z = PyLong_FromLong(0);
    return z;
}

} // namespace

PyObject *impl_unpack_logits(PyObject *globals, PyObject *const *args) {
    PyObject *logits = args[0];
    PyObject *space = args[1];
    RecursionGuard guard(" while unpacking logits");
    if (!guard.ok())
        return nullptr;

    int is_dict = is_space(globals, space, SU_STR(Dict));
    if (is_dict < 0)
        return nullptr;
    int is_tuple = is_space(globals, space, SU_STR(Tuple));
    if (is_tuple < 0)
        return nullptr;

    if (is_dict || is_tuple) {
        // Already unpacked: handed back as it is.
        if (is_tuple && (PyList_Check(logits) || PyTuple_Check(logits)))
            return Py_NewRef(logits);
        if (is_dict && PyDict_Check(logits))
            return Py_NewRef(logits);
        PyObject *zero = zero_int();
        if (!zero)
            return nullptr;
        Ref offset = Ref::borrow(zero);
        Ref shape = getattr(logits, SU_STR(shape));
        if (!shape)
            return nullptr;
        Ref minus_one = Ref::steal(PyLong_FromLong(-1));
        if (!minus_one)
            return nullptr;
        Ref lead = Ref::steal(PySlice_New(nullptr, minus_one.get(), nullptr));
        if (!lead)
            return nullptr;
        Ref lead_shape = Ref::steal(PyObject_GetItem(shape.get(), lead.get()));
        if (!lead_shape)
            return nullptr;
        Ref batch_dims = Ref::steal(PySequence_List(lead_shape.get()));
        if (!batch_dims)
            return nullptr;

        if (is_tuple) {
            Ref u = Ref::steal(PyList_New(0));
            if (!u)
                return nullptr;
            Ref members = getattr(space, SU_STR(spaces));
            if (!members)
                return nullptr;
            int r = for_each(members.get(), [&](PyObject *sub_space) -> int {
                Ref part = unpack_member(globals, logits, sub_space, offset, batch_dims.get());
                if (!part)
                    return -1;
                return PyList_Append(u.get(), part.get());
            });
            return r < 0 ? nullptr : u.release();
        }

        Ref ordered_dict = global(globals, SU_STR(OrderedDict));
        if (!ordered_dict)
            return nullptr;
        Ref u = call(ordered_dict.get());
        if (!u)
            return nullptr;
        Ref members = getattr(space, SU_STR(spaces));
        if (!members)
            return nullptr;
        int r = for_each_item(members.get(), [&](PyObject *key, PyObject *sub_space) -> int {
            Ref part = unpack_member(globals, logits, sub_space, offset, batch_dims.get());
            if (!part)
                return -1;
            return PyObject_SetItem(u.get(), key, part.get());
        });
        return r < 0 ? nullptr : u.release();
    }

    int is_multi = is_space(globals, space, SU_STR(MultiDiscrete));
    if (is_multi < 0)
        return nullptr;
    if (!is_multi)
        return Py_NewRef(logits);

    // One slice of the last dimension per sub-action, nvec[i] columns wide.
    Ref u = Ref::steal(PyList_New(0));
    if (!u)
        return nullptr;
    PyObject *zero = zero_int();
    if (!zero)
        return nullptr;
    Ref offset = Ref::borrow(zero);
    Ref nvec = getattr(space, SU_STR(nvec));
    if (!nvec)
        return nullptr;
    int r = for_each(nvec.get(), [&](PyObject *width) -> int {
        Ref end = Ref::steal(PyNumber_Add(offset.get(), width));
        if (!end)
            return -1;
        Ref obs_slice = last_dim_slice(logits, offset.get(), end.get());
        if (!obs_slice)
            return -1;
        Ref advanced = Ref::steal(PyNumber_InPlaceAdd(offset.get(), width));
        if (!advanced)
            return -1;
        offset = std::move(advanced);
        return PyList_Append(u.get(), obs_slice.get());
    });
    return r < 0 ? nullptr : u.release();
}

} // namespace su
