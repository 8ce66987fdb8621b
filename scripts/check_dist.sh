#!/usr/bin/env bash
# Checks the package as it ships: builds the sdist, builds the wheel from that
# sdist (not from this tree, so a file missing from the sdist fails the
# build), has auditwheel tag it with the oldest manylinux it qualifies for
# (failing above manylinux_2_28; on macOS delocate and on Windows delvewheel
# repair it instead), installs that wheel with constraints.txt into a fresh
# virtual environment (without the optional Ray) and, from
# outside the source tree, imports the module with warnings as errors and
# runs the reference's examples against the installed copy.
#   scripts/check_dist.sh [work-dir]     (default build/dist-check)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. scripts/host.sh
PY=${PYTHON:-python3.11}
command -v "$PY" >/dev/null || PY=python3
work=${1:-build/dist-check}
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
PIP=(--disable-pip-version-check -q)

echo "check_dist: building the sdist, then the wheel from the sdist" >&2
"$PY" -m venv "$work/tools"
"$work/tools/$BIN/python" -m pip "${PIP[@]}" install -c constraints.txt build
# With no --sdist/--wheel, build makes the sdist from the tree and then the
# wheel from that sdist, in an isolated build environment.
"$work/tools/$BIN/python" -m build --outdir "$work/dist" . >"$work/build.log" 2>&1 || {
    tail -n 40 "$work/build.log" >&2
    exit 1
}
sdist=("$work"/dist/*.tar.gz)
wheel=("$work"/dist/*.whl)
[ ${#sdist[@]} = 1 ] && [ ${#wheel[@]} = 1 ] || { echo "check_dist: expected one sdist and one wheel" >&2; exit 1; }

"$work/tools/$BIN/python" - "${sdist[0]}" "${wheel[0]}" <<'EOF'
import sys
import tarfile
import zipfile

sdist, wheel = sys.argv[1:]
names = zipfile.ZipFile(wheel).namelist()
expected = [
    "kestrelix_train/__init__.py",
    "kestrelix_train/utils/__init__.py",
    "kestrelix_train/utils/space_utils.pyi",
    "kestrelix_train/utils/py.typed",
]
missing = [n for n in expected if n not in names]
if not any(n.split(".dist-info/", 1)[-1] in ("LICENSE", "licenses/LICENSE") for n in names if ".dist-info/" in n):
    missing.append("dist-info LICENSE")
modules = [n for n in names if n.startswith("kestrelix_train/utils/space_utils.") and n.endswith((".so", ".pyd"))]
sources = [n for n in names if n.endswith((".cpp", ".h"))]
problems = missing + (["no compiled module"] if len(modules) != 1 else []) + [f"source {n}" for n in sources]
members = tarfile.open(sdist).getnames()
for need in ("LICENSE", "pyproject.toml", "CMakeLists.txt", "constraints.txt", "docs/reference.md"):
    if not any(m.split("/", 1)[-1] == need for m in members):
        problems.append(f"sdist lacks {need}")
if problems:
    sys.exit("check_dist: " + "; ".join(problems))
print(f"check_dist: wheel {wheel.rsplit('/', 1)[-1]}: {len(names)} files", file=sys.stderr)
EOF

# The wheel's platform tag is what auditwheel measures of the module (the
# glibc and libgcc symbol versions it needs, the libraries it links): the
# repaired copy carries that tag, and it is the one installed below. The
# patcher "none" makes the repair fail rather than graft a library into the
# wheel: the module is built to need none that a manylinux system lacks.
case $HOST in
linux)
    echo "check_dist: auditwheel" >&2
    "$work/tools/$BIN/python" -m pip "${PIP[@]}" install -c constraints.txt auditwheel
    "$work/tools/$BIN/auditwheel" show "${wheel[0]}" >&2
    "$work/tools/$BIN/auditwheel" repair --patcher none -w "$work/wheelhouse" "${wheel[0]}" >"$work/repair.log" 2>&1 || {
        cat "$work/repair.log" >&2
        exit 1
    }
    wheel=("$work"/wheelhouse/*.whl)
    [ ${#wheel[@]} = 1 ] || { echo "check_dist: expected one repaired wheel" >&2; exit 1; }
    # The oldest system the wheel admits must be glibc 2.28 or older.
    "$work/tools/$BIN/python" scripts/wheel_tag.py "${wheel[0]}" check_dist
    ;;
macos)
    echo "check_dist: delocate" >&2
    "$work/tools/$BIN/python" -m pip "${PIP[@]}" install -c constraints.txt delocate==0.13.0
    "$work/tools/$BIN/delocate-wheel" -w "$work/wheelhouse" "${wheel[0]}" >&2
    wheel=("$work"/wheelhouse/*.whl)
    ;;
windows)
    echo "check_dist: delvewheel" >&2
    "$work/tools/$BIN/python" -m pip "${PIP[@]}" install -c constraints.txt delvewheel==1.13.2
    "$work/tools/$BIN/delvewheel" repair -w "$work/wheelhouse" "${wheel[0]}" >&2
    wheel=("$work"/wheelhouse/*.whl)
    ;;
esac

echo "check_dist: installing the wheel into a fresh environment" >&2
"$PY" -m venv "$work/venv"
V="$work/venv/$BIN/python"
"$V" -m pip "${PIP[@]}" install -c constraints.txt torch==2.13.0
"$V" -m pip "${PIP[@]}" install -c constraints.txt ./kestrelix_core "${wheel[0]}" pytest

cd "$work"
# Ray is an extra: this environment has none, and the import must still be
# silent with warnings as errors
out=$("$V" -W error -c "import kestrelix_train.utils.space_utils" 2>&1) && [ -z "$out" ] || {
    echo "check_dist: importing with -W error printed or failed: $out" >&2
    exit 1
}
"$V" - "$work/venv" <<'EOF'
import inspect
import sys
from pathlib import Path

from kestrelix_train.utils import space_utils as su

where = Path(su.__file__).resolve()
assert Path(sys.argv[1]).resolve() in where.parents, f"imported from {where}, not the fresh environment"
functions = [n for n, v in vars(su).items() if callable(v) and type(v) is type(su.make_np_array)]
assert len(functions) == 20, functions
assert inspect.signature(su.make_np_array).parameters["dtype"].default is __import__("numpy").float32
print(f"check_dist: imported {su.__name__} from {where}", file=sys.stderr)
EOF
# the reference's examples, against the installed copy (tests/ is not a
# package, so pytest puts no source folder ahead of site-packages)
"$V" -m pytest -q -p no:cacheprovider --rootdir "$ROOT" "$ROOT/tests/test_reference.py"
echo "check_dist: ok" >&2
