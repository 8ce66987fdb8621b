import contextlib
import io
import sys

import pytest

from kestrelix_train.utils import space_utils

# RLlib's NestedDict, where the installed Ray has it (None otherwise: the
# module then binds a stand-in that has no instances).
try:
    from ray.rllib.utils.nested_dict import NestedDict
except ModuleNotFoundError:
    NestedDict = None

needs_nested_dict = pytest.mark.skipif(
    NestedDict is None, reason="RLlib's NestedDict is not available (no Ray, or a Ray without it)"
)


@pytest.fixture
def su():
    return space_utils


@pytest.fixture
def trace_lines():
    """Collects what the module prints (make_np_array's trace lines)."""

    @contextlib.contextmanager
    def capture():
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            lines: list[str] = []
            yield lines
        lines.extend(buf.getvalue().splitlines())

    return capture
