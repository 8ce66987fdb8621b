"""kestrelix_train.rllib imports Ray only when it is itself imported, and
says what is missing when Ray is absent or too old (each case in a fresh
process, with a stand-in for Ray where one is needed)."""
import subprocess
import sys

import pytest

STAND_IN = "import sys, types; sys.modules['ray'] = {ray};"


def _run(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize(
    "ray, message",
    [
        ("None", ["the 'rllib' extra"]),
        ("types.SimpleNamespace(__version__='2.48.1')", ["needs ray 2.49.0 or later", "ray 2.48.1 is installed"]),
    ],
    ids=["no ray", "older ray"],
)
def test_import_without_a_fitting_ray_names_what_to_install(ray, message):
    done = _run(STAND_IN.format(ray=ray) + "import kestrelix_train.rllib")
    assert "ImportError" in done.stderr and all(part in done.stderr for part in message)
    assert "kestrelix-train-space-utils[rllib]" in done.stderr


def test_space_utils_never_imports_it():
    done = _run(
        "import sys; from kestrelix_train.utils import space_utils;"
        "print(sorted(m for m in sys.modules if m.startswith(('kestrelix_train.rllib', 'ray.rllib'))))"
    )
    assert done.stdout.strip() == "[]", done.stderr
