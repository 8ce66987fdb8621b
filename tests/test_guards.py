"""Every fast path follows a rebinding of any name its general path reads.

For each fast path, the names come from two places: the module globals (and
their attributes) that the function reads, and the global names read by the
code of the library functions and core-library methods it would call (from
their code objects, so the list follows that code). Each name is rebound in
turn to a stand-in that behaves like the original but records every use; the
call must then give the same result, warnings, exception and uses as the
general path with the same rebinding."""

import builtins
import contextlib
import io
import json
import os
import subprocess
import sys
import textwrap
import types
import warnings

import numpy as np
import pytest
import torch

import kestrelix_core.spaces as ks
from kestrelix_core.agent.skill.skill_selector import SkillSelector
from kestrelix_train.utils import space_utils as su

pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")


class Rebound:
    """The original object, recording each call, attribute read and isinstance()."""

    def __init__(self, target, name, log):
        self._target, self._name, self._log = target, name, log

    def __call__(self, *args, **kwargs):
        self._log.append((self._name, "()"))
        return self._target(*args, **kwargs)

    def __getattr__(self, attr):
        self._log.append((self._name, attr))
        return getattr(self._target, attr)

    def __instancecheck__(self, obj):
        self._log.append((self._name, "isinstance"))
        return isinstance(obj, self._target)


class Forward(types.ModuleType):
    """A module that hands out another object's attributes: as `np` or
    `torch`, it turns the fast paths off without changing what is read."""

    def __init__(self, target):
        super().__init__("forward")
        self._target = target

    def __getattr__(self, name):
        return getattr(self._target, name)


def code_reads(fn):
    """(namespace, name) for each global name the code of `fn` reads, and
    for each attribute of a module it reads that way."""
    fn = getattr(fn, "fget", fn)
    fn = getattr(fn, "__wrapped__", fn)
    if not isinstance(fn, types.FunctionType):
        return []
    g, names = fn.__globals__, fn.__code__.co_names
    found = [(g, n) for n in names if n in g or hasattr(builtins, n)]
    modules = [g[n] for _, n in found if isinstance(g.get(n), types.ModuleType)]
    return found + [(vars(m), n) for m in modules for n in names if n in vars(m)]


def reads(module_names, attributes, methods=()):
    """The module's globals, the attributes (module, name) it reads, and what
    the code of those attributes and of `methods` reads in turn."""
    pairs = [(vars(su), n) for n in module_names] + [(vars(m), n) for m, n in attributes]
    called = [vars(m)[n] for m, n in attributes] + list(methods)
    return pairs + [pair for fn in called for pair in code_reads(fn)]


def forward_modules(monkeypatch):
    monkeypatch.setattr(su, "np", Forward(su.np))
    monkeypatch.setattr(su, "torch", Forward(su.torch))


class Relayed(SkillSelector):
    def is_fixed_order(self):
        return super().is_fixed_order()

    def get_children_names(self):
        return super().get_children_names()

    def is_repeat(self):
        return super().is_repeat()


class RelayedBox(ks.Box):
    @property
    def size(self):
        return super().size


def selector(cls=SkillSelector):
    return cls(["a", "b", "c"], fixed_order=True, repeat=True)


def logit_space(box=ks.Box):
    return ks.Dict({"a": box(-1.0, 1.0, (2,)), "b": box(-1.0, 1.0, (1, 3))})


FLATTEN = (["np", "torch", "NestedDict", "OrderedDict"], [(np, "ndarray"), (torch, "Tensor"), (torch, "flatten")])


def unpack_no_grad(*args):
    with torch.no_grad():
        return su.unpack_logits(*args)


def cut_space():
    return ks.Dict({"a": ks.Discrete(3), "b": ks.Box(-1.0, 1.0, (1, 2)), "c": ks.Box(-1.0, 1.0, (1,))})


CUT = (
    ["torch", "OrderedDict", "kestrelix_spaces", "unpack_logits"],
    [(torch, "reshape"), (ks, "Dict"), (ks, "Tuple"), (ks, "MultiDiscrete")],
    [ks.Discrete.size, ks.Box.size],
)


def nested():
    return {"a": np.zeros(2, np.float32), "b": [np.ones(1, np.float32), (np.arange(2.0, dtype=np.float32),)]}

# name: (function, its arguments for the fast path, arguments that take the
# general path where rebinding `np` and `torch` does not, names read). The
# arguments are made before any name is rebound.
CASES = {
    "mask_all_zero": (
        su.mask_all_zero,
        lambda: (np.zeros(3, np.int8),),
        None,
        reads(["np", "mask_all_zero"], [(np, "ndarray"), (np, "any")]),
    ),
    "combine_masks": (
        su.combine_masks,
        lambda: (np.ones(3, np.int8), np.array([1, 0, 1], np.int8)),
        None,
        reads(["np", "combine_masks"], [(np, "ndarray"), (np, "multiply"), (np, "int8")]),
    ),
    "unsquash rescale": (
        su.unsquash_action,
        lambda: (np.array([0.5, -2.0], np.float32), ks.Box(-2.0, 6.0, (2,), np.float32)),
        None,
        reads(["np", "tree", "kestrelix_spaces"], [(np, "clip"), (np, "issubdtype"), (np, "integer")]),
    ),
    "selector mask": (
        su.compute_selector_action_mask,
        lambda: (1, selector()),
        lambda: (1, selector(Relayed)),
        reads(["np"], [(np, "array"), (np, "int8")], [SkillSelector.get_children_names]),
    ),
    "box size": (
        su.unpack_logits,
        lambda: (torch.arange(5.0).reshape(1, 5), logit_space()),
        lambda: (torch.arange(5.0).reshape(1, 5), logit_space(RelayedBox)),
        reads(["torch", "kestrelix_spaces", "unpack_logits"], [(torch, "reshape")], [ks.Box.size]),
    ),
    "one cut": (unpack_no_grad, lambda: (torch.arange(12.0).reshape(2, 6), cut_space()), None, reads(*CUT)),
    "sliced members": (su.unpack_logits, lambda: (torch.arange(12.0).reshape(2, 6), cut_space()), None, reads(*CUT)),
    "multidiscrete cut": (
        unpack_no_grad,
        lambda: (torch.arange(10.0).reshape(2, 5), ks.MultiDiscrete([3, 2])),
        None,
        reads(CUT[0], CUT[1]),
    ),
    "apply mask torch": (
        su.apply_mask,
        lambda: (torch.tensor([[0.5, -0.0], [2.0, 1.0]]), torch.tensor([[1.0, 0.0], [1.0, 1.0]])),
        None,
        reads(["np", "torch", "NestedDict"], [(np, "ndarray"), (np, "inf"), (torch, "Tensor"), (torch, "log"),
                                              (torch, "clamp")]),
    ),
    "flatten numpy": (
        su.flatten_object_numpy,
        lambda: (nested(),),
        None,
        reads(FLATTEN[0] + ["flatten_object_numpy"], FLATTEN[1] + [(np, "concatenate")]),
    ),
    "flatten torch": (
        su.flatten_object_torch,
        lambda: (nested(),),
        None,
        reads(FLATTEN[0] + ["flatten_object_torch"], FLATTEN[1] + [(torch, "from_numpy"), (torch, "cat")]),
    ),
    "flatten batch": (
        su.flatten_object_batch,
        lambda: ({"a": np.ones((2, 3), np.float32), "b": [np.zeros((2, 1), np.float32)]},),
        None,
        reads(FLATTEN[0] + ["flatten_object_batch"], FLATTEN[1] + [(torch, "from_numpy"), (torch, "cat")]),
    ),
    "flatten unknown": (
        su._flatten_unknown,
        lambda: (ks.Dict({"a": ks.Box(-1.0, 1.0, (2,))}), {"a": np.ones(2), "b": np.zeros(1)}),
        None,
        reads(["np", "kestrelix_spaces", "_flatten_unknown"], [(np, "ndarray"), (np, "concatenate"), (ks, "Dict")]),
    ),
    "cast": (
        su.make_np_array,
        lambda: ({"a": np.float64(0.25), "b": np.arange(3)},),
        None,
        reads(["np", "print", "make_np_array"], [(np, "ndarray"), (np, "array")]),
    ),
}


def outcome(call):
    """Result (down to bytes and types), warnings, exception and printed text of a call."""
    with warnings.catch_warnings(record=True) as caught, contextlib.redirect_stdout(io.StringIO()) as out:
        warnings.simplefilter("always")
        try:
            result = call()
        except Exception as e:  # noqa: BLE001 - the exception is compared
            result = ("raised", type(e), str(e))
    return described(result), [(w.category, str(w.message)) for w in caught], out.getvalue()


def described(r):
    if isinstance(r, np.ndarray):
        return ("array", r.dtype, r.shape, r.tobytes())
    if isinstance(r, torch.Tensor):
        return ("tensor", r.dtype, tuple(r.shape), r.numpy().tobytes())
    if isinstance(r, dict):
        return {k: described(v) for k, v in r.items()}
    if isinstance(r, (list, tuple)):
        return type(r), [described(v) for v in r]
    return r


@pytest.mark.parametrize(
    "case, ns, name", [(case, ns, name) for case, (*_, pairs) in CASES.items() for ns, name in pairs],
    ids=lambda v: v if isinstance(v, str) else ns_name(v),
)
def test_rebound_name_is_followed(monkeypatch, case, ns, name):
    fn, args, general_args, _ = CASES[case]
    fast, general = args(), (general_args or args)()
    log = []
    original = ns[name] if name in ns else getattr(builtins, name)
    monkeypatch.setitem(ns, name, Rebound(original, name, log))
    got = outcome(lambda: fn(*fast)), log[:]
    del log[:]
    with monkeypatch.context() as m:
        if general_args is None:
            forward_modules(m)
        expected = outcome(lambda: fn(*general)), log[:]
    assert got == expected


def ns_name(ns):
    return ns.get("__name__", "?") if isinstance(ns, dict) else "?"


def test_global_names_come_from_the_module_builtins_not_the_callers(capsys):
    received = []
    own_builtins = dict(vars(builtins), print=lambda *args: received.append(args))
    exec("su.make_np_array(1.5)", {"su": su, "__builtins__": own_builtins})
    assert received == [] and capsys.readouterr().out == "x=== 1.5 <class 'float'>\n"


@pytest.mark.parametrize("convert", [su.make_np_array, su._convert_sensor_to_numpy_array])
@pytest.mark.parametrize("value", [np.float64(1e-40), np.float64(-1e-50)])
def test_float64_scalar_underflow_to_float32_is_reported(convert, value, capsys):
    def raised(call):
        try:
            call()
        except FloatingPointError as e:
            return str(e)

    with np.errstate(under="raise"):  # (numpy 1.23 casts a subnormal without a word)
        assert raised(lambda: convert(value)) == raised(lambda: np.array([value], dtype=np.float32))
    with np.errstate(under="ignore"):
        assert convert(np.float64(1e-30)).item() == np.float32(1e-30)  # a normal float32 stays native


@pytest.mark.filterwarnings("ignore:PyArray_SetNumericOps:DeprecationWarning")
@pytest.mark.skipif(not hasattr(np, "set_numeric_ops"), reason="numpy's array arithmetic is fixed")
def test_replaced_array_arithmetic_is_called():
    calls = []

    def add(*args, **kwargs):
        calls.append(len(args))
        return np.add(*args, **kwargs)

    saved = np.set_numeric_ops(add=add)
    try:
        got = su.unsquash_action(np.array([0.5], np.float32), ks.Box(-2.0, 6.0, (1,), np.float32))
    finally:
        np.set_numeric_ops(**saved)
    assert calls and got.tolist() == [4.0]


@pytest.mark.skipif(not hasattr(np, "set_numeric_ops"), reason="numpy's array arithmetic is fixed")
@pytest.mark.parametrize("op", ["add", "subtract", "multiply", "true_divide"])
def test_arithmetic_replaced_before_the_first_call_is_called(op):
    # a fresh interpreter, so that the replacement comes before the module's
    # first call
    code = textwrap.dedent(
        f"""
        import json, warnings
        import numpy as np
        import kestrelix_core.spaces as ks
        from kestrelix_train.utils import space_utils as su

        calls = []
        own = getattr(np, {op!r})

        def replaced(*args, **kwargs):
            calls.append(len(args))
            return own(*args, **kwargs)

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            np.set_numeric_ops(**{{{op!r}: replaced}})
        got = su.unsquash_action(np.array([0.0, 0.5, 1.0], np.float32), ks.Box(-2.0, 6.0, (3,), np.float32))
        print(json.dumps([len(calls), got.tolist()]))
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-4000:]
    calls, got = json.loads(out.stdout)
    assert calls and got == [2.0, 4.0, 6.0]
