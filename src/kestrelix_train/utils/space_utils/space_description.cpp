// Space description: sensor values into numpy form and into spaces, the
// enriched observation space, the per-step sensor mapping, and filtering.
#include "array_cast.h"
#include "coroutine.h"
#include "impls.h"
#include "walk.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace su {

namespace {

// kestrelix_spaces.Box(low=-np.inf, high=np.inf, shape=shape)
Ref unbounded_box(PyObject *globals, PyObject *shape) {
    Ref box = global_attr(globals, SU_STR(kestrelix_spaces), SU_STR(Box));
    if (!box)
        return {};
    Ref inf = global_attr(globals, SU_STR(np), SU_STR(inf));
    if (!inf)
        return {};
    Ref neg = Ref::steal(PyNumber_Negative(inf.get()));
    if (!neg)
        return {};
    static PyObject *kwnames = nullptr;
    if (!kwnames && !keep_once(kwnames, Py_BuildValue("(sss)", "low", "high", "shape")))
        return {};
    PyObject *argv[] = {neg.get(), inf.get(), shape};
    return Ref::steal(PyObject_Vectorcall(box.get(), argv, 0, kwnames));
}

Ref shape_one() {
    return Ref::steal(Py_BuildValue("(i)", 1));
}

// np.array([value], dtype=dtype)
Ref wrap_in_array(PyObject *globals, PyObject *value, PyObject *dtype) {
    Ref array = global_attr(globals, SU_STR(np), SU_STR(array));
    if (!array)
        return {};
    Ref out;
    if (array_natively(array.get(), value, dtype, true, out) != 0)
        return out;
    Ref lst = Ref::steal(PyList_New(1));
    if (!lst)
        return {};
    PyList_SET_ITEM(lst.get(), 0, Py_NewRef(value));
    PyObject *argv[] = {lst.get(), dtype};
    return call_kw(array.get(), argv, 1, SU_KWNAMES1(dtype));
}

} // namespace

PyObject *impl_convert_sensor_to_numpy_array(PyObject *globals, PyObject *const *args) {
    PyObject *sensor = args[0];
    RecursionGuard guard(" while converting a sensor value");
    if (!guard.ok())
        return nullptr;
    if (PyDict_Check(sensor))
        return map_items(sensor,
                         [&](PyObject *value) {
                             Ref fn = global(globals, SU_STR(_convert_sensor_to_numpy_array));
                             return fn ? call(fn.get(), value) : Ref();
                         })
            .release();
    Ref np = global(globals, SU_STR(np));
    if (!np)
        return nullptr;
    Ref ndarray = getattr(np.get(), SU_STR(ndarray));
    if (!ndarray)
        return nullptr;
    int is_array = isinstance(sensor, ndarray.get());
    if (is_array < 0)
        return nullptr;
    if (is_array) {
        Ref shape = getattr(sensor, SU_STR(shape));
        if (!shape)
            return nullptr;
        Py_ssize_t ndim = PyObject_Length(shape.get());
        if (ndim < 0)
            return nullptr;
        if (ndim != 0)
            return Py_NewRef(sensor);
        Ref dtype = getattr(sensor, SU_STR(dtype));
        if (!dtype)
            return nullptr;
        return wrap_in_array(globals, sensor, dtype.get()).release();
    }
    Ref f32 = global_attr(globals, SU_STR(np), SU_STR(float32));
    if (!f32)
        return nullptr;
    return wrap_in_array(globals, sensor, f32.get()).release();
}

PyObject *impl_convert_value_to_gym_space(PyObject *globals, PyObject *const *args) {
    PyObject *value = args[0];
    RecursionGuard guard(" while describing a value as a space");
    if (!guard.ok())
        return nullptr;
    if (PyDict_Check(value)) {
        Ref d = map_items(value, [&](PyObject *member) {
            Ref fn = global(globals, SU_STR(_convert_value_to_gym_space));
            return fn ? call(fn.get(), member) : Ref();
        });
        if (!d)
            return nullptr;
        Ref dict_space = global_attr(globals, SU_STR(kestrelix_spaces), SU_STR(Dict));
        if (!dict_space)
            return nullptr;
        return call(dict_space.get(), d.get()).release();
    }
    Ref ndarray = global_attr(globals, SU_STR(np), SU_STR(ndarray));
    if (!ndarray)
        return nullptr;
    int is_array = isinstance(value, ndarray.get());
    if (is_array < 0)
        return nullptr;
    if (is_array) {
        Ref shape = getattr(value, SU_STR(shape));
        if (!shape)
            return nullptr;
        Py_ssize_t ndim = PyObject_Length(shape.get());
        if (ndim < 0)
            return nullptr;
        if (ndim == 0) {
            Ref one = shape_one();
            return one ? unbounded_box(globals, one.get()).release() : nullptr;
        }
        // An array is described by its full shape, so that the space
        // contains the very value it was made from.
        Ref full = Ref::steal(PySequence_Tuple(shape.get()));
        return full ? unbounded_box(globals, full.get()).release() : nullptr;
    }
    // A numpy scalar (its class lives in a numpy module) or an int/float.
    Ref modname = getattr(reinterpret_cast<PyObject *>(Py_TYPE(value)), SU_STR(__module__));
    if (!modname)
        return nullptr;
    Ref modstr = Ref::steal(PyObject_Str(modname.get()));
    if (!modstr)
        return nullptr;
    PyObject *numpy_text = SU_STR(numpy);
    if (!numpy_text)
        return nullptr;
    int scalar = PyUnicode_Contains(modstr.get(), numpy_text);
    if (scalar < 0)
        return nullptr;
    if (!scalar) {
        Ref prims = global(globals, SU_STR(primitive_types));
        if (!prims)
            return nullptr;
        scalar = isinstance(value, prims.get());
        if (scalar < 0)
            return nullptr;
    }
    if (scalar) {
        Ref one = shape_one();
        return one ? unbounded_box(globals, one.get()).release() : nullptr;
    }
    Ref vstr = Ref::steal(PyObject_Str(value));
    if (!vstr)
        return nullptr;
    Ref tstr = Ref::steal(PyObject_Str(reinterpret_cast<PyObject *>(Py_TYPE(value))));
    if (!tstr)
        return nullptr;
    Ref msg = Ref::steal(PyUnicode_FromFormat("Unable to convert value (%U) to gym space!, got type %U",
                                              vstr.get(), tstr.get()));
    if (msg)
        PyErr_SetObject(PyExc_NotImplementedError, msg.get());
    return nullptr;
}

// ===========================================================================
// Enriched space info and simulator sensor mapping: the coroutine bodies.
//
// Each body is a state machine run by the module's coroutine type
// (coroutine.h). `state_` says where the body stopped: 0 before it starts,
// then one state per `await`. Whatever the body needs after an `await` lives
// in its Ref fields, so the collector can see it while the coroutine is
// suspended; C++ locals live only between two awaits.
// ===========================================================================

namespace {

// Raises the built-in Exception with `msg` as its one argument.
void raise_exception(Ref msg) {
    if (msg)
        PyErr_SetObject(PyExc_Exception, msg.get());
}

// The module-level function `name`, called with `args...`.
template <class... A> Ref call_global(PyObject *globals, PyObject *name, A... args) {
    Ref fn = global(globals, name);
    if (!fn)
        return {};
    return call(fn.get(), args...);
}

// The members of `sensors` (a list) whose has_lambda() is truthy, or falsy.
Ref sensors_by_lambda(PyObject *sensors, bool mapped) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out)
        return {};
    int r = for_each(sensors, [&](PyObject *sensor) -> int {
        int has = truth(call_method(sensor, SU_STR(has_lambda)));
        if (has < 0)
            return -1;
        return (has != 0) == mapped ? PyList_Append(out.get(), sensor) : 0;
    });
    return r < 0 ? Ref() : out;
}

// _get_perceptor_space(perceptors, sensor_space_spec): every perceptor runs
// once, in list order, on a fresh sample of the sensor space; each output
// key is described as a space.
class PerceptorSpaceBody final : public CoroBody {
  public:
    explicit PerceptorSpaceBody(PyObject *const *args) noexcept
        : perceptors_(Ref::borrow(args[0])), spec_(Ref::borrow(args[1])) {}

    Step resume(PyObject *globals, PyObject *value, PyObject **out) noexcept override {
        if (state_ == 0) {
            perceptor_dict_ = Ref::steal(PyDict_New());
            if (!perceptor_dict_)
                return Step::Error;
        } else if (add_output(globals, value) < 0) { // state 1: a perceptor's output
            return Step::Error;
        }
        // The list is read by index, as a for loop reads it: it may change
        // while a perceptor runs.
        if (next_ >= PyList_GET_SIZE(perceptors_.get()))
            return finish(std::move(perceptor_dict_), out);
        perceptor_ = Ref::borrow(PyList_GET_ITEM(perceptors_.get(), next_));
        ++next_;
        Ref perceive = getattr(perceptor_.get(), SU_STR(perceive));
        if (!perceive)
            return Step::Error;
        Ref sample = call_method(spec_.get(), SU_STR(sample));
        if (!sample)
            return Step::Error;
        return await_then(1, call(perceive.get(), spec_.get(), sample.get()), out);
    }

    int traverse(visitproc visit, void *arg) const noexcept override {
        return visit_refs(visit, arg, perceptors_, spec_, perceptor_dict_, perceptor_);
    }

  private:
    int add_output(PyObject *globals, PyObject *output) {
        PyObject *spaces = perceptor_dict_.get();
        return for_each_item(output, [&](PyObject *key, PyObject *value) -> int {
            int present = PyDict_Contains(spaces, key);
            if (present < 0)
                return -1;
            if (present) {
                Ref name = call_method(perceptor_.get(), SU_STR(get_name));
                if (!name)
                    return -1;
                raise_exception(Ref::steal(PyUnicode_FromFormat(
                    "Perceptor %S has a key %S that already exists in the sensor space dictionary! %S",
                    name.get(), key, spaces)));
                return -1;
            }
            Ref space = call_global(globals, SU_STR(_convert_value_to_gym_space), value);
            if (!space)
                return -1;
            return PyDict_SetItem(spaces, key, space.get());
        });
    }

    Ref perceptors_, spec_;
    Ref perceptor_dict_; // the result being built
    Ref perceptor_;      // the perceptor being awaited
    Py_ssize_t next_ = 0;
};

// get_kestrelix_space_info(sensor_space_spec, sensors, perceptors,
// skill_processors): the unmapped sensors' spaces from the sensor space,
// one unbounded space per mapped sensor, the perceptors' outputs, then the
// skill processors' action spaces.
class SpaceInfoBody final : public CoroBody {
  public:
    explicit SpaceInfoBody(PyObject *const *args) noexcept
        : spec_(Ref::borrow(args[0])), sensors_(Ref::borrow(args[1])), perceptors_(Ref::borrow(args[2])),
          skill_processors_(Ref::borrow(args[3])) {}

    Step resume(PyObject *globals, PyObject *value, PyObject **out) noexcept override {
        if (state_ == 0) {
            if (add_sensors(globals) < 0)
                return Step::Error;
            return await_then(
                1, call_global(globals, SU_STR(_get_perceptor_space), perceptors_.get(), spec_.get()), out);
        }
        // state 1: the perceptors' spaces.
        if (add_percepts(value) < 0 || add_skills() < 0)
            return Step::Error;
        return finish(std::move(space_), out);
    }

    int traverse(visitproc visit, void *arg) const noexcept override {
        return visit_refs(visit, arg, spec_, sensors_, perceptors_, skill_processors_, space_);
    }

  private:
    int add_sensors(PyObject *globals) {
        {
            Ref empty = Ref::steal(PyDict_New());
            if (!empty)
                return -1;
            Ref dict_space = global_attr(globals, SU_STR(kestrelix_spaces), SU_STR(Dict));
            if (!dict_space)
                return -1;
            space_ = call(dict_space.get(), empty.get());
            if (!space_)
                return -1;
        }
        {
            Ref unmapped = sensors_by_lambda(sensors_.get(), false);
            if (!unmapped)
                return -1;
            if (PyList_GET_SIZE(unmapped.get()) > 0) {
                space_ = call_method(spec_.get(), SU_STR(convert_to_kestrelix_space), unmapped.get());
                if (!space_)
                    return -1;
            }
        }
        Ref mapped = sensors_by_lambda(sensors_.get(), true);
        if (!mapped)
            return -1;
        return for_each(mapped.get(), [&](PyObject *sensor) -> int {
            Ref sense = getattr(sensor, SU_STR(sense));
            if (!sense)
                return -1;
            Ref sample = call_method(spec_.get(), SU_STR(sample));
            if (!sample)
                return -1;
            Ref output = call(sense.get(), sample.get());
            if (!output)
                return -1;
            output = call_global(globals, SU_STR(_convert_sensor_to_numpy_array), output.get());
            if (!output)
                return -1;
            Ref name = getattr(sensor, SU_STR(name));
            if (!name)
                return -1;
            int present = PySequence_Contains(space_.get(), name.get());
            if (present < 0)
                return -1;
            if (present) {
                raise_exception(Ref::steal(PyUnicode_FromFormat(
                    "Sensor %S already exists in the kestrelix_space dictionary!", name.get())));
                return -1;
            }
            Ref space = call_global(globals, SU_STR(_convert_value_to_gym_space), output.get());
            if (!space)
                return -1;
            return PyObject_SetItem(space_.get(), name.get(), space.get());
        });
    }

    int add_percepts(PyObject *perceptor_space) {
        return for_each_item(perceptor_space, [&](PyObject *key, PyObject *space) -> int {
            int present = PySequence_Contains(space_.get(), key);
            if (present < 0)
                return -1;
            if (present) {
                raise_exception(Ref::steal(PyUnicode_FromFormat(
                    "Perceptor %S already exists in the kestrelix_space dictionary!", key)));
                return -1;
            }
            return PyObject_SetItem(space_.get(), key, space);
        });
    }

    // A skill name equal to an existing key replaces that entry.
    int add_skills() {
        return for_each(skill_processors_.get(), [&](PyObject *skill_processor) -> int {
            Ref action_space = call_method(skill_processor, SU_STR(get_action_space));
            if (!action_space)
                return -1;
            Ref skill_name = call_method(skill_processor, SU_STR(get_skill_name));
            if (!skill_name)
                return -1;
            return PyObject_SetItem(space_.get(), skill_name.get(), action_space.get());
        });
    }

    Ref spec_, sensors_, perceptors_, skill_processors_;
    Ref space_; // the enriched space being built
};

// convert_sim_sensors_to_kestrelix_sensors(sim_sensors, sim_sensors_spec,
// agent_sensors, perceptors, skill_processors): one observation's simulator
// values become the agent's sensor values.
class SimSensorsBody final : public CoroBody {
  public:
    explicit SimSensorsBody(PyObject *const *args) noexcept
        : sim_sensors_(Ref::borrow(args[0])), spec_(Ref::borrow(args[1])),
          agent_sensors_(Ref::borrow(args[2])), perceptors_(Ref::borrow(args[3])),
          skill_processors_(Ref::borrow(args[4])) {}

    Step resume(PyObject *globals, PyObject *value, PyObject **out) noexcept override {
        switch (state_) {
        case 0:
            if (map_sensors(globals) < 0)
                return Step::Error;
            break;
        case 1: // a perceptor's output
            if (add_percepts(value) < 0)
                return Step::Error;
            break;
        default: // 2: a skill processor's value
            return skill_done(value, out);
        }
        if (next_ < PyList_GET_SIZE(perceptors_.get())) {
            perceptor_ = Ref::borrow(PyList_GET_ITEM(perceptors_.get(), next_));
            ++next_;
            // Each perceptor sees the live values, with the outputs of those before it.
            return await_then(
                1, call_method(perceptor_.get(), SU_STR(perceive), spec_.get(), kestrelix_sensors_.get()),
                out);
        }
        perceptor_.reset();
        kestrelix_sensors_ = call_global(globals, SU_STR(make_np_array), kestrelix_sensors_.get());
        if (!kestrelix_sensors_)
            return Step::Error;
        skill_iter_ = Ref::steal(PyObject_GetIter(skill_processors_.get()));
        if (!skill_iter_)
            return Step::Error;
        return next_skill(out);
    }

    int traverse(visitproc visit, void *arg) const noexcept override {
        return visit_refs(visit, arg, sim_sensors_, spec_, agent_sensors_, perceptors_, skill_processors_,
                          kestrelix_sensors_, perceptor_, skill_iter_, skill_processor_);
    }

  private:
    int map_sensors(PyObject *globals) {
        Ref ordered_dict = global(globals, SU_STR(OrderedDict));
        if (!ordered_dict)
            return -1;
        int ordered = isinstance(sim_sensors_.get(), ordered_dict.get());
        if (ordered < 0)
            return -1;
        if (ordered) {
            // A plain dict in the same order; the caller's object is not touched.
            sim_sensors_ = call(reinterpret_cast<PyObject *>(&PyDict_Type), sim_sensors_.get());
            if (!sim_sensors_)
                return -1;
        }
        kestrelix_sensors_ = Ref::steal(PyDict_New());
        if (!kestrelix_sensors_)
            return -1;
        Ref unmapped, mapped;
        {
            Ref util = global(globals, SU_STR(sensor_util));
            if (!util)
                return -1;
            unmapped = call_method(util.get(), SU_STR(get_unmapped_sensors), agent_sensors_.get());
            if (!unmapped)
                return -1;
        }
        {
            Ref util = global(globals, SU_STR(sensor_util));
            if (!util)
                return -1;
            mapped = call_method(util.get(), SU_STR(get_mapped_sensors), agent_sensors_.get());
            if (!mapped)
                return -1;
        }
        Py_ssize_t n_unmapped = PyObject_Length(unmapped.get());
        if (n_unmapped < 0)
            return -1;
        if (n_unmapped > 0) {
            kestrelix_sensors_ = call_method(spec_.get(), SU_STR(get_sample_as_kestrelix_sensors),
                                             sim_sensors_.get(), unmapped.get());
            if (!kestrelix_sensors_)
                return -1;
        }
        return for_each(mapped.get(), [&](PyObject *sensor) -> int {
            Ref output = call_method(sensor, SU_STR(sense), sim_sensors_.get());
            if (!output)
                return -1;
            output = call_global(globals, SU_STR(_convert_sensor_to_numpy_array), output.get());
            if (!output)
                return -1;
            Ref name = getattr(sensor, SU_STR(name));
            if (!name)
                return -1;
            return PyObject_SetItem(kestrelix_sensors_.get(), name.get(), output.get());
        });
    }

    int add_percepts(PyObject *perceptor_output) {
        PyObject *sensors = kestrelix_sensors_.get();
        return for_each_item(perceptor_output, [&](PyObject *key, PyObject *value) -> int {
            int present = PySequence_Contains(sensors, key);
            if (present < 0)
                return -1;
            if (present) {
                Ref name = call_method(perceptor_.get(), SU_STR(get_name));
                if (!name)
                    return -1;
                raise_exception(Ref::steal(PyUnicode_FromFormat(
                    "Perceptor %S has a key %S that already exists in the sensor space dictionary!",
                    name.get(), key)));
                return -1;
            }
            return PyObject_SetItem(sensors, key, value);
        });
    }

    Step next_skill(PyObject **out) {
        skill_processor_ = Ref::steal(PyIter_Next(skill_iter_.get()));
        if (!skill_processor_) {
            if (PyErr_Occurred())
                return Step::Error;
            return finish(std::move(kestrelix_sensors_), out);
        }
        // Each skill processor sees the entries of those before it.
        return await_then(2, call_method(skill_processor_.get(), SU_STR(_execute), kestrelix_sensors_.get()),
                          out);
    }

    Step skill_done(PyObject *value, PyObject **out) {
        Ref skill_name = call_method(skill_processor_.get(), SU_STR(get_skill_name));
        if (!skill_name)
            return Step::Error;
        if (PyObject_SetItem(kestrelix_sensors_.get(), skill_name.get(), value) < 0)
            return Step::Error;
        return next_skill(out);
    }

    Ref sim_sensors_, spec_, agent_sensors_, perceptors_, skill_processors_;
    Ref kestrelix_sensors_; // the result being built
    Ref perceptor_;         // the perceptor being awaited
    Ref skill_iter_;
    Ref skill_processor_; // the skill processor being awaited
    Py_ssize_t next_ = 0;
};

} // namespace

PyObject *impl_get_perceptor_space(PyObject *globals, PyObject *const *args) {
    return new_coroutine<PerceptorSpaceBody>(globals, SU_STR(_get_perceptor_space), args);
}

PyObject *impl_get_kestrelix_space_info(PyObject *globals, PyObject *const *args) {
    return new_coroutine<SpaceInfoBody>(globals, SU_STR(get_kestrelix_space_info), args);
}

PyObject *impl_convert_sim_sensors_to_kestrelix_sensors(PyObject *globals, PyObject *const *args) {
    return new_coroutine<SimSensorsBody>(globals, SU_STR(convert_sim_sensors_to_kestrelix_sensors), args);
}

// ===========================================================================
// Space and sample filtering
// ===========================================================================

// kestrelix_spaces.Dict of the entries of `space.spaces` whose key is in
// `keys`, in the order of the space.
PyObject *impl_filter_space(PyObject *globals, PyObject *const *args) {
    PyObject *space = args[0];
    PyObject *keys = args[1];
    Ref dict_space = global_attr(globals, SU_STR(kestrelix_spaces), SU_STR(Dict));
    if (!dict_space)
        return nullptr;
    Ref spaces = getattr(space, SU_STR(spaces));
    if (!spaces)
        return nullptr;
    Ref kept = Ref::steal(PyDict_New());
    if (!kept)
        return nullptr;
    int r = for_each_item(spaces.get(), [&](PyObject *key, PyObject *sub_space) -> int {
        int wanted = PySequence_Contains(keys, key);
        if (wanted <= 0)
            return wanted;
        return PyDict_SetItem(kept.get(), key, sub_space);
    });
    if (r < 0)
        return nullptr;
    return call(dict_space.get(), kept.get()).release();
}

namespace {

// `key in keys` for a list of exact str members, answered by hash. The
// list's own `in` compares a key with each member for equality; between an
// exact str key and exact str members that is a comparison of contents,
// which runs no Python code and agrees with equal hashes and equal
// contents. So while nothing else runs, a table built from the members
// gives the list's answer for every exact str key.
class StrKeySet {
  public:
    StrKeySet() = default;
    StrKeySet(const StrKeySet &) = delete;
    StrKeySet &operator=(const StrKeySet &) = delete;
    ~StrKeySet() {
        for (size_t i = 0; i < n_held_; ++i)
            Py_DECREF(held_[i]);
    }

    // False when a member is not an exact str (the list then decides).
    bool build(PyObject *list) {
        const size_t n = static_cast<size_t>(PyList_GET_SIZE(list));
        size_t cap = kInline;
        while (cap < 2 * n)
            cap *= 2;
        if (cap > kInline) {
            heap_.assign(cap + n, nullptr);
            slots_ = heap_.data();
            held_ = heap_.data() + cap;
        } else {
            std::fill(inline_, inline_ + kInline, nullptr);
        }
        mask_ = cap - 1;
        for (size_t i = 0; i < n; ++i) {
            PyObject *k = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i));
            if (!PyUnicode_CheckExact(k) || PyUnicode_READY(k) < 0) {
                PyErr_Clear();
                return false;
            }
            held_[n_held_++] = Py_NewRef(k);
            size_t at = static_cast<size_t>(PyObject_Hash(k)) & mask_;
            for (; slots_[at]; at = (at + 1) & mask_)
                if (same(slots_[at], k))
                    break;
            slots_[at] = k;
        }
        return true;
    }

    // 1 or 0 for an exact str key; -1 when the key's contents cannot be read
    // (the list then decides).
    int contains(PyObject *key) const {
        if (PyUnicode_READY(key) < 0) {
            PyErr_Clear();
            return -1;
        }
        for (size_t at = static_cast<size_t>(PyObject_Hash(key)) & mask_; slots_[at]; at = (at + 1) & mask_)
            if (same(slots_[at], key))
                return 1;
        return 0;
    }

  private:
    static bool same(PyObject *a, PyObject *b) noexcept {
        if (a == b)
            return true;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        return PyObject_Hash(a) == PyObject_Hash(b) && n == PyUnicode_GET_LENGTH(b) &&
               PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                           static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
    }

    // Up to kInline / 2 members live in the object itself: the table and
    // the references it holds.
    static constexpr size_t kInline = 32;
    PyObject *inline_[kInline];
    PyObject *inline_held_[kInline / 2];
    std::vector<PyObject *> heap_;
    PyObject **slots_ = inline_;
    PyObject **held_ = inline_held_; // strong references to the members
    size_t n_held_ = 0;
    size_t mask_ = 0;
};

} // namespace

// A new dict of the entries of `sample` whose key is in `keys`, in the
// order of the sample. Exact str keys are looked up by hash while every
// member of `keys` is an exact str; the first key that is not, or whose
// lookup fails, goes to the list's own `in`, which may run Python code that
// changes the list, so every later key goes there too.
PyObject *impl_filter_sample(PyObject *, PyObject *const *args) {
    PyObject *sample = args[0];
    PyObject *keys = args[1];
    Ref kept = Ref::steal(PyDict_New());
    if (!kept)
        return nullptr;
    StrKeySet set;
    bool by_hash = set.build(keys);
    int r = for_each_item(sample, [&](PyObject *key, PyObject *value) -> int {
        int wanted = by_hash && PyUnicode_CheckExact(key) ? set.contains(key) : -1;
        if (wanted < 0) {
            by_hash = false;
            wanted = PySequence_Contains(keys, key);
        }
        if (wanted <= 0)
            return wanted;
        return PyDict_SetItem(kept.get(), key, value);
    });
    return r < 0 ? nullptr : kept.release();
}

} // namespace su
