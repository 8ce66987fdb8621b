"""Where NestedDict comes from: RLlib's class where Ray has it, else the
module's stand-in, bound without importing Ray where the installed files
show for certain that it has no such module. Each case needs a fresh
interpreter, with a `ray` laid out in a folder ahead of the installed one."""

import importlib.util
import json
import os
import subprocess
import sys
import textwrap
import zipfile

import pytest

from conftest import NestedDict

PACKAGES = {"ray/__init__.py": "", "ray/rllib/__init__.py": "", "ray/rllib/utils/__init__.py": ""}
CLASS = "class NestedDict(dict):\n    pass\n"
STAND_IN = "kestrelix_train.utils.space_utils"
RLLIB = "ray.rllib.utils.nested_dict"

# A finder ahead of the others that has the module where no file is.
FINDER = """
import importlib.abc, importlib.util, sys
class Loader(importlib.abc.Loader):
    def create_module(self, spec):
        return None
    def exec_module(self, module):
        exec(CLASS, vars(module))
class Finder:
    def find_spec(self, name, path=None, target=None):
        return importlib.util.spec_from_loader(name, Loader()) if name == RLLIB else None
sys.meta_path.insert(0, Finder())
"""


def run(tmp_path, files, before="", zipped=False):
    root = tmp_path / "site"
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    entry = str(root)
    if zipped:
        entry = str(tmp_path / "site.zip")
        with zipfile.ZipFile(entry, "w") as z:
            for name, text in files.items():
                z.writestr(name, text)
    code = f"CLASS, RLLIB = {CLASS!r}, {RLLIB!r}\n" + textwrap.dedent(before) + textwrap.dedent(
        """
        import json, sys
        try:
            from kestrelix_train.utils import space_utils as su
            got = su.NestedDict.__module__
            su.mask_all_zero(__import__("numpy").zeros(2))  # the first fast call looks again
        except Exception as e:
            got = f"{type(e).__name__}: {e}"
        print(json.dumps([got, "ray" in sys.modules, "ray.rllib" in sys.modules]))
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([entry] + [p for p in sys.path if p]))
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-4000:]
    return json.loads(proc.stdout)


@pytest.mark.skipif(
    importlib.util.find_spec("ray") is None or NestedDict is not None,
    reason="needs a Ray without RLlib's NestedDict",
)
def test_installed_ray_without_the_module_is_not_imported(tmp_path):
    assert run(tmp_path, {}) == [STAND_IN, False, False]


NOT_RUN = {**PACKAGES, "ray/__init__.py": "raise RuntimeError('ray was imported')"}


@pytest.mark.parametrize(
    "files, before, zipped, expected",
    [
        # known absent: nothing of ray runs
        (NOT_RUN, "", False, [STAND_IN, False, False]),
        (PACKAGES, "import ray", False, [STAND_IN, True, False]),
        # there: imported as written
        ({**PACKAGES, "ray/rllib/utils/nested_dict.py": CLASS}, "", False, [RLLIB, True, True]),
        ({**PACKAGES, "ray/rllib/utils/nested_dict/__init__.py": CLASS}, "", False, [RLLIB, True, True]),
        (PACKAGES, FINDER, False, [RLLIB, True, True]),
        # not known: imported, and its outcome decides
        ({k: v for k, v in PACKAGES.items() if k != "ray/rllib/__init__.py"}, "", False, [STAND_IN, True, True]),
        (PACKAGES, "", True, [STAND_IN, True, True]),
        (PACKAGES, "import ray.rllib", False, [STAND_IN, True, True]),
        # any other error passes through
        (
            {**PACKAGES, "ray/rllib/utils/nested_dict.py": "raise ValueError('broken')"},
            "",
            False,
            ["ValueError: broken", True, True],
        ),
    ],
    ids=["absent", "ray-imported", "module", "package", "finder", "namespace", "zip", "rllib-imported", "error"],
)
def test_where_nested_dict_comes_from(tmp_path, files, before, zipped, expected):
    assert run(tmp_path, files, before, zipped) == expected
