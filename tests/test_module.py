"""The module's surface: names, aliases, function objects and import-time behaviour."""

import asyncio
import asyncio.coroutines
import builtins
import collections
import copy
import gc
import inspect
import pickle
import pydoc
import re
import subprocess
import sys
import textwrap
import typing
import warnings

import gymnasium
import numpy as np
import pytest
import torch

import kestrelix_core.spaces
from conftest import NestedDict
from kestrelix_train.utils import space_utils as su

FUNCTIONS = [
    ("_convert_sensor_to_numpy_array", ["sensor"], False),
    ("_convert_value_to_gym_space", ["value"], False),
    ("_get_perceptor_space", ["perceptors", "sensor_space_spec"], True),
    ("get_kestrelix_space_info", ["sensor_space_spec", "sensors", "perceptors", "skill_processors"], True),
    (
        "convert_sim_sensors_to_kestrelix_sensors",
        ["sim_sensors", "sim_sensors_spec", "agent_sensors", "perceptors", "skill_processors"],
        True,
    ),
    ("filter_space", ["space", "keys"], False),
    ("filter_sample", ["sample", "keys"], False),
    ("_flatten_unknown", ["space", "x"], False),
    ("compute_selector_action_mask", ["previous_action", "skill"], False),
    ("unsquash_action_batch", ["action_batch", "action_space_struct"], False),
    ("unsquash_action", ["action", "action_space_struct"], False),
    ("action_fits_mask", ["action", "action_mask", "action_space"], False),
    ("make_np_array", ["x", "dtype"], False),
    ("combine_masks", ["mask1", "mask2"], False),
    ("apply_mask", ["logits", "action_mask"], False),
    ("mask_all_zero", ["action_mask"], False),
    ("flatten_object_torch", ["object"], False),
    ("flatten_object_batch", ["object"], False),
    ("flatten_object_numpy", ["object"], False),
    ("unpack_logits", ["logits", "space"], False),
]
NAMES = [f[0] for f in FUNCTIONS]

ANNOTATIONS = {
    "_convert_sensor_to_numpy_array": {
        "sensor": "Union[np.ndarray | Dict]",
        "return": "np.ndarray | Dict[str, np.ndarray]",
    },
    "_convert_value_to_gym_space": {"value": "Any", "return": "kestrelix_spaces.Space"},
    "_get_perceptor_space": {
        "perceptors": "List[Perceptor]",
        "sensor_space_spec": "kestrelix_spaces.Space",
        "return": "kestrelix_spaces.Dict",
    },
    "get_kestrelix_space_info": {
        "sensor_space_spec": "kestrelix_spaces.Space",
        "sensors": "List[Sensor]",
        "perceptors": "List[Perceptor]",
        "skill_processors": "List",
        "return": "TypeKestrelixSpace",
    },
    "convert_sim_sensors_to_kestrelix_sensors": {
        "sim_sensors": "Union[OrderedDict, Dict]",
        "sim_sensors_spec": "kestrelix_spaces.Space",
        "agent_sensors": "List[Sensor]",
        "perceptors": "List[Perceptor]",
        "return": "TypeKestrelixSpace",
    },
    "filter_space": {"space": "kestrelix_spaces.Dict", "keys": "List[str]", "return": "kestrelix_spaces.Space"},
    "filter_sample": {"sample": "Dict", "keys": "List[str]", "return": "Dict"},
    "_flatten_unknown": {"return": "Union[dict, np.ndarray]"},
    "compute_selector_action_mask": {"skill": "SkillSelector"},
    "apply_mask": {
        "logits": "Union[Dict, Tuple, List, np.ndarray]",
        "action_mask": "Union[Dict, Tuple, List, np.ndarray]",
    },
    "unpack_logits": {"logits": "torch.Tensor", "space": "kestrelix_spaces.Space"},
}

EXACT_DOCS = {
    "_convert_sensor_to_numpy_array": "\n    Convert an incoming space (Array or Dictionary) to a numpy array\n    ",
    "apply_mask": "\n".join(
        [
            "",
            "    Action masks comes in as a dict, tuple, list or numpy array so we apply the action mask",
            "    according to the action space here",
            "",
            "    The mask is applied by setting the indicices of the logits to -inf where the mask is 0",
            "",
            "    Args:",
            "        logits: The logits (probability output of the NN) to apply the mask to",
            "        action_mask: The mask to apply",
            "",
            "    Returns:",
            "        The masked logits",
            "    ",
        ]
    ),
    "mask_all_zero": "\n".join(
        [
            "",
            "    Action masks comes in as a dict, tuple, list or numpy array, we check if they are all zero here",
            "",
            "    Args:",
            "        logits: The logits (probability output of the NN) to apply the mask to",
            "        action_mask: The mask to check for all zeros",
            "",
            "    Returns:",
            "        True if all elements are 0, otherwise False",
            "    ",
        ]
    ),
}
DOCUMENTED = {"get_kestrelix_space_info", "convert_sim_sensors_to_kestrelix_sensors", "unsquash_action",
              "unpack_logits", *EXACT_DOCS}


def test_module_level_names_in_binding_order():
    names = [n for n in vars(su) if not n.startswith("__")]
    assert names == [
        "OrderedDict", "Any", "Dict", "List", "Tuple", "TypeVar", "Union", "TypingDict",
        "kestrelix_spaces", "gym", "np", "torch", "tree", "Perceptor", "Sensor", "SkillSelector",
        "sensor_util", "NestedDict", "T", "FlatType", "primitive_types", "TypeKestrelixSpace",
        "TypeKestrelixSensorValues", *NAMES,
    ]


def test_collaborators_and_aliases():
    from kestrelix_core.agent.perceptor.perceptor import Perceptor
    from kestrelix_core.agent.sensor import Sensor
    from kestrelix_core.agent.skill.skill_selector import SkillSelector
    from kestrelix_core.utils import sensor_util

    assert su.OrderedDict is collections.OrderedDict
    assert (su.Any, su.Dict, su.List, su.Tuple, su.TypeVar, su.Union) == (
        typing.Any, typing.Dict, typing.List, typing.Tuple, typing.TypeVar, typing.Union)
    assert su.TypingDict is typing.Dict
    assert su.kestrelix_spaces is kestrelix_core.spaces
    assert (su.gym, su.np, su.torch) == (gymnasium, np, torch)
    assert su.tree is sys.modules["tree"]
    assert (su.Perceptor, su.Sensor, su.SkillSelector, su.sensor_util) == (
        Perceptor, Sensor, SkillSelector, sensor_util)
    assert su.NestedDict is (NestedDict or su.NestedDict) and isinstance(su.NestedDict, type)
    assert isinstance(su.T, typing.TypeVar) and su.T.__name__ == "T"
    assert su.T.__bound__ is None and su.T.__constraints__ == ()
    assert typing.get_args(su.FlatType) == (np.ndarray, typing.Dict, tuple, gymnasium.spaces.GraphInstance)
    assert type(su.primitive_types) is tuple and su.primitive_types == (int, float)
    assert su.TypeKestrelixSpace == typing.Dict[str, kestrelix_core.spaces.Space]
    assert su.TypeKestrelixSensorValues == typing.Dict[str, np.ndarray]
    assert "GraphInstance" not in vars(su)


def test_module_docstring():
    doc = su.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    assert "gymnasium" in doc and "np.ndarray" in doc and "dictionary" in doc


@pytest.mark.parametrize("name,params,is_coro", FUNCTIONS)
def test_function_surface(name, params, is_coro):
    f = getattr(su, name)
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "kestrelix_train.utils.space_utils"
    sig = inspect.signature(f)
    assert list(sig.parameters) == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert f.__annotations__ == ANNOTATIONS.get(name, {})
    assert list(f.__annotations__) == list(ANNOTATIONS.get(name, {}))
    assert f.__kwdefaults__ is None
    if name == "make_np_array":
        assert f.__defaults__ == (np.float32,) and f.__defaults__[0] is np.float32
        assert sig.parameters["dtype"].default is np.float32
    else:
        assert f.__defaults__ is None
    assert inspect.iscoroutinefunction(f) is is_coro
    if is_coro:
        assert f._is_coroutine is asyncio.coroutines._is_coroutine
    else:
        assert f._is_coroutine is False
    code = f.__code__
    assert code.co_varnames == tuple(params) and code.co_argcount == len(params)
    assert code.co_name == code.co_qualname == name


@pytest.mark.parametrize("name", NAMES)
def test_docstrings(name):
    doc = getattr(su, name).__doc__
    if name in EXACT_DOCS:
        assert doc == EXACT_DOCS[name]
    elif name not in DOCUMENTED:
        assert doc is None
    elif name in ("unsquash_action", "unpack_logits"):
        assert not doc.startswith("\n") and "\n    Args:\n" in doc
    else:
        assert doc.startswith("\n    ") and doc.endswith("\n    ")
    if name == "unpack_logits":
        assert doc.startswith("Unpack a flattened Dict or Tuple sensor array/tensor.\n")
    if name == "get_kestrelix_space_info":
        assert doc.startswith("\n    Generate the enriched space. This takes the base sim space and adds "
                              "perceptors, skill groups, ...")
    if name == "convert_sim_sensors_to_kestrelix_sensors":
        assert doc.startswith("\n    The incoming sensor values are mapped to a sensor space set at simulation side.")
        assert doc.endswith("In this function we perform that mapping.\n    ")


@pytest.mark.parametrize("name", NAMES)
def test_pickles_and_copies_by_reference(name):
    f = getattr(su, name)
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, proto)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_pickled_in_another_process():
    data = pickle.dumps([su.unpack_logits, su.make_np_array])
    code = "import pickle,sys; fs = pickle.loads(sys.stdin.buffer.read()); print([f.__name__ for f in fs])"
    out = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, check=True)
    assert out.stdout.decode().strip() == "['unpack_logits', 'make_np_array']"


def test_binds_as_method_and_stays_plain_on_class():
    class Holder:
        combine = su.combine_masks
        describe = su._convert_value_to_gym_space

    h = Holder()
    assert Holder.describe is su._convert_value_to_gym_space
    bound = h.describe
    assert bound.__self__ is h and bound.__func__ is su._convert_value_to_gym_space
    # the instance becomes the first argument, as with a def
    with pytest.raises(NotImplementedError, match=r"^Unable to convert value \(<.*Holder object"):
        h.describe()
    assert list(inspect.signature(h.combine).parameters) == ["mask2"]


def test_help_and_repr():
    text = pydoc.render_doc(su.make_np_array, renderer=pydoc.plaintext)
    assert "make_np_array(x, dtype=<class 'numpy.float32'>)" in text
    text = pydoc.render_doc(su.apply_mask, renderer=pydoc.plaintext)
    assert "The mask is applied by setting the indicices" in text
    assert repr(su.filter_space).startswith("<function filter_space at 0x")


def test_function_attributes_behave_like_a_def():
    f = su.filter_sample
    f.custom = 1
    try:
        assert f.__dict__["custom"] == 1
    finally:
        del f.custom
    with pytest.raises(TypeError):
        type(f)()


def test_attributes_are_those_of_a_def_on_this_python():
    def ref(a):
        pass

    def surface(f):
        out = [sorted(set(dir(f)) - {"_is_coroutine"}), getattr(f, "__type_params__", None)]
        # a def's builtins are its module's; this module's namespace names none: the interpreter's
        out.append(f.__builtins__ is vars(sys.modules[f.__module__]).get("__builtins__", builtins.__dict__))
        if hasattr(f, "__type_params__"):
            for bad in ([int], None, "del"):
                try:
                    if bad == "del":
                        del f.__type_params__
                    else:
                        f.__type_params__ = bad
                except TypeError as e:
                    out.append(str(e))
            f.__type_params__ = (int,)
            out.append(f.__type_params__)
            f.__type_params__ = ()
        return out

    assert surface(su.filter_sample) == surface(ref)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="inspect.markcoroutinefunction is new in 3.12")
def test_marked_as_coroutine_function_as_a_def_is():
    f = su.filter_space
    assert inspect.markcoroutinefunction(f) is f and inspect.iscoroutinefunction(f)
    del f._is_coroutine_marker
    assert not inspect.iscoroutinefunction(f)


def annotated_def(name):
    """A def with the same (string) annotations as the module's function `name`."""
    params = next(p for n, p, _ in FUNCTIONS if n == name)
    ann = ANNOTATIONS.get(name, {})
    args = ", ".join(f"{p}: {ann[p]!r}" if p in ann else p for p in params)
    ret = f" -> {ann['return']!r}" if "return" in ann else ""
    ns = {}
    exec(f"def {name}({args}){ret}: pass", ns)
    return ns[name]


needs_annotate = pytest.mark.skipif(sys.version_info < (3, 14), reason="__annotate__ is new in 3.14")


@needs_annotate
@pytest.mark.parametrize("name", ["filter_space", "_flatten_unknown", "compute_selector_action_mask", "combine_masks"])
def test_annotationlib_reads_what_it_reads_of_a_def(name):
    import annotationlib

    f, ref = getattr(su, name), annotated_def(name)
    for fmt in annotationlib.Format:
        if fmt == fmt.VALUE_WITH_FAKE_GLOBALS:  # (refused for every object)
            continue
        got = [annotationlib.get_annotations(g, format=fmt) for g in (f, ref)]
        assert got[0] == got[1] and list(got[0]) == list(got[1]), fmt
    assert (f.__annotate__ is None) is (ref.__annotate__ is None)
    if f.__annotate__ is not None:
        a, r = f.__annotate__, ref.__annotate__
        assert (a.__name__, a.__qualname__, a.__module__) == (r.__name__, r.__qualname__, f.__module__)
        assert str(inspect.signature(a)) == str(inspect.signature(r)) == "(format, /)"
        assert a(1) == r(1) and a(1) is not a(1)
        for call in (lambda g: g(format=1), lambda g: g(5), lambda g: g("x")):
            with pytest.raises((TypeError, NotImplementedError)) as e1:
                call(a)
            with pytest.raises((TypeError, NotImplementedError)) as e2:
                call(r)
            assert (e1.type, str(e1.value)) == (e2.type, str(e2.value))


ANNOTATE_STEPS = [
    ["annotate=callable"],
    ["annotations=dict"],
    ["annotate=None"],
    ["del annotations"],
    ["annotate=callable", "annotate=None"],
    ["annotations=dict", "annotate=callable"],
    ["annotate=5"],
    ["del annotate"],
    ["annotate=non-dict"],
]


@needs_annotate
@pytest.mark.parametrize("steps", ANNOTATE_STEPS, ids=" then ".join)
@pytest.mark.parametrize("name", ["filter_space", "make_np_array"])
def test_assigning_annotate_and_annotations_as_on_a_def(name, steps):
    def mine(fmt):
        return {"z": "from mine"}

    values = {"callable": mine, "None": None, "dict": {"q": 1}, "5": 5, "non-dict": lambda fmt: 7}

    def run(g):
        seen = [g.__annotations__]  # (made now, if not before: the module's may have been read)
        for step in steps:
            try:
                if step.startswith("del "):
                    delattr(g, f"__{step[4:]}__")
                else:
                    attr, value = step.split("=")
                    setattr(g, f"__{attr}__", values[value])
                seen.append((g.__annotations__, g.__annotate__ in (None, mine) and g.__annotate__))
            except TypeError as e:
                seen.append(str(e))
        return seen

    f = getattr(su, name)
    saved = f.__annotate__
    try:
        assert run(f) == run(annotated_def(name))
    finally:
        f.__annotate__ = saved
        if saved is None:
            f.__annotations__ = dict(ANNOTATIONS.get(name, {}))
    assert f.__annotations__ == ANNOTATIONS.get(name, {})


def ref_signature(name, params, defaults=None):
    """A Python function with the same signature, to compare error texts with."""
    args = ", ".join(params)
    ns = {}
    exec(f"def {name}({args}): pass", ns)
    ns[name].__defaults__ = defaults
    return ns[name]


BAD_CALLS = [
    ((), {}),
    ((1, 2, 3, 4, 5, 6), {}),
    ((1,), {"nope": 1}),
    ((1,), {"x": 1}),
    ((), {"x": 1, "dtype": 2, "zz": 3}),
    ((1, 2, 3), {"zz": 1}),
]


@pytest.mark.parametrize("name,params,_", FUNCTIONS)
@pytest.mark.parametrize("args,kwargs", BAD_CALLS)
def test_bad_calls_raise_the_interpreters_type_errors(name, params, _, args, kwargs):
    f = getattr(su, name)
    if "x" in kwargs and name != "make_np_array":
        kwargs = {params[0]: kwargs["x"], **{k: v for k, v in kwargs.items() if k != "x"}}
    ref = ref_signature(name, params, f.__defaults__)
    try:
        ref(*args, **kwargs)
    except TypeError as e:
        expected = str(e)
    else:
        pytest.skip("a valid call")
    with pytest.raises(TypeError) as info:
        f(*args, **kwargs)
    assert str(info.value) == expected


@pytest.mark.parametrize("unused", [0, 1, 3])
def test_replaced_defaults_bind_as_a_python_functions_do(unused):
    # The last defaults go with the last parameters, also when there are
    # more defaults than parameters.
    f = su.filter_sample
    saved = f.__defaults__
    f.__defaults__ = ("unused",) * unused + ({"a": 1, "b": 2}, ["b"])
    ns = {}
    exec("def filter_sample(sample, keys): return sample, keys", ns)
    ref = ns["filter_sample"]
    ref.__defaults__ = f.__defaults__
    try:
        sample, keys = ref()
        assert f() == {k: v for k, v in sample.items() if k in keys} == {"b": 2}
        assert f({"a": 1, "b": 3}) == {"b": 3} and f(keys=["a"]) == {"a": 1}
        with pytest.raises(TypeError) as info:
            f({}, [], 0)
        with pytest.raises(TypeError, match=re.escape(str(info.value))):
            ref({}, [], 0)
    finally:
        f.__defaults__ = saved


LIST_OR_DICT = [
    ("_get_perceptor_space", {"perceptors": None, "sensor_space_spec": 0}, "perceptors", "list", "NoneType"),
    ("get_kestrelix_space_info", {"sensor_space_spec": 0, "sensors": (), "perceptors": None,
                                  "skill_processors": []}, "sensors", "list", "tuple"),
    ("get_kestrelix_space_info", {"sensor_space_spec": 0, "sensors": [], "perceptors": [],
                                  "skill_processors": ()}, "skill_processors", "list", "tuple"),
    ("convert_sim_sensors_to_kestrelix_sensors", {"sim_sensors": 0, "sim_sensors_spec": 0, "agent_sensors": [],
                                                  "perceptors": {}, "skill_processors": 0},
     "perceptors", "list", "dict"),
    ("filter_space", {"space": 0, "keys": ("a",)}, "keys", "list", "tuple"),
    ("filter_sample", {"sample": collections.OrderedDict(), "keys": None}, "sample", "dict",
     "collections.OrderedDict"),
    ("filter_sample", {"sample": {}, "keys": type("L", (list,), {})()}, "keys", "list", "L"),
]


@pytest.mark.parametrize("by_keyword", [False, True])
@pytest.mark.parametrize("name,kwargs,param,expected,got", LIST_OR_DICT)
def test_exact_type_checks(name, kwargs, param, expected, got, by_keyword):
    f = getattr(su, name)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a coroutine created and dropped would warn
        with pytest.raises(TypeError) as info:
            if by_keyword:
                f(**kwargs)
            else:
                f(*kwargs.values())
        gc.collect()
    assert str(info.value) == f"Argument '{param}' has incorrect type (expected {expected}, got {got})"


def test_exact_type_check_cuts_type_name_at_200_characters():
    long_type = type("T" * 300, (), {})
    with pytest.raises(TypeError) as info:
        su.filter_space(None, long_type())
    assert str(info.value) == f"Argument 'keys' has incorrect type (expected list, got {'T' * 200})"


def test_module_globals_are_looked_up_at_call_time(monkeypatch):
    calls = []

    class NumpyProxy:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(np, name)

    monkeypatch.setattr(su, "np", NumpyProxy())
    assert su._convert_sensor_to_numpy_array(3).dtype == np.float32
    assert "float32" in calls and "array" in calls
    # the default captured at import is not affected by rebinding np
    assert su.make_np_array.__defaults__ == (np.float32,)

    monkeypatch.delattr(su, "np")
    with pytest.raises(NameError, match="^name 'np' is not defined$"):
        su._convert_sensor_to_numpy_array(3)


def test_rebinding_a_function_changes_what_recursion_calls(monkeypatch):
    original = su._convert_sensor_to_numpy_array
    seen = []
    monkeypatch.setattr(su, "_convert_sensor_to_numpy_array", lambda v: seen.append(v) or "child")
    assert original({"a": 1, "b": {"c": 2}}) == {"a": "child", "b": "child"}
    assert seen == [1, {"c": 2}]


def test_builtins_are_found_after_the_module_namespace(monkeypatch, trace_lines):
    printed = []
    monkeypatch.setattr(su, "print", lambda *a: printed.append(a), raising=False)
    su.make_np_array(1)
    assert printed == [("x===", 1, int)]
    monkeypatch.delattr(su, "print")
    with trace_lines() as lines:
        su.make_np_array(1)
    assert lines == ["x=== 1 <class 'int'>"]


def test_import_is_idempotent_and_survives_removal_from_sys_modules():
    import importlib

    name = "kestrelix_train.utils.space_utils"
    first = sys.modules[name]
    del sys.modules[name]
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = first
    assert again is first
    assert importlib.reload(first) is first
    assert first.make_np_array is su.make_np_array


def _run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


@pytest.mark.parametrize("blocked,first_use", [
    ("torch", "import torch"),
    ("kestrelix_core", "import kestrelix_core.spaces"),
])
def test_missing_collaborator_fails_import_and_leaves_no_module(blocked, first_use):
    out = _run(f"""
        import sys
        sys.modules[{blocked!r}] = None
        try:
            {first_use}
        except ImportError as e:
            print(type(e).__name__, e)
        try:
            import kestrelix_train.utils.space_utils
        except ImportError as e:
            print(type(e).__name__, e)
        print("kestrelix_train.utils.space_utils" in sys.modules)
        del sys.modules[{blocked!r}]
        from kestrelix_train.utils import space_utils
        print(callable(space_utils.make_np_array))
    """)
    assert out.returncode == 0, out.stderr
    expected, got, *rest = out.stdout.splitlines()
    assert got == expected and expected.startswith("ModuleNotFoundError")
    assert rest == ["False", "True"]


STAND_IN = """
    import sys
    sys.path.insert(0, {where!r})
    {block}
    from kestrelix_train.utils import space_utils as su
    import numpy as np
    N = su.NestedDict
    for make in (N, lambda: N({{"a": 1}}), lambda: object.__new__(N), lambda: type("Sub", (N,), {{}})):
        try:
            make()
        except TypeError as e:
            print(e)
    print(N.__module__, N.__name__, isinstance({{}}, N), issubclass(dict, N))
    print(su.flatten_object_numpy([np.ones(1), {{"a": np.zeros(1)}}]).tolist(), su.mask_all_zero([{{"a": np.zeros(1)}}]))
"""


@pytest.mark.parametrize("ray_init", [None, ""])
def test_without_rllib_nested_dict_the_module_binds_a_stand_in(tmp_path, ray_init):
    # None: Ray cannot be found at all; "": a Ray without RLlib's NestedDict
    block = "sys.modules['ray'] = None" if ray_init is None else "pass"
    if ray_init is not None:
        (tmp_path / "ray").mkdir()
        (tmp_path / "ray" / "__init__.py").write_text(ray_init)
    code = STAND_IN.format(where=str(tmp_path), block=block)
    out = _run(code)
    assert out.returncode == 0 and out.stderr == "", out.stderr
    unavailable = ("NestedDict is not available: RLlib's NestedDict cannot be imported here "
                   "(no module ray.rllib.utils.nested_dict)")
    assert out.stdout.splitlines() == [unavailable, unavailable,
                                       "object.__new__(kestrelix_train.utils.space_utils.NestedDict) is not safe, "
                                       "use kestrelix_train.utils.space_utils.NestedDict.__new__()",
                                       "type 'kestrelix_train.utils.space_utils.NestedDict' is not an acceptable "
                                       "base type",
                                       "kestrelix_train.utils.space_utils NestedDict False False",
                                       "[1.0, 0.0] True"]


@pytest.mark.parametrize("ray_init, error", [
    ("import no_such_dependency_of_ray", "ModuleNotFoundError: No module named 'no_such_dependency_of_ray'"),
    ("raise RuntimeError('ray is broken')", "RuntimeError: ray is broken"),
])
def test_other_errors_importing_ray_pass_through(tmp_path, ray_init, error):
    (tmp_path / "ray").mkdir()
    (tmp_path / "ray" / "__init__.py").write_text(ray_init)
    out = _run(f"import sys; sys.path.insert(0, {str(tmp_path)!r}); import kestrelix_train.utils.space_utils")
    assert out.returncode == 1 and out.stderr.splitlines()[-1] == error


def test_missing_name_in_from_import():
    out = _run("""
        import kestrelix_core.agent.sensor as m
        del m.Sensor
        try:
            import kestrelix_train.utils.space_utils
        except ImportError as e:
            print(type(e).__name__, e)
    """)
    assert out.stdout.strip() == "ImportError cannot import name Sensor", out.stderr


SUBINTERPRETER = """
import os, tempfile
import kestrelix_train.utils.space_utils
try:  # a subinterpreter that shares the main one's settings, as on 3.11
    import _interpreters as interpreters
    new = lambda: interpreters.create("legacy")
except ImportError:
    import _xxsubinterpreters as interpreters
    new = lambda: interpreters.create(isolated=False)

path = tempfile.mktemp()
code = (
    "try:\\n"
    "    import kestrelix_train.utils.space_utils\\n"
    "except ImportError as e:\\n"
    f"    open({path!r}, 'w').write(str(e))\\n"
)
interpreters.run_string(new(), code)
print(open(path).read())
os.unlink(path)
"""


def test_a_second_interpreter_is_refused():
    out = _run(SUBINTERPRETER)
    assert out.stdout.strip() == ("Interpreter change detected - this module can only be loaded into one "
                                  "interpreter per process."), out.stderr
