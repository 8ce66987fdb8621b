#!/usr/bin/env bash
# Tests one end of the dependency ranges the way a user meets it: a fresh
# environment that already holds the end's versions gets the wheel installed
# on top (built from the sdist with the end's build numpy); pip must keep every
# one of them, and the whole test suite runs there.
#   scripts/check_ends.sh oldest|newest [work-dir] [pytest args...]
# Takes several minutes; not part of CI. Update the README's "Supported
# versions" when an end moves.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PYTHON:-python3.11}
command -v "$PY" >/dev/null || PY=python3
end=${1:?oldest or newest}
work=${2:-build/ends-$end}
shift $(($# < 2 ? $# : 2))

case $end in
oldest)
    # ray 2.5 imports pkg_resources, which setuptools 81 and later no longer ship
    pins=(numpy==1.23.5 dm-tree==0.1.8 gymnasium==0.26.3 ray==2.5.1 setuptools==80.9.0)
    build_numpy=1.25.0
    ;;
newest)
    pins=(numpy==1.26.4 dm-tree==0.1.10 gymnasium==0.28.1 ray==2.32.0)
    build_numpy=1.26.4
    ;;
*)
    echo "usage: $0 oldest|newest [work-dir] [pytest args...]" >&2
    exit 2
    ;;
esac

rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
PIP=(--disable-pip-version-check -q)

# the pinned set, with the end's versions in place of the pinned ones
names=$(printf '%s\n' "${pins[@]}" | sed 's/==.*//' | paste -sd'|')
{ grep -v -E "^($names)==" constraints.txt; printf '%s\n' "${pins[@]}"; } >"$work/constraints.txt"
echo "numpy==$build_numpy" >"$work/build-constraints.txt"

echo "check_ends: an environment holding ${pins[*]}" >&2
"$PY" -m venv "$work/venv"
V="$work/venv/bin/python"
"$V" -m pip "${PIP[@]}" install -c "$work/constraints.txt" torch==2.13.0
"$V" -m pip "${PIP[@]}" install -c "$work/constraints.txt" "${pins[@]}" "ray[rllib]" \
    pytest hypothesis mypy tqdm matplotlib build

echo "check_ends: sdist, then a wheel from it built against numpy $build_numpy" >&2
"$V" -m build --sdist --outdir "$work/dist" . >"$work/build.log" 2>&1
mkdir "$work/sdist"
tar -xzf "$work"/dist/*.tar.gz -C "$work/sdist"
PIP_CONSTRAINT="$work/build-constraints.txt" "$V" -m build --wheel --outdir "$work/dist" "$work"/sdist/*/ \
    >>"$work/build.log" 2>&1 || {
    tail -n 40 "$work/build.log" >&2
    exit 1
}
grep -q "numpy==$build_numpy" "$work/build.log"

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
