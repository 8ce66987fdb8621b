#!/usr/bin/env bash
# A fresh virtual environment for one CPython version, holding that version's
# pinned set (constraints.txt on 3.11, constraints-py3XX.txt on a newer one:
# today's releases for that version), the local core-library stand-in and
# the test and example tools; not this package.
#   scripts/make_env.sh 3.12 build/env-py312
# python3.X is used, or pyenv's newest 3.X where that name needs a version.
# On 3.12 and 3.13 torch 2.13.0 is the CUDA build (several GB): it is
# downloaded once per machine into $WHEELHOUSE/cp3XX (default
# ~/.cache/kestrelix-wheelhouse) and installed from there.
set -euo pipefail
cd "$(dirname "$0")/.."
v=${1:?a version such as 3.12}
dir=${2:?an environment folder}
tag=${v/./}
cons=constraints.txt
[ "$v" = 3.11 ] || cons=constraints-py$tag.txt
[ -f "$cons" ] || {
    echo "make_env: no $cons" >&2
    exit 2
}
py=("python$v")
if ! "${py[@]}" -c '' 2>/dev/null; then
    full=$(pyenv versions --bare 2>/dev/null | grep -E "^${v/./\\.}\.[0-9]+$" | sort -V | tail -n1 || true)
    [ -n "$full" ] || {
        echo "make_env: no python$v" >&2
        exit 2
    }
    py=(env PYENV_VERSION="$full" "python$v")
fi
rm -rf "$dir"
"${py[@]}" -m venv "$dir"
PIP=("$dir/bin/python" -m pip --disable-pip-version-check -q)
links=()
if [ "$v" != 3.11 ]; then
    wh=${WHEELHOUSE:-$HOME/.cache/kestrelix-wheelhouse}/cp$tag
    compgen -G "$wh/torch-2.13.0-*.whl" >/dev/null || "${PIP[@]}" download -c "$cons" -d "$wh" torch==2.13.0
    links=(--find-links "$wh")
fi
# torch first, alone, so that nothing pulls another build of it
"${PIP[@]}" install "${links[@]}" -c "$cons" torch==2.13.0
"${PIP[@]}" install -c "$cons" ./kestrelix_core numpy dm-tree gymnasium "ray[rllib]" \
    pytest hypothesis mypy tqdm matplotlib build
