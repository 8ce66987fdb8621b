#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and runs the test suite on it.
# PYTHON=python3.12 (3.13, 3.14) runs it on that version instead of 3.11: in
# an environment of its own, build/asan-py3XX/venv, made once by
# scripts/make_env.sh (delete it to make it again), or in the one VENV names.
# PYTHON may also be the interpreter itself, a path or a command prefix that
# ends in it (scripts/interpreter.sh), for a version the machine lacks:
#   PYTHON="/srv/newer/run-in-root /work -- python3.14" scripts/asan.sh
# The build and the run then go through the same prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/interpreter.sh
spec=${PYTHON:-3.11}
v=${spec##* }
v=${v##*/}
v=${v#python}
case $spec in *" "* | */*) export "PYTHON${v/./}=$spec" ;; esac
run=()
if [ "$v" = 3.11 ]; then
    scripts/setup.sh
    export VENV=.venv build=build/asan
else
    export VENV=${VENV:-build/asan-py${v/./}/venv} build=build/asan-py${v/./}
    interpreter "$v"
    # (looked for where it runs: its python may link to an interpreter that
    # only the prefix's side has)
    "${run[@]}" "$VENV/bin/python" -c '' 2>/dev/null || scripts/make_env.sh "$v" "$VENV"
fi
"${run[@]}" env VENV="$VENV" scripts/devbuild.sh "$build" -DSPACE_UTILS_ASAN=ON -DCMAKE_BUILD_TYPE=Debug
# libstdc++ is preloaded too, so the sanitizer finds the real __cxa_throw
# for C++ libraries loaded later (dm-tree throws at import).
ASAN_LIB=$("${run[@]}" sh -c 'echo "$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"')
# The interpreter and its libraries leave memory unreachable at exit by
# design, so LeakSanitizer makes no report at exit; the leak tests
# (tests/test_leaks.py) ask it for reports between calls instead and look
# for what grows with the calls and was allocated by the module.
ASAN_OPTIONS=detect_leaks=1:leak_check_at_exit=0:allocator_may_return_null=1:${ASAN_OPTIONS:-}
# The sanitizer's red zones make every native frame larger. On 3.12 and 3.13
# the interpreter bounds native recursion by a count (Py_C_RECURSION_LIMIT,
# 10000 in a release build) sized for plain frames and an 8 MB stack, so the
# deep-nesting tests would overflow the stack before RecursionError: give the
# sanitized run the room its frames need (3.11 keeps the same room). 3.14
# bounds it by the stack that is really left, so there the stack stays as it
# is (a larger one lets the deep-nesting tests' 100000 levels fit without a
# RecursionError).
case $v in
3.11 | 3.12 | 3.13) ulimit -s 65536 2>/dev/null || ulimit -s unlimited 2>/dev/null || true ;;
esac
# Ray's own native processes are not run under the sanitizer: the Ray-worker
# test is left out, everything else runs.
exec "${run[@]}" env ASAN_OPTIONS="$ASAN_OPTIONS" PYTHONMALLOC=malloc LD_PRELOAD="$ASAN_LIB" \
    PYTHONPATH="$build/site" "$VENV/bin/python" -m pytest -p no:cacheprovider \
    --deselect tests/test_example.py::test_ray_workers_collect_episodes "$@"
