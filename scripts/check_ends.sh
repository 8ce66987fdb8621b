#!/usr/bin/env bash
# Tests one end of the dependency ranges the way a user meets it: a fresh
# environment that already holds the end's versions gets the wheel installed
# on top (built from the sdist against the numpy of constraints.txt: one wheel
# for every end); pip must keep every one of them, and the whole test suite
# runs there.
#   scripts/check_ends.sh oldest|newest|noray|rllib-oldest [work-dir] [pytest args...]
# WHEEL=<file> installs that wheel instead of building one.
# noray: the newest ends without Ray (the module binds its NestedDict
# stand-in; the tests that need Ray skip). oldest keeps ray 2.5.1, the
# oldest ray the module alone takes (kestrelix_train.rllib refuses it and its
# tests skip); rllib-oldest is today's set with the oldest ray the package
# takes and the gymnasium that ray pins. Takes several minutes; not part of
# CI. Update the README's "Supported versions" when an end moves.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PYTHON:-python3.11}
command -v "$PY" >/dev/null || PY=python3
end=${1:?oldest, newest or noray}
work=${2:-build/ends-$end}
shift $(($# < 2 ? $# : 2))

ray=("ray[rllib]")
case $end in
oldest)
    # ray 2.5 imports pkg_resources, which setuptools 81 and later no longer
    # ship; the rest is the set of mid-2024 that numpy 1.x and ray 2.5 run
    # with (today's pandas, pyarrow and scipy demand a newer numpy)
    pins=(numpy==1.23.5 dm-tree==0.1.8 gymnasium==0.26.3 ray==2.5.1 setuptools==80.9.0
        pandas==2.2.2 scipy==1.13.1 pyarrow==16.1.0 protobuf==4.25.3 fsspec==2024.6.1 requests==2.32.3
        pyyaml==6.0.1 packaging==24.1 typer==0.12.3 rich==13.7.1 tensorboardX==2.6.2.2 scikit-image==0.24.0
        imageio==2.34.2 tifffile==2024.7.2 pillow==10.4.0 lz4==4.3.3 msgpack==1.0.8 jsonschema==4.23.0
        click==8.1.7 filelock==3.15.4 aiosignal==1.3.1 frozenlist==1.4.1 tqdm==4.66.4 matplotlib==3.9.2)
    ;;
newest)
    pins=(numpy==2.4.6 dm-tree==0.1.10 gymnasium==1.2.2 ray==2.60.0)
    ;;
rllib-oldest)
    pins=(ray==2.49.0 gymnasium==1.1.1 ormsgpack==1.7.0)
    ;;
noray)
    pins=(numpy==2.4.6 dm-tree==0.1.10 gymnasium==1.4.0)
    ray=()
    ;;
*)
    echo "usage: $0 oldest|newest|noray|rllib-oldest [work-dir] [pytest args...]" >&2
    exit 2
    ;;
esac
build_numpy=$(grep -E '^numpy==' constraints.txt)

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
PIP=(--disable-pip-version-check -q)

# the end's versions; the rest of the pinned set where the end is today's
# stack, only torch and the test tools where it is an older one
names=$(printf '%s\n' "${pins[@]}" | sed 's/==.*//' | paste -sd'|')
if [ "$end" = oldest ]; then
    grep -E '^(torch|pytest|hypothesis|mypy|build)==' constraints.txt >"$work/constraints.txt"
else
    grep -v -E "^($names)==" constraints.txt >"$work/constraints.txt"
fi
printf '%s\n' "${pins[@]}" >>"$work/constraints.txt"
echo "$build_numpy" >"$work/build-constraints.txt"

echo "check_ends: an environment holding ${pins[*]:0:5}" >&2
"$PY" -m venv "$work/venv"
V="$work/venv/bin/python"
"$V" -m pip "${PIP[@]}" install -c "$work/constraints.txt" torch==2.13.0
"$V" -m pip "${PIP[@]}" install -c "$work/constraints.txt" "${pins[@]}" ${ray[@]+"${ray[@]}"} \
    pytest hypothesis mypy tqdm matplotlib build

if [ -n "${WHEEL:-}" ]; then
    # a wheel built before (by this script or scripts/check_dist.sh)
    mkdir "$work/dist"
    cp "$WHEEL" "$work/dist/"
else
    echo "check_ends: sdist, then a wheel from it built against $build_numpy" >&2
    "$V" -m build --sdist --outdir "$work/dist" . >"$work/build.log" 2>&1
    mkdir "$work/sdist"
    tar -xzf "$work"/dist/*.tar.gz -C "$work/sdist"
    PIP_CONSTRAINT="$work/build-constraints.txt" "$V" -m build --wheel --outdir "$work/dist" "$work"/sdist/*/ \
        >>"$work/build.log" 2>&1 || {
        tail -n 40 "$work/build.log" >&2
        exit 1
    }
    grep -q "$build_numpy" "$work/build.log"
fi

echo "check_ends: installing the wheel on top, as a user would (no constraints)" >&2
"$V" -m pip list --format=freeze >"$work/before.txt" 2>/dev/null
"$V" -m pip "${PIP[@]}" install ./kestrelix_core "$work"/dist/*.whl
"$V" -m pip list --format=freeze >"$work/after.txt" 2>/dev/null
changed=$(comm -23 <(sort "$work/before.txt") <(sort "$work/after.txt"))
if [ -n "$changed" ]; then
    echo "check_ends: installing the wheel changed: $changed" >&2
    exit 1
fi
grep -i -E "^(numpy|torch|dm-tree|gymnasium|ray)==" "$work/after.txt" | paste -sd' ' >&2

# tests/ is not a package: pytest imports the installed module, not src/
"$V" -m pytest -q -p no:cacheprovider "$@" "$ROOT/tests"
