"""The module's coroutine objects against the coroutine protocol."""
import asyncio
import collections.abc
import gc
import types
import warnings
import weakref

import numpy as np
import pytest

from kestrelix_core import spaces as S
from kestrelix_train.utils import space_utils as su

SPEC = S.SimSensorSpace({"a": S.Discrete(2)})
TOKEN = object()  # what the awaited object yields to the event loop


class Delegate:
    """An awaitable whose iterator yields TOKEN once, records what it is sent,
    thrown and whether it was closed, and returns what it was sent."""

    def __init__(self, catch=()):
        self.catch, self.log = catch, []

    def __await__(self):
        try:
            sent = yield TOKEN
            self.log.append(("sent", sent))
            return sent
        except self.catch as e:
            self.log.append(("caught", e))
            return {"recovered": 1}
        except GeneratorExit:
            self.log.append("closed")
            raise


class Perceptor:
    def __init__(self, make):
        self.make = make

    def get_name(self):
        return "p"

    def perceive(self, space, sample):
        return self.make()


def coro_with(awaitable_factory):
    return su._get_perceptor_space([Perceptor(awaitable_factory)], SPEC)


def test_presents_itself_as_a_coroutine():
    c = coro_with(Delegate)
    assert isinstance(c, collections.abc.Coroutine) and asyncio.iscoroutine(c)
    assert not hasattr(c, "__next__")
    assert c.cr_code is su._get_perceptor_space.__code__
    assert (c.__name__, c.__qualname__) == ("_get_perceptor_space", "_get_perceptor_space")
    assert (c.cr_running, c.cr_suspended, c.cr_await, c.cr_frame) == (False, False, None, None)
    w = c.__await__()
    assert iter(w) is w and callable(w.send) and callable(w.throw) and callable(w.close)
    c.close()


def test_send_passes_values_through_the_delegate():
    d = Delegate()
    c = coro_with(lambda: d)
    assert c.send(None) is TOKEN
    assert c.cr_suspended and c.cr_await is not None
    with pytest.raises(StopIteration) as e:
        c.send({"k": 1})
    assert d.log == [("sent", {"k": 1})]
    assert list(e.value.value) == ["k"] and c.cr_await is None
    for again in (lambda: c.send(None), lambda: c.throw(ValueError)):
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            again()
    c.close()


@pytest.mark.filterwarnings("ignore:the \\(type, exc, tb\\) signature:DeprecationWarning")
@pytest.mark.parametrize("args", [(KeyError("x"),), (KeyError, KeyError("x")), (KeyError, "x", None)])
def test_throw_reaches_the_awaited_object_first(args):
    d = Delegate(catch=KeyError)
    c = coro_with(lambda: d)
    c.send(None)
    with pytest.raises(StopIteration) as e:
        c.throw(*args)
    assert d.log[0][0] == "caught" and list(e.value.value) == ["recovered"]


def test_three_argument_throw_warns_as_a_python_coroutine_does():
    async def ref(awaitable):
        return await awaitable

    seen = []
    for make in (ref, lambda d: coro_with(lambda: d)):
        d = Delegate(catch=KeyError)
        c = make(d)
        wrapper_doc = type(c.__await__()).throw.__doc__
        c.send(None)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(StopIteration):
                c.throw(KeyError, KeyError("x"), None)
        warned = [(w.category, str(w.message)) for w in caught]
        cls = type(c)
        seen.append((warned, [e[0] for e in d.log], cls.throw.__doc__, wrapper_doc, hasattr(cls, "__class_getitem__")))
    assert seen[0] == seen[1]


def test_throw_not_handled_ends_the_coroutine():
    d = Delegate()
    c = coro_with(lambda: d)
    c.send(None)
    err = ValueError("boom")
    with pytest.raises(ValueError) as e:
        c.throw(err)
    assert e.value is err and c.cr_await is None and not c.cr_suspended
    fresh = coro_with(Delegate)
    with pytest.raises(TypeError, match="exceptions must be classes or instances"):
        fresh.throw(1)
    assert fresh.close() is None


@pytest.mark.parametrize("op, exc", [(lambda c: c.throw(KeyError), KeyError), (lambda c: c.send(1), TypeError)])
def test_a_fresh_coroutine_refusing_to_start_never_runs(op, exc):
    calls = []
    c = coro_with(lambda: calls.append(1))
    with pytest.raises(exc):
        op(c)
    c.close()
    assert calls == []


def test_close_closes_the_awaited_object():
    d = Delegate()
    c = coro_with(lambda: d)
    c.send(None)
    assert c.close() is None and d.log == ["closed"]
    assert c.close() is None
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fresh = coro_with(Delegate)
        fresh.close()
        del fresh
        gc.collect()


def test_wrapper_iterator_drives_the_coroutine():
    d = Delegate()
    w = coro_with(lambda: d).__await__()
    assert next(w) is TOKEN
    with pytest.raises(StopIteration) as e:
        w.send({"z": 2})
    assert list(e.value.value) == ["z"]


def test_never_awaited_warning():
    c = coro_with(Delegate)
    with pytest.warns(RuntimeWarning, match="coroutine '_get_perceptor_space' was never awaited"):
        del c
        gc.collect()


def test_already_executing():
    holder = []

    def reenter():
        holder[0].send(None)

    c = coro_with(reenter)
    holder.append(c)
    with pytest.raises(ValueError, match="coroutine already executing"):
        c.send(None)
    holder.clear()


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: 5, "object int can't be used in 'await' expression"),
        (lambda: type("A", (), {"__await__": lambda self: 3})(), "__await__.. returned non-iterator"),
    ],
)
def test_not_awaitable(make, message):
    with pytest.raises(TypeError, match=message):
        coro_with(make).send(None)


@types.coroutine
def _gen_based():
    yield
    return {"g": 1}


async def _native():
    await asyncio.sleep(0)
    return {"n": 1}


class AwaitMethod:
    def __await__(self):
        yield None
        return {"w": 1}


def _future():
    fut = asyncio.get_running_loop().create_future()
    asyncio.get_running_loop().call_soon(fut.set_result, {"f": 1})
    return fut


# each awaitable with the perceptor output it returns
AWAITABLES = {
    "native": (_native, ["n"]),
    "generator-based": (_gen_based, ["g"]),
    "future": (_future, ["f"]),
    "await-method": (lambda: AwaitMethod(), ["w"]),
    "module-coroutine": (lambda: su._get_perceptor_space([], SPEC), []),
}


@pytest.mark.parametrize("kind", AWAITABLES)
@pytest.mark.parametrize("python_task", [False, True])
def test_every_kind_of_awaitable_under_asyncio(kind, python_task):
    make, keys = AWAITABLES[kind]

    async def main():
        if python_task:
            asyncio.get_running_loop().set_task_factory(lambda loop, c: asyncio.tasks._PyTask(c, loop=loop))
        return await asyncio.create_task(coro_with(make))

    space = asyncio.run(main())
    assert list(space) == keys
    assert all(space[k] == S.Box(-np.inf, np.inf, (1,), np.float32) for k in keys)


def test_awaiting_twice_is_refused():
    async def main():
        c = coro_with(_native)
        await c
        await c

    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        asyncio.run(main())


@pytest.mark.parametrize("outer", ["_get_perceptor_space", "get_kestrelix_space_info"])
def test_cancel_while_suspended_closes_the_perceptor(outer):
    log = []

    async def slow():
        try:
            for _ in range(100):
                await asyncio.sleep(0)
        finally:
            log.append("perceptor left")
        return {}

    async def main():
        if outer == "get_kestrelix_space_info":  # awaits the module's own coroutine
            coro = su.get_kestrelix_space_info(SPEC, [], [Perceptor(slow)], [])
        else:
            coro = coro_with(slow)
        task = asyncio.create_task(coro)
        for _ in range(3):
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert log == ["perceptor left"]


def test_stop_iteration_from_a_collaborator_becomes_runtime_error():
    def raises():
        raise StopIteration(3)

    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as e:
        coro_with(raises).send(None)
    assert isinstance(e.value.__cause__, StopIteration)


@pytest.mark.parametrize("result", [(1, 2), ValueError("as a value")])
def test_tuple_or_exception_results_are_wrapped(result):
    class TupleSpace:
        def convert_to_kestrelix_space(self, sensors):
            return result

    from kestrelix_core.agent.sensor import Sensor

    c = su.get_kestrelix_space_info(TupleSpace(), [Sensor("a")], [], [])
    with pytest.raises(StopIteration) as e:
        c.send(None)
    assert e.value.value is result


@pytest.mark.parametrize("through", ["perceptor", "awaited object"])
def test_suspended_coroutine_in_a_cycle_is_collected(through):
    d = Delegate()
    perceptor = Perceptor(lambda: d)
    c = su._get_perceptor_space([perceptor], SPEC)
    (perceptor if through == "perceptor" else d).cycle = c
    c.send(None)
    ref, log = weakref.ref(c), d.log
    del c, d, perceptor
    gc.collect()
    assert ref() is None and log == ["closed"]


def test_deep_self_await_raises_recursion_error():
    class Recursive:
        def get_name(self):
            return "r"

        def perceive(self, space, sample):
            return su._get_perceptor_space([self], space)

    with pytest.raises(RecursionError):
        su._get_perceptor_space([Recursive()], SPEC).send(None)


class Reentrant:
    """An awaited iterator whose `throw` look-up runs `on_lookup(coroutine)`
    first, as a property may; its `throw` then does `outcome`."""

    def __init__(self, on_lookup, outcome):
        self.on_lookup, self.outcome, self.coro, self.log = on_lookup, outcome, None, []

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return TOKEN

    def send(self, value):
        return TOKEN

    def close(self):
        self.log.append("closed")

    @property
    def throw(self):
        self.on_lookup(self.coro)
        return self._throw

    def _throw(self, exc):
        self.log.append("thrown")
        if self.outcome == "yield":
            return "yielded"
        if self.outcome == "return":
            raise StopIteration({"returned": 1})
        raise exc


async def _awaiting(awaitable):
    return await awaitable


@pytest.mark.parametrize("outcome", ["yield", "return", "raise"])
@pytest.mark.parametrize("kind", ["module", "async def"])
def test_throw_whose_lookup_closes_the_coroutine(kind, outcome):
    if kind == "async def" and outcome != "yield":
        pytest.skip("the interpreter's own coroutine crashes in this case")
    d = Reentrant(lambda c: c.close(), outcome)
    d.coro = coro_with(lambda: d) if kind == "module" else _awaiting(d)
    assert d.coro.send(None) is TOKEN
    if outcome == "yield":
        assert d.coro.throw(KeyError("x")) == "yielded"
    else:
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            d.coro.throw(KeyError("x"))
    assert d.log == ["closed", "thrown"]
    assert (d.coro.cr_running, d.coro.cr_suspended, d.coro.cr_await) == (False, False, None)
    for again in (lambda: d.coro.send(None), lambda: d.coro.throw(KeyError)):
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            again()
    assert d.coro.close() is None


class FinishesWhenResumed(Reentrant):
    started = False

    def __next__(self):
        if self.started:
            raise StopIteration({})
        self.started = True
        return TOKEN


def test_throw_whose_lookup_moves_the_coroutine_on_reaches_its_next_await():
    first = FinishesWhenResumed(lambda c: c.send(None), "raise")
    second = Delegate(catch=KeyError)
    first.coro = c = su._get_perceptor_space([Perceptor(lambda: first), Perceptor(lambda: second)], SPEC)
    assert c.send(None) is TOKEN
    # The look-up sends the coroutine on: the first perceptor's output is {}
    # and the second one is awaited, so the exception goes to the second.
    with pytest.raises(StopIteration) as e:
        c.throw(KeyError("x"))
    assert first.log == ["thrown"] and second.log[0][0] == "caught"
    assert list(e.value.value) == ["recovered"]


@pytest.mark.parametrize("second_awaiter", ["await", "__await__"])
def test_a_suspended_coroutine_has_one_awaiter(second_awaiter):
    d = Delegate()
    c = coro_with(lambda: d)
    first = c.__await__()
    assert next(first) is TOKEN

    async def await_again():
        return await c

    with pytest.raises(RuntimeError, match="coroutine is being awaited already"):
        if second_awaiter == "await":
            await_again().send(None)
        else:
            c.__await__()
    assert d.log == []  # the delegate was not touched by the refused awaiter
    with pytest.raises(StopIteration):
        first.send({"k": 1})


def test_collection_while_the_body_runs_leaves_it_whole():
    # Whoever runs a coroutine holds it, so the collector never finds a
    # running coroutine unreachable; a collection that runs while its body
    # runs, with every other reference to it gone, changes nothing.
    refs = {}

    async def perceive():
        ref = weakref.ref(refs.pop("coro"))
        gc.collect()
        assert ref() is not None
        return {"x": 1.0}

    refs["coro"] = coro_with(perceive)
    w = refs["coro"].__await__()
    with pytest.raises(StopIteration) as e:
        next(w)
    assert list(e.value.value) == ["x"]
