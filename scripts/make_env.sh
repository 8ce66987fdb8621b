#!/usr/bin/env bash
# A fresh virtual environment for one CPython version, holding that version's
# pinned set (constraints.txt on 3.11, constraints-py3XX.txt on a newer one:
# today's releases for that version), the local core-library stand-in and
# the test and example tools; not this package.
#   scripts/make_env.sh 3.12 build/env-py312
# The interpreter: python3.X, pyenv's newest 3.X, or what PYTHON3X gives
# (PYTHON314="..." for 3.14: a path or a command prefix, see
# scripts/interpreter.sh). From 3.12 on torch is the CUDA build (several GB):
# it is downloaded once per machine into $WHEELHOUSE/cp3XX (default
# ~/.cache/kestrelix-wheelhouse, as the interpreter's side sees it) and
# installed from there.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/interpreter.sh
v=${1:?a version such as 3.12}
dir=${2:?an environment folder}
tag=${v/./}
cons=constraints.txt
[ "$v" = 3.11 ] || cons=constraints-py$tag.txt
[ -f "$cons" ] || {
    echo "make_env: no $cons" >&2
    exit 2
}
tv=$(sed -n 's/^torch==//p' "$cons")
interpreter "$v" || exit 2
rm -rf "$dir"
"${py[@]}" -m venv "$dir"
PIP=("${run[@]}" "$dir/bin/python" -m pip --disable-pip-version-check -q)
links=()
if [ "$v" != 3.11 ]; then
    # (the folder as the interpreter's side names it: its $HOME by default)
    wh=$("${run[@]}" env WH="${WHEELHOUSE:-}" sh -c 'printf %s "${WH:-$HOME/.cache/kestrelix-wheelhouse}"')/cp$tag
    "${run[@]}" sh -c 'ls "$1"/torch-"$2"-*.whl' sh "$wh" "$tv" >/dev/null 2>&1 ||
        "${PIP[@]}" download -c "$cons" -d "$wh" "torch==$tv"
    links=(--find-links "$wh")
fi
# torch first, alone, so that nothing pulls another build of it
"${PIP[@]}" install "${links[@]}" -c "$cons" "torch==$tv"
"${PIP[@]}" install -c "$cons" ./kestrelix_core numpy dm-tree gymnasium "ray[rllib]" \
    pytest hypothesis mypy tqdm matplotlib build
