import contextlib
import io
import sys

import pytest

from kestrelix_train.utils import space_utils


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
