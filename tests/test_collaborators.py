"""The one-time set-up of numpy's C API and the collaborators' own objects,
under interruptions and threads; each case needs a fresh interpreter."""

import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent(
    """
    import builtins, sys, threading
    import numpy as np, torch
    import importlib
    import collections, kestrelix_core.spaces as ks
    from kestrelix_train.utils import space_utils as su

    CORE = "numpy._core" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core"
    core = lambda name: importlib.import_module(CORE + "." + name)
    RECORDED = [core("multiarray").concatenate, core("fromnumeric").any, core("fromnumeric").prod,
                torch.cat, torch.from_numpy, torch.empty, torch.float32, su.NestedDict,
                collections.OrderedDict, ks.Dict, ks.Tuple]
    counts = lambda: [sys.getrefcount(o) for o in RECORDED]
    # what each recorded object gains when the set-up keeps it: nothing for an
    # object that is immortal (from 3.12 on, the interpreter's own types)
    KEPT = [0 if sys.getrefcount(o) >= 1 << 30 else 1 for o in RECORDED]
    real_import = builtins.__import__
    API = CORE + "._multiarray_umath"  # the module numpy's C API comes from
    set_up_imports = []

    def hooked(on_api):
        def __import__(name, *args, **kwargs):
            if name == API:
                set_up_imports.append(threading.current_thread().name)
                on_api()
            return real_import(name, *args, **kwargs)
        return __import__
    """
)


def run_fresh(body):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-4000:]
    return proc.stdout


@pytest.mark.parametrize(
    "call",
    [
        "su.mask_all_zero(np.zeros(3))",
        "su.flatten_object_numpy({'a': np.zeros(2), 'b': np.ones(1)})",
        "su.flatten_object_torch([np.zeros(2), np.ones(1)])",
        "su.compute_selector_action_mask(None, SELECTOR)",
    ],
)
def test_an_interrupt_during_set_up_is_passed_on_and_the_set_up_retried(call):
    run_fresh(
        f"""
        from kestrelix_core.agent.skill.skill_selector import SkillSelector
        SELECTOR = SkillSelector(["a", "b"], fixed_order=True, repeat=True)
        before = counts()

        def interrupt():
            builtins.__import__ = real_import
            raise KeyboardInterrupt

        builtins.__import__ = hooked(interrupt)
        try:
            {call}
        except KeyboardInterrupt:
            pass
        else:
            raise AssertionError("the interrupt was swallowed")
        assert counts() == before, (counts(), before)  # nothing kept of the failed set-up
        builtins.__import__ = hooked(lambda: None)
        expected = repr({call})
        tried = len(set_up_imports)
        assert tried > 1  # tried again
        for _ in range(3):
            assert repr({call}) == expected
        assert len(set_up_imports) == tried  # and then done for good
        assert [a - b for a, b in zip(counts(), before)] == KEPT
        """
    )


def test_two_threads_setting_up_together_keep_one_reference_each():
    out = run_fresh(
        """
        other_done = threading.Event()
        before = counts()

        def first_waits_for_the_other():
            if threading.current_thread().name == "first":
                assert other_done.wait(120)

        builtins.__import__ = hooked(first_waits_for_the_other)
        results = {}

        def first():
            results["first"] = su.combine_masks(np.ones(3, np.int8), np.array([1, 0, 1], np.int8))

        def other():
            while not set_up_imports:  # until the first thread is inside the set-up
                threading.Event().wait(0.001)
            results["other"] = su.flatten_object_torch({"a": np.arange(3.0), "b": [np.ones(2)]})
            other_done.set()

        threads = [threading.Thread(target=first, name="first"), threading.Thread(target=other, name="other")]
        for t in threads:
            t.start()
        for t in threads:
            t.join(300)
        builtins.__import__ = real_import
        assert set_up_imports[0] == "first" and "other" in set_up_imports
        assert results["first"].tolist() == [1, 0, 1]
        assert results["other"].tolist() == [0.0, 1.0, 2.0, 1.0, 1.0]
        # What the slower thread loaded was released: one kept reference each.
        assert [a - b for a, b in zip(counts(), before)] == KEPT, (counts(), before)
        print("ok")
        """
    )
    assert out.strip() == "ok"


def test_collaborators_that_cannot_be_had_leave_the_general_paths():
    run_fresh(
        """
        def missing():
            raise ImportError("no C API here")

        builtins.__import__ = hooked(missing)
        assert su.mask_all_zero(np.zeros(3)) is True
        assert su.flatten_object_numpy({"a": np.zeros(2), "b": [np.ones(1)]}).tolist() == [0.0, 0.0, 1.0]
        assert su.combine_masks(np.ones(2, np.int8), np.zeros(2, bool)).tolist() == [0, 0]
        assert len(set_up_imports) == 1  # not tried again
        """
    )


def test_an_interrupt_while_asking_torch_for_its_modes_is_passed_on():
    run_fresh(
        """
        import torch._C
        real = torch._C._is_torch_function_mode_enabled

        asked = []

        def interrupted():  # (the set-up records this one)
            asked.append(1)
            if len(asked) == 1:
                raise KeyboardInterrupt
            return real()

        torch._C._is_torch_function_mode_enabled = interrupted
        value = {"a": np.ones(2), "b": np.zeros(1)}
        try:
            su.flatten_object_torch(value)
        except KeyboardInterrupt:
            pass
        else:
            raise AssertionError("the interrupt was swallowed")
        assert su.flatten_object_torch(value).tolist() == [1.0, 1.0, 0.0]
        """
    )
