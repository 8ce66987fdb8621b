"""Enriched space info, simulator sensor mapping, and filtering."""
import asyncio
import contextlib
import gc
import io
from collections import OrderedDict

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestrelix_core import spaces as S
from kestrelix_core.agent.sensor import Sensor
from kestrelix_train.utils import space_utils as su


def _by_hand(coro):
    """Drives a coroutine with send(None) only, as a minimal event loop."""
    while True:
        try:
            coro.send(None)
        except StopIteration as e:
            return e.value


async def _in_task(coro):
    return await asyncio.create_task(coro)


DRIVERS = {
    "asyncio.run": asyncio.run,
    "create_task": lambda coro: asyncio.run(_in_task(coro)),
    "by hand": _by_hand,
}


@pytest.fixture(params=DRIVERS)
def run(request):
    return DRIVERS[request.param]


class Log(list):
    def sensor(self, name, fn=None):
        log = self

        class Rec(Sensor):
            def has_lambda(self):
                log.append(("has_lambda", self.name))
                return super().has_lambda()

            def sense(self, obs):
                log.append(("sense", self.name, obs))
                return super().sense(obs)

        return Rec(name, fn)


class RecordingSpace(S.SimSensorSpace):
    def __init__(self, spaces, log):
        super().__init__(spaces)
        self.log = log

    def sample(self):
        self.log.append("sample")
        return {k: np.zeros(2) for k in self.spaces}

    def convert_to_kestrelix_space(self, sensors):
        self.log.append("convert")
        return super().convert_to_kestrelix_space(sensors)

    def get_sample_as_kestrelix_sensors(self, sim_sensors, sensors):
        self.log.append(("extract", type(sim_sensors), list(sim_sensors)))
        return super().get_sample_as_kestrelix_sensors(sim_sensors, sensors)


class Perceptor:
    """Suspends `sleeps` times, then returns `out` (or out(sensors))."""

    def __init__(self, name, out, log=None, sleeps=2):
        self.name, self.out, self.log, self.sleeps = name, out, log if log is not None else [], sleeps

    def get_name(self):
        return self.name

    async def perceive(self, space, sensors):
        self.log.append(("perceive", self.name, sorted(sensors)))
        for _ in range(self.sleeps):
            await asyncio.sleep(0)
        return self.out(sensors) if callable(self.out) else self.out


class Skill:
    def __init__(self, name, value, log=None):
        self.name, self.value, self.log = name, value, log if log is not None else []

    def get_skill_name(self):
        self.log.append(("name", self.name))
        return self.name

    def get_action_space(self):
        self.log.append(("action_space", self.name))
        return S.Discrete(3)

    async def _execute(self, sensors):
        self.log.append(("execute", self.name, sorted(sensors)))
        await asyncio.sleep(0)
        return self.value


def _spec(log, *names):
    return RecordingSpace({n: S.Box(-1, 1, (2,)) for n in names}, log)


# ----- get_kestrelix_space_info ---------------------------------------------


def test_space_info_order_of_entries_and_calls(run):
    log = Log()
    sensors = [log.sensor("u"), log.sensor("m", lambda o: 3.0), log.sensor("v", lambda o: np.zeros(4))]
    space = run(su.get_kestrelix_space_info(
        _spec(log, "u"), sensors, [Perceptor("p", {"k": 1, "l": np.zeros(5)}, log)],
        [Skill("s", None, log)]))
    assert list(space.spaces) == ["u", "m", "v", "k", "l", "s"]
    assert [space[k].shape for k in ("m", "v", "k", "l")] == [(1,), (4,), (1,), (5,)]
    calls = [e[:2] if e[0] == "sense" else e for e in log]
    lambdas = [("has_lambda", n) for n in "umv"]
    assert calls == lambdas + ["convert"] + lambdas + [
        "sample", ("sense", "m"), "sample", ("sense", "v"),
        "sample", ("perceive", "p", ["u"]), ("action_space", "s"), ("name", "s")]


def test_space_info_without_anything_is_an_empty_dict_space(run):
    log = Log()
    space = run(su.get_kestrelix_space_info(_spec(log), [], [], []))
    assert type(space) is S.Dict and len(space.spaces) == 0 and log == []


def test_space_info_only_unmapped_returns_the_converted_space(run):
    marker = S.Dict({})
    spec = _spec(Log(), "u")
    spec.convert_to_kestrelix_space = lambda sensors: marker
    assert run(su.get_kestrelix_space_info(spec, [Sensor("u")], [], [])) is marker


@pytest.mark.parametrize(
    "sensors, perceptors, message",
    [
        ([Sensor("m", len), Sensor("m", len)], [], "Sensor m already exists in the kestrelix_space dictionary!"),
        ([Sensor("m", len)], [Perceptor("p", {"m": 1})], "Perceptor m already exists in the kestrelix_space dictionary!"),
        ([], [Perceptor("p", {"k": 1}), Perceptor("q", {"k": 2})],
         "Perceptor q has a key k that already exists in the sensor space dictionary! {'k': Box(-inf, inf, (1,), float32)}"),
    ],
)
def test_space_info_duplicate_keys(run, sensors, perceptors, message):
    with pytest.raises(Exception) as e:
        run(su.get_kestrelix_space_info(_spec(Log()), sensors, perceptors, []))
    assert type(e.value) is Exception and e.value.args == (message,)


def test_space_info_skill_name_replaces_a_sensor_space(run):
    space = run(su.get_kestrelix_space_info(_spec(Log(), "u"), [Sensor("u")], [], [Skill("u", None)]))
    assert space["u"] == S.Discrete(3)


def test_space_info_awaits_the_module_global(monkeypatch, run):
    async def replacement(perceptors, spec):
        return {"from_global": S.Discrete(2)}

    monkeypatch.setattr(su, "_get_perceptor_space", replacement)
    assert list(run(su.get_kestrelix_space_info(_spec(Log()), [], [], [])).spaces) == ["from_global"]


def test_perceptor_space_without_perceptors_takes_no_sample(run):
    log = Log()
    assert run(su._get_perceptor_space([], _spec(log, "a"))) == {} and log == []


def test_perceptor_output_none_is_an_attribute_error(run):
    with pytest.raises(AttributeError, match="items"):
        run(su._get_perceptor_space([Perceptor("p", None)], _spec(Log())))


# ----- convert_sim_sensors_to_kestrelix_sensors -----------------------------


def _mapping_args(log):
    sensors = [log.sensor("u"), log.sensor("m", lambda o: 3)]
    perceptors = [Perceptor("p", lambda s: {"k": 2}, log), Perceptor("q", lambda s: {"j": np.arange(2)}, log)]
    skills = [Skill("s1", "v1", log), Skill("s2", ("v", 2), log)]
    return sensors, perceptors, skills


def test_mapping_order_and_values(run):
    log = Log()
    sensors, perceptors, skills = _mapping_args(log)
    sim = OrderedDict(u=np.ones(2, dtype=np.int64), other=5)
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        out = run(su.convert_sim_sensors_to_kestrelix_sensors(sim, _spec(log, "u"), sensors, perceptors,
                                                                iter(skills)))
    assert type(out) is dict and list(out) == ["u", "m", "k", "j", "s1", "s2"]
    assert all(out[k].dtype == np.float32 for k in "umkj") and out["m"].tolist() == [3.0]
    assert out["s1"] == "v1" and out["s2"] == ("v", 2)
    assert type(sim) is OrderedDict and list(sim) == ["u", "other"]
    plain = {"u": sim["u"], "other": 5}
    assert log[4:] == [
        ("extract", dict, ["u", "other"]), ("sense", "m", plain),
        ("perceive", "p", ["m", "u"]), ("perceive", "q", ["k", "m", "u"]),
        ("execute", "s1", ["j", "k", "m", "u"]), ("name", "s1"),
        ("execute", "s2", ["j", "k", "m", "s1", "u"]), ("name", "s2")]
    assert buf.getvalue().splitlines()[0].startswith("x=== {'u': array([1, 1])")
    assert len(buf.getvalue().splitlines()) == 5


def test_mapping_with_nothing_is_a_new_empty_dict(run, capsys):
    log = Log()
    assert run(su.convert_sim_sensors_to_kestrelix_sensors({}, _spec(log), [], [], [])) == {}
    assert log == [] and capsys.readouterr().out == "x=== {} <class 'dict'>\n"


def test_mapping_duplicate_perceptor_key(run):
    with pytest.raises(Exception) as e:
        run(su.convert_sim_sensors_to_kestrelix_sensors(
            {"u": 1}, _spec(Log(), "u"), [Sensor("u")], [Perceptor("p", {"u": 0})], []))
    assert type(e.value) is Exception
    assert e.value.args == ("Perceptor p has a key u that already exists in the sensor space dictionary!",)


@pytest.mark.parametrize("where", ["sense", "perceive", "execute", "make_np_array"])
def test_mapping_errors_pass_through_unchanged(run, monkeypatch, where):
    err = LookupError(where)

    def fail(*a, **k):
        raise err

    async def afail(*a, **k):
        await asyncio.sleep(0)
        raise err

    sensors = [Sensor("m", fail if where == "sense" else len)]
    perceptors = [Perceptor("p", {})]
    skills = [Skill("s", 1)]
    if where == "perceive":
        perceptors[0].perceive = afail
    if where == "execute":
        skills[0]._execute = afail
    if where == "make_np_array":
        monkeypatch.setattr(su, "make_np_array", fail)
    with pytest.raises(LookupError) as e:
        run(su.convert_sim_sensors_to_kestrelix_sensors({}, _spec(Log()), sensors, perceptors, skills))
    assert e.value is err


def test_throw_while_a_perceptor_is_suspended_reaches_it():
    seen = []

    class Catching(Perceptor):
        async def perceive(self, space, sensors):
            try:
                await asyncio.sleep(0)
            except KeyError as e:
                seen.append(e)
            return {"after": 1}

    c = su.convert_sim_sensors_to_kestrelix_sensors({}, _spec(Log()), [], [Catching("c", None)], [])
    c.send(None)
    with contextlib.redirect_stdout(io.StringIO()), pytest.raises(StopIteration) as e:
        c.throw(KeyError("in"))
    assert [str(x) for x in seen] == ["'in'"] and list(e.value.value) == ["after"]


def test_abandoned_suspended_mappings_are_collected():
    import weakref

    perceptor = Perceptor("p", {}, sleeps=5)
    refs = []
    for _ in range(20):
        c = su.convert_sim_sensors_to_kestrelix_sensors({}, _spec(Log()), [], [perceptor], [])
        c.send(None)
        refs.append(weakref.ref(c))
        del c
    gc.collect()
    assert all(r() is None for r in refs)


# ----- filter_space / filter_sample -----------------------------------------


@pytest.mark.parametrize("keys, expected", [([], []), (["b", "a"], ["a", "b"]), (["a", "a", "zz"], ["a"])])
def test_filtering_keeps_the_input_order(keys, expected):
    subs = {k: S.Discrete(i + 2) for i, k in enumerate("abc")}
    space = su.filter_space(S.Dict(subs), keys)
    assert type(space) is S.Dict and list(space.spaces) == expected
    assert all(space.spaces[k] is subs[k] for k in expected)
    sample = {k: [k] for k in "abc"}
    out = su.filter_sample(sample, keys)
    assert list(out) == expected and all(out[k] is sample[k] for k in expected)


@pytest.mark.parametrize("space, exc", [(object(), AttributeError), (type("N", (), {"spaces": None})(), AttributeError)])
def test_filter_space_errors(space, exc):
    with pytest.raises(exc):
        su.filter_space(space, ["a"])


class Key(str):
    """A str whose comparisons are logged; comparing a "!" key drops the last
    member of the keys list, comparing a "?" key raises."""

    log: list = []
    keys: list = []
    armed = False  # only while the filter runs

    def __eq__(self, other):
        if not Key.armed:
            return str.__eq__(self, other)
        Key.log.append((str(self), str(other)))
        if self.endswith("!") and Key.keys:
            Key.keys.pop()
        if self.endswith("?"):
            raise LookupError(f"no comparing {str(self)!r}")
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def _key(kind, text):
    return {"str": lambda t: t, "copy": lambda t: "".join(list(t)), "key": Key, "int": len}[kind](text)


_keys = st.tuples(st.sampled_from(["str", "str", "copy", "key", "int"]),
                  st.sampled_from(["", "a", "b", "ab", "!", "a!", "?", "\u00e9", "\U0001f600"])).map(
                      lambda kt: _key(*kt))


def _filtered(fn, sample, keys):
    """Everything a filter_sample call shows: result, comparisons, the keys list afterwards, or the error."""
    Key.log, Key.keys, Key.armed = [], list(keys), True
    try:
        out = fn(sample, Key.keys)
        got = [(type(k), k, id(v)) for k, v in out.items()]
    except LookupError as e:
        got = ("raised", str(e))
    finally:
        Key.armed = False
    return got, Key.log, [(type(k), k) for k in Key.keys]


@settings(max_examples=400, deadline=None)
@given(st.lists(_keys, max_size=8), st.lists(_keys, max_size=8))
def test_filter_sample_matches_the_list_membership_test(sample_keys, keys):
    sample = {k: object() for k in sample_keys}
    assert _filtered(su.filter_sample, sample, keys) == _filtered(
        lambda s, ks: {k: v for k, v in s.items() if k in ks}, sample, keys)
