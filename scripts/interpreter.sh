# Sourced by the scripts that work on one CPython version. `interpreter 3.X`
# sets two arrays: `py`, the command that runs that version's interpreter,
# and `run`, the prefix that runs the programs of an environment made with it
# (its python, pip, the build); `run` is empty unless the caller gives one.
#
# PYTHON3X (PYTHON314 for 3.14) names the interpreter where the machine's own
# python3.X or pyenv has none: a path, or a command prefix that ends in the
# interpreter, such as a wrapper that runs it inside a Debian root of a newer
# suite:
#   PYTHON314="/srv/newer/run-in-root /work -- python3.14"
# The words in front of the interpreter then also run the environment's
# programs; such a wrapper must run them in the current directory, with the
# project and the environment at the same paths as outside.
# Without PYTHON3X: python3.X, or pyenv's newest 3.X where that name needs a
# version.
interpreter() {
    local v=$1 var=PYTHON${1/./} full
    run=()
    if [ -n "${!var:-}" ]; then
        read -r -a py <<<"${!var}"
        run=("${py[@]:0:${#py[@]}-1}")
        return 0
    fi
    py=("python$v")
    "${py[@]}" -c '' 2>/dev/null && return 0
    full=$(pyenv versions --bare 2>/dev/null | grep -E "^${v/./\\.}\.[0-9]+$" | sort -V | tail -n1 || true)
    if [ -z "$full" ]; then
        echo "no python$v: give one as $var (a path, or a command prefix ending in the interpreter)" >&2
        return 2
    fi
    py=(env PYENV_VERSION="$full" "python$v")
}
