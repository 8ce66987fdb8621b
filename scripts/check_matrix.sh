#!/usr/bin/env bash
# The package on each CPython version it supports, as a user meets it. For
# each of 3.11, 3.12 and 3.13 (or the versions named, 3.14 among them): a fresh environment
# holding that version's pinned set (scripts/make_env.sh), the sdist and the
# wheel built from it by that interpreter, the wheel installed on top without
# constraints (pip must change none of the installed versions), an import
# under -W error, and the whole suite. One line per version at the end; the
# exit status is non-zero when any version failed.
#   scripts/check_matrix.sh [version...] [-- pytest args...]
# Each version takes a long while (the CUDA build of torch from 3.12 on, the
# whole suite); logs stay in build/matrix/py3XX. A version that the machine
# has no interpreter for is given by the caller, as PYTHON3X (a path or a
# command prefix, see scripts/interpreter.sh):
#   PYTHON314="/srv/newer/run-in-root /work -- python3.14" scripts/check_matrix.sh 3.14
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
. scripts/interpreter.sh
versions=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    versions+=("$1")
    shift
done
[ $# -gt 0 ] && shift
[ ${#versions[@]} -gt 0 ] || versions=(3.11 3.12 3.13)
work=$ROOT/${MATRIX_DIR:-build/matrix}

check_version() {
    local v=$1 d=$work/py${1/./}
    shift
    rm -rf "$d" && mkdir -p "$d"
    echo "check_matrix $v: a fresh environment" >&2
    scripts/make_env.sh "$v" "$d/venv"
    interpreter "$v"
    local V=("${run[@]}" "$d/venv/bin/python")
    echo "check_matrix $v: the sdist, then the wheel from it" >&2
    "${V[@]}" -m build --outdir "$d/dist" . >"$d/build.log" 2>&1 || {
        tail -n 40 "$d/build.log" >&2
        return 1
    }
    "${V[@]}" -m pip list --format=freeze >"$d/before.txt" 2>/dev/null
    "${V[@]}" -m pip --disable-pip-version-check -q install "$d"/dist/*.whl
    "${V[@]}" -m pip list --format=freeze 2>/dev/null | grep -v -i '^kestrelix.train.space.utils==' >"$d/after.txt"
    local changed
    changed=$(comm -3 <(sort "$d/before.txt") <(sort "$d/after.txt"))
    if [ -n "$changed" ]; then
        echo "check_matrix $v: installing the wheel changed:" $changed >&2
        return 1
    fi
    grep -i -E "^(numpy|torch|dm-tree|gymnasium|ray)==" "$d/after.txt" | paste -sd' ' >&2
    (cd "$d" && "${V[@]}" -W error -c "from kestrelix_train.utils import space_utils")
    echo "check_matrix $v: the suite" >&2
    "${V[@]}" -m pytest -q -p no:cacheprovider --rootdir "$ROOT" "$@" "$ROOT/tests" 2>&1 | tee "$d/pytest.log"
}

summary=()
failed=0
for v in "${versions[@]}"; do
    start=$SECONDS
    (
        set -e
        check_version "$v" "$@"
    )
    rc=$?
    last=$(tail -n 1 "$work/py${v/./}/pytest.log" 2>/dev/null | tr -d '=' | xargs)
    [ $rc = 0 ] || failed=1
    summary+=("$v: $([ $rc = 0 ] && echo ok || echo FAILED) in $(((SECONDS - start) / 60)) min${last:+ ($last)}")
done
printf 'check_matrix: %s\n' "${summary[@]}" >&2
exit $failed
