"""The example agent trained end to end through the module, and the module's
type stubs checked against the module and with mypy."""
import ast
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from kestrelix_train.utils import space_utils as su

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
STUB = ROOT / "src" / "kestrelix_train" / "utils" / "space_utils.pyi"
sys.path.insert(0, str(EXAMPLES))

import train_drone  # noqa: E402

# Every function that one step of the example takes on its way from the
# simulator to the policy and back (unsquash_action through the batch form).
ROAD = [
    "get_kestrelix_space_info",
    "filter_space",
    "convert_sim_sensors_to_kestrelix_sensors",
    "make_np_array",
    "filter_sample",
    "flatten_object_batch",
    "unpack_logits",
    "compute_selector_action_mask",
    "combine_masks",
    "mask_all_zero",
    "apply_mask",
    "unsquash_action_batch",
    "unsquash_action",
    "action_fits_mask",
]


def small_config(tmp_path, **changes):
    values = dict(iterations=2, episodes_per_iteration=4, max_steps=12, output=tmp_path, progress=False)
    values.update(changes)
    return train_drone.Config(**values)


def test_training_walks_the_whole_road_and_never_takes_a_forbidden_action(tmp_path, monkeypatch, capsys):
    calls = {name: 0 for name in ROAD}
    fits = []
    fits_mask = su.action_fits_mask

    def counting(name):
        original = getattr(su, name)

        def wrapper(*args, **kwargs):
            calls[name] += 1
            result = original(*args, **kwargs)
            if name == "action_fits_mask":
                fits.append((args, result))
            return result

        return wrapper

    # the module looks its own functions up at call time, so wrapping the
    # module attributes also sees the calls it makes to itself
    for name in ROAD:
        monkeypatch.setattr(su, name, counting(name))

    result = train_drone.train(small_config(tmp_path))

    assert [name for name, n in calls.items() if n == 0] == []
    assert calls["get_kestrelix_space_info"] == calls["filter_space"] == 1
    assert len(result.episodes) == 8
    assert result.forbidden_actions == 0
    # one top-level fit test per action, plus the module's own per-part calls
    assert result.checked_actions == sum(1 for args, _ in fits if isinstance(args[0], dict))
    assert result.checked_actions == sum(e.steps for e in result.episodes)
    forbidden_choices = 0
    for (action, mask, space), fitted in list(fits):
        assert fitted
        if isinstance(action, dict):
            for part in ("skill", "gear"):
                assert mask[part][int(action[part])] == 1
                # the same action with this part moved to a forbidden choice does not fit
                for choice in np.flatnonzero(np.asarray(mask[part]) == 0):
                    forbidden_choices += 1
                    assert not fits_mask(dict(action, **{part: int(choice)}), mask, space)
    assert forbidden_choices > 0
    # trace lines go to the log, not to the console
    assert "x===" not in capsys.readouterr().out
    assert result.trace_lines > 0
    assert "x===" in (tmp_path / "trace.log").read_text()
    assert (tmp_path / "learning_curve.png").read_bytes()[:4] == b"\x89PNG"


def test_main_prints_the_summary_and_writes_the_plot(tmp_path, capsys):
    argv = ["--iterations", "1", "--episodes", "2", "--max-steps", "5", "--no-progress", "--output", str(tmp_path)]
    assert train_drone.main(argv) == 0
    out = capsys.readouterr().out
    assert "forbidden actions taken: 0" in out and "mean return" in out
    assert "x===" not in out
    assert (tmp_path / "learning_curve.png").exists()


def test_no_trace_silences_the_trace_lines(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(su, "print", print, raising=False)  # removed again after the test
    argv = ["--iterations", "1", "--episodes", "2", "--max-steps", "5", "--no-progress", "--no-trace",
            "--output", str(tmp_path)]
    assert train_drone.main(argv) == 0
    assert "make_np_array trace: 0 lines" in capsys.readouterr().out
    assert (tmp_path / "trace.log").read_text() == ""


@pytest.mark.parametrize("max_bytes", [4 << 20, 3000])
def test_summary_counts_the_trace_lines_that_are_in_the_files_it_names(tmp_path, max_bytes):
    # a rotated file left by an earlier run is not counted as this run's
    (tmp_path / "trace.log.1").write_text("x=== stale\n" * 50)
    config = small_config(tmp_path, plot=False, trace_max_bytes=max_bytes)
    result = train_drone.train(config)
    on_disk = sorted(tmp_path.glob("trace.log*"))
    assert result.trace_files == sorted(on_disk, key=lambda p: p.name != "trace.log.1")
    in_files = sum(len(p.read_text().splitlines()) for p in on_disk)
    assert result.trace_lines_kept == in_files > 0
    assert "stale" not in "".join(p.read_text() for p in on_disk)
    line = next(line for line in train_drone.summary(result, config).splitlines() if "trace" in line)
    if max_bytes > 1 << 20:
        assert result.trace_lines == in_files and on_disk == [tmp_path / "trace.log"]
        assert f"{in_files} lines in " in line and "dropped" not in line
    else:
        assert result.trace_lines > in_files and len(on_disk) == 2
        assert f"{result.trace_lines} lines written; the last {in_files} are in " in line and "dropped" in line
    assert all(train_drone._show(p) in line for p in on_disk)


@pytest.mark.parametrize(
    "argv,complaint",
    [
        (["--lr", "-1"], "argument --lr: must be a positive number"),
        (["--lr", "inf"], "argument --lr: must be a positive number"),
        (["--lr", "fast"], "argument --lr: expected a number"),
        (["--iterations", "0"], "argument --iterations: must be at least 1"),
        (["--episodes", "-2"], "argument --episodes: must be at least 1"),
        (["--max-steps", "0"], "argument --max-steps: must be at least 1"),
        (["--workers", "-1"], "argument --workers: must be at least 0"),
        (["--seed", "-1"], "argument --seed: must be at least 0"),
        (["--workers", "1.5"], "argument --workers: expected a whole number"),
    ],
)
def test_bad_arguments_end_in_argparse_errors(argv, complaint, capsys):
    with pytest.raises(SystemExit) as info:
        train_drone.parse_args(argv)
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert complaint in err and err.startswith("usage:")


@pytest.mark.parametrize(
    "argv,complaint",
    [
        (["--workers", "2"], "argument --workers: Ray workers need Ray, which is not installed"),
        (["--engine", "rllib"], "argument --engine: the rllib engine needs Ray's RLlib, which is not installed"),
    ],
)
def test_ray_options_without_ray_end_in_an_argument_error(argv, complaint, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "ray", None)
    with pytest.raises(SystemExit) as info:
        train_drone.parse_args(argv)
    assert info.value.code == 2
    assert complaint in capsys.readouterr().err
    assert train_drone.parse_args(["--workers", "0"]).workers == 0


def test_output_that_is_a_file_is_refused(tmp_path, capsys):
    taken = tmp_path / "file"
    taken.write_text("")
    with pytest.raises(SystemExit):
        train_drone.parse_args(["--output", str(taken)])
    assert "argument --output" in capsys.readouterr().err


def test_ray_workers_collect_episodes(tmp_path):
    pytest.importorskip("ray")
    config = small_config(tmp_path, workers=2, plot=False)
    result = train_drone.train(config)
    assert len(result.episodes) == 8
    assert result.forbidden_actions == 0
    for i in range(2):
        assert "x===" in (tmp_path / f"trace.worker{i}.log").read_text()


# ---------------------------------------------------------------------------
# Type stubs
# ---------------------------------------------------------------------------

FUNCTION_TYPE = type(su.make_np_array)


def _stub_tree():
    return ast.parse(STUB.read_text())


def _stub_functions():
    return {
        node.name: node
        for node in _stub_tree().body
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))
    }


def test_stub_names_every_module_level_name():
    stub_names = set()
    for node in _stub_tree().body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            stub_names.update(alias.asname or alias.name for alias in node.names)
        elif isinstance(node, ast.Assign):
            stub_names.update(t.id for t in node.targets if isinstance(t, ast.Name))
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            stub_names.add(node.target.id)
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            stub_names.add(node.name)
    runtime = {name for name in vars(su) if not name.startswith("__")}
    assert sorted(runtime - stub_names) == []
    functions = {name for name, value in vars(su).items() if isinstance(value, FUNCTION_TYPE)}
    assert set(_stub_functions()) == functions and len(functions) == 20


@pytest.mark.parametrize("name", sorted(_stub_functions()))
def test_stub_signature_matches_the_function(name):
    node = _stub_functions()[name]
    runtime = getattr(su, name)
    signature = inspect.signature(runtime)
    assert [a.arg for a in node.args.args] == list(signature.parameters)
    assert not (node.args.posonlyargs or node.args.kwonlyargs or node.args.vararg or node.args.kwarg)
    defaults = [p.name for p in signature.parameters.values() if p.default is not p.empty]
    assert [a.arg for a in node.args.args[len(node.args.args) - len(node.args.defaults):]] == defaults
    assert isinstance(node, ast.AsyncFunctionDef) == inspect.iscoroutinefunction(runtime)
    stub_annotations = {a.arg: a.annotation for a in node.args.args}
    stub_annotations["return"] = node.returns
    for key, text in runtime.__annotations__.items():
        assert ast.unparse(stub_annotations[key]) == text, key
    # what the module leaves unannotated, the stub types as Any or by the result it always has
    for key, annotation in stub_annotations.items():
        if key not in runtime.__annotations__ and key != "return":
            assert ast.unparse(annotation) == "Any", key


MYPY_CONFIG = """\
[mypy]
strict = True
untyped_calls_exclude = torch
[mypy-kestrelix_core.*]
ignore_missing_imports = True
[mypy-tree.*]
ignore_missing_imports = True
[mypy-tqdm.*]
ignore_missing_imports = True
"""


@pytest.fixture(scope="module")
def typed_package(tmp_path_factory):
    """A search path of its own on which the imported package carries the stub
    and py.typed of this checkout (so mypy never takes site-packages for a
    source root)."""
    pytest.importorskip("mypy")
    package = Path(su.__file__).resolve().parent
    site = tmp_path_factory.mktemp("site")
    shutil.copytree(package.parent, site / "kestrelix_train")
    for name in ("space_utils.pyi", "py.typed"):
        shutil.copy(STUB.parent / name, site / "kestrelix_train" / "utils" / name)
    return site / "kestrelix_train" / "utils" / "space_utils.pyi", site


def run_mypy(typed_package, tmp_path, *files):
    stub, site = typed_package
    config = tmp_path / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    env = dict(os.environ)
    if site is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(site), env.get("PYTHONPATH")]))
    command = [sys.executable, "-m", "mypy", "--config-file", str(config), "--cache-dir", str(ROOT / ".mypy_cache")]
    return subprocess.run(command + [str(f) for f in files], cwd=tmp_path, env=env, capture_output=True, text=True)


def test_mypy_accepts_the_stub_and_the_example(typed_package, tmp_path):
    done = run_mypy(typed_package, tmp_path, typed_package[0], *sorted(EXAMPLES.glob("*.py")))
    assert done.returncode == 0, done.stdout + done.stderr


def test_mypy_sees_the_signatures_through_the_stub(typed_package, tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "from kestrelix_train.utils import space_utils as su\n"
        "su.filter_sample({}, ('a',))\n"
        "flag: str = su.mask_all_zero({})\n"
        "su.make_np_array()\n"
    )
    done = run_mypy(typed_package, tmp_path, misuse)
    assert done.returncode == 1
    assert [line.split(": error:")[0] for line in done.stdout.splitlines() if ": error:" in line] == [
        "misuse.py:2",
        "misuse.py:3",
        "misuse.py:4",
    ], done.stdout
