"""The reference (docs/reference.md) stays true: its examples run as doctests
against the module, and each of the twenty functions has a section whose
heading is the function's real signature. The examples of the RLlib page
(docs/rllib.md, the recipe included) run apart, where RLlib is installed."""
import doctest
import inspect
import re
from pathlib import Path

import numpy as np
import pytest

from kestrelix_train.utils import space_utils as su

REFERENCE = Path(__file__).resolve().parents[1] / "docs" / "reference.md"
RLLIB_PAGE = REFERENCE.with_name("rllib.md")
HEADING = re.compile(r"^### `(async )?(\w+)\((.*)\)`$", re.M)
FUNCTION_TYPE = type(su.make_np_array)


def _text(path=REFERENCE):
    # code fences become blank lines (same line numbers), so that a fence
    # right after an example's output is not read as part of that output
    return re.sub(r"^```\w*$", "", path.read_text(encoding="utf-8"), flags=re.M)


def _sections():
    """(name, is_async, parameters text, body) for each function heading."""
    text = _text()
    found = list(HEADING.finditer(text))
    ends = [m.start() for m in found[1:]] + [len(text)]
    return [(m.group(2), bool(m.group(1)), m.group(3), text[m.end() : end]) for m, end in zip(found, ends)]


def _section_of(lineno, path=REFERENCE):
    """The heading above a line of the file (0-based line number)."""
    title = "(introduction)"
    for number, line in enumerate(_text(path).splitlines()):
        if number > lineno:
            break
        if line.startswith("#"):
            title = line.lstrip("# ")
    return title


def _run_examples(globs, path=REFERENCE):
    test = doctest.DocTestParser().get_doctest(_text(path), globs, path.name, str(path), 0)
    failures = []

    class Collecting(doctest.DocTestRunner):
        def report_failure(self, out, test, example, got):
            failures.append(
                f"line {example.lineno + 1} ({_section_of(example.lineno, path)}):\n>>> {example.source}"
                f"expected:\n{example.want}got:\n{got}"
            )

        def report_unexpected_exception(self, out, test, example, exc_info):
            failures.append(
                f"line {example.lineno + 1} ({_section_of(example.lineno, path)}):\n>>> {example.source}"
                f"raised {exc_info[0].__name__}: {exc_info[1]}"
            )

    had_print = "print" in vars(su)
    try:
        Collecting(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE).run(test, out=lambda s: None)
    finally:
        if not had_print:
            vars(su).pop("print", None)
    assert not failures, "\n\n".join(failures)
    return len(test.examples)


def test_examples_run_as_shown():
    # The examples build on each other (a space defined in one section is
    # used in the next), so the file runs as one doctest, in order; every
    # failure is reported with its line and section.
    assert _run_examples({}) > 60


def test_rllib_examples_run_as_shown():
    pytest.importorskip("ray.rllib.core.distribution.torch.torch_distribution")
    assert _run_examples({}, RLLIB_PAGE) > 20


def _shown(parameter):
    if parameter.default is parameter.empty:
        return parameter.name
    default = parameter.default
    shown = f"np.{default.__name__}" if getattr(np, getattr(default, "__name__", ""), None) is default else repr(default)
    return f"{parameter.name}={shown}"


def test_every_function_has_a_section_headed_by_its_signature():
    sections = _sections()
    functions = sorted(name for name, value in vars(su).items() if isinstance(value, FUNCTION_TYPE))
    assert len(functions) == 20
    assert sorted(name for name, *_ in sections) == functions
    for name, is_async, parameters, _ in sections:
        function = getattr(su, name)
        expected = ", ".join(_shown(p) for p in inspect.signature(function).parameters.values())
        assert (is_async, parameters) == (inspect.iscoroutinefunction(function), expected), name


def test_every_section_says_what_it_accepts_returns_and_raises_with_an_example():
    for name, _, _, body in _sections():
        missing = [part for part in ("**Accepts**", "**Returns**", "**Raises**", ">>> ") if part not in body]
        assert not missing, f"{name}: no {', '.join(missing)}"
