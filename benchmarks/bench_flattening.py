"""Flattening: nested observations into one array or tensor.

Run with:
    PYTHONPATH=build/<dir>/site:benchmarks .venv/bin/python benchmarks/bench_flattening.py

Each case times the module, the same steps written directly in Python, and
the library calls alone (the floor: every np.concatenate / torch call the
steps make, on precomputed inputs). The observations are dicts of 8 to 32
leaves, some nested in tuples; batches hold 256 samples. The "[general]"
rows run the module with `np` and `torch` rebound to copies of the numpy
and torch modules, which turns the native paths off: they show the module
before them.
"""

from __future__ import annotations

import types

import numpy as np
import torch
from _harness import Case, run_cases
# RLlib's NestedDict where Ray has it, else the module's stand-in (no instances)
from kestrelix_train.utils.space_utils import NestedDict

from kestrelix_core import spaces as S
from kestrelix_train.utils import space_utils as su

BATCH = 256


# -- the same steps written directly in Python ------------------------------


def py_flatten_numpy(object):
    if isinstance(object, np.ndarray):
        return object
    if isinstance(object, torch.Tensor):
        return torch.flatten(object).detach().numpy()
    if isinstance(object, dict) or isinstance(object, NestedDict):
        return np.concatenate([py_flatten_numpy(object[key]) for key in object.keys()], axis=None)
    if isinstance(object, (tuple, list)):
        return np.concatenate([py_flatten_numpy(member) for member in object], axis=None)
    raise ValueError("Unsupported object type: " + str(type(object)))


def py_flatten_torch(object):
    if isinstance(object, np.ndarray):
        return torch.flatten(torch.from_numpy(object))
    if isinstance(object, torch.Tensor):
        return torch.flatten(object)
    if isinstance(object, dict) or isinstance(object, NestedDict):
        return torch.cat([py_flatten_torch(object[key]) for key in object.keys()])
    if isinstance(object, (tuple, list)):
        return torch.cat([py_flatten_torch(member) for member in object])
    raise ValueError("Unsupported object type: " + str(type(object)))


def py_flatten_batch(object):
    if isinstance(object, np.ndarray):
        return torch.flatten(torch.from_numpy(object), start_dim=1)
    if isinstance(object, torch.Tensor):
        return torch.flatten(object, start_dim=1)
    if isinstance(object, dict) or isinstance(object, NestedDict):
        return torch.cat([py_flatten_batch(object[key]) for key in object.keys()], dim=1)
    if isinstance(object, (tuple, list)):
        return torch.cat([py_flatten_batch(member) for member in object], dim=1)
    raise ValueError("Unsupported object type: " + str(type(object)))


def py_flatten_unknown(space, x):
    if isinstance(x, np.ndarray):
        return x.flatten()
    if isinstance(x, dict):
        members = space.spaces if isinstance(space, S.Dict) else None
        return np.concatenate(
            [py_flatten_unknown(members[k] if members is not None and k in members else None, x[k]) for k, _ in x.items()]
        )
    if isinstance(x, tuple):
        return np.concatenate([py_flatten_unknown(s, m) for m, s in zip(x, space.spaces)])
    return None


# -- the library calls alone --------------------------------------------------


def floor_calls(obj, leaf, join):
    """The calls the steps make, in order, with every input precomputed.

    `leaf(x)` and `join(pieces)` return (calls, result): the list of
    (function, args, kwargs) made for a leaf or a join, and its result.
    A list or tuple is also tested against NestedDict, an abstract class
    whose instance test runs Python code.
    """
    calls = []

    def walk(x):
        if isinstance(x, (np.ndarray, torch.Tensor)):
            c, r = leaf(x)
        else:
            if not isinstance(x, dict):
                calls.append((isinstance, (x, NestedDict), {}))
            members = x.values() if isinstance(x, dict) else x
            c, r = join([walk(m) for m in members])
        calls.extend(c)
        return r

    walk(obj)

    def run():
        for fn, args, kwargs in calls:
            fn(*args, **kwargs)

    return run


def numpy_floor(obj):
    def leaf(x):
        if isinstance(x, torch.Tensor):
            flat = torch.flatten(x)
            return [(torch.flatten, (x,), {}), (flat.detach, (), {}), (flat.detach().numpy, (), {})], flat.numpy()
        return [], x

    def join(pieces):
        return [(np.concatenate, (pieces,), {"axis": None})], np.concatenate(pieces, axis=None)

    return floor_calls(obj, leaf, join)


def torch_floor(obj, batch):
    kw = {"start_dim": 1} if batch else {}
    cat_kw = {"dim": 1} if batch else {}

    def leaf(x):
        if isinstance(x, np.ndarray):
            t = torch.from_numpy(x)
            return [(torch.from_numpy, (x,), {}), (torch.flatten, (t,), kw)], torch.flatten(t, **kw)
        return [(torch.flatten, (x,), kw)], torch.flatten(x, **kw)

    def join(pieces):
        return [(torch.cat, (pieces,), cat_kw)], torch.cat(pieces, **cat_kw)

    return floor_calls(obj, leaf, join)


def unknown_floor(space, x):
    """x.flatten() per array, np.concatenate per container, and the test of
    each dict's space against the Dict space class (an abstract class whose
    instance test runs Python code)."""
    calls = []

    def walk(s, v):
        if isinstance(v, np.ndarray):
            calls.append((v.flatten, (), {}))
            return v.flatten()
        if isinstance(v, dict):
            calls.append((isinstance, (s, S.Dict), {}))
            members = s.spaces if isinstance(s, S.Dict) else {}
            pieces = [walk(members.get(k), v[k]) for k in v]
        else:
            pieces = [walk(ss, m) for m, ss in zip(v, s.spaces)]
        calls.append((np.concatenate, (pieces,), {}))
        return np.concatenate(pieces)

    walk(space, x)

    def run():
        for fn, args, kwargs in calls:
            fn(*args, **kwargs)

    return run


# -- inputs -------------------------------------------------------------------


def observation(leaves, dtypes=(np.float32,), batch=None, nested_every=4, make=np.ones):
    """A dict of `leaves` leaves; every `nested_every`-th entry is a tuple of two leaves."""
    rng = np.random.default_rng(0)
    obs, space, i, k = {}, {}, 0, 0
    while i < leaves:
        dtype = dtypes[k % len(dtypes)]
        width = int(rng.integers(1, 9))
        shape = (width,) if batch is None else (batch, width)
        if nested_every and k % nested_every == nested_every - 1 and i + 2 <= leaves:
            obs[f"t{k}"] = (make(shape, dtype=dtype), make(shape, dtype=dtype))
            space[f"t{k}"] = S.Tuple([S.Box(0, 1, (width,)), S.Box(0, 1, (width,))])
            i += 2
        else:
            obs[f"k{k}"] = make(shape, dtype=dtype)
            space[f"k{k}"] = S.Box(0, 1, (width,))
            i += 1
        k += 1
    return obs, S.Dict(space)


def as_tensors(obj):
    if isinstance(obj, np.ndarray):
        return torch.from_numpy(obj)
    if isinstance(obj, dict):
        return {k: as_tensors(v) for k, v in obj.items()}
    return tuple(as_tensors(v) for v in obj)


def module_copy(module):
    """A copy of a module: the module's global bound to it runs the general path."""
    copy = types.ModuleType(module.__name__ + "_copy")
    copy.__dict__.update(module.__dict__)
    return copy


def with_general(fn):
    np_copy, torch_copy = module_copy(np), module_copy(torch)

    def run():
        saved = su.np, su.torch
        su.np, su.torch = np_copy, torch_copy
        try:
            return fn()
        finally:
            su.np, su.torch = saved

    return run


def both(name, module, python, floor):
    """The case as it runs, and the same with the native paths off."""
    return [Case(name, module=module, python=python, floor=floor),
            Case(name + " [general]", module=with_general(module), python=python, floor=floor)]


def cases():
    out = []
    for leaves, nested in ((8, 4), (32, 0), (32, 4)):
        obs, _ = observation(leaves, nested_every=nested)
        label = f"{leaves} leaves{', some in tuples' if nested else ''}"
        out += both(f"flatten_object_numpy {label}", lambda o=obs: su.flatten_object_numpy(o),
                    lambda o=obs: py_flatten_numpy(o), numpy_floor(obs))
    obs, _ = observation(32, dtypes=(np.float32, np.int64), nested_every=4)
    out += both("flatten_object_numpy 32 mixed dtypes", lambda o=obs: su.flatten_object_numpy(o),
                lambda o=obs: py_flatten_numpy(o), numpy_floor(obs))

    obs, space = observation(16, nested_every=4)
    out += both("_flatten_unknown 16 leaves, some in tuples", lambda: su._flatten_unknown(space, obs),
                lambda: py_flatten_unknown(space, obs), unknown_floor(space, obs))
    # A space that is not a Dict: every member goes with None.
    flat, _ = observation(32, nested_every=0)
    out += both("_flatten_unknown(None, 32 leaves)", lambda: su._flatten_unknown(None, flat),
                lambda: py_flatten_unknown(None, flat), unknown_floor(None, flat))

    for leaves in (8, 32):
        obs, _ = observation(leaves, nested_every=4)
        for kind, o in (("numpy", obs), ("tensor", as_tensors(obs))):
            out += both(f"flatten_object_torch {leaves} {kind} leaves", lambda o=o: su.flatten_object_torch(o),
                        lambda o=o: py_flatten_torch(o), torch_floor(o, batch=False))

    obs, _ = observation(16, batch=BATCH, nested_every=4)
    for kind, o in (("numpy", obs), ("tensor", as_tensors(obs))):
        out += both(f"flatten_object_batch 16 {kind} leaves x{BATCH}", lambda o=o: su.flatten_object_batch(o),
                    lambda o=o: py_flatten_batch(o), torch_floor(o, batch=True))
        out += both(f"flatten_object_numpy 16 {kind} leaves x{BATCH}", lambda o=o: su.flatten_object_numpy(o),
                    lambda o=o: py_flatten_numpy(o), numpy_floor(o))
    return out


if __name__ == "__main__":
    run_cases("Flattening", cases())
