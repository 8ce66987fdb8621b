#!/usr/bin/env bash
# Sets everything up from nothing: a virtual environment in .venv with the
# pinned runtime stack (constraints.txt), the local core-library stand-in, and
# this package built from source (scikit-build-core + CMake) and installed.
#
# A stamp in .venv records a hash of every file the installation reads (the
# sources, the core stand-in, CMakeLists.txt, pyproject.toml, constraints.txt
# and this script). When nothing changed since the last complete set-up, the
# installation is skipped; any change installs again. SETUP_FORCE=1 installs
# regardless.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/host.sh

PY=${PYTHON:-python3.11}
command -v "$PY" >/dev/null || PY=python3
STAMP=.venv/.setup-stamp

inputs_hash() {
    "$PY" - <<'EOF'
import hashlib
import os
import subprocess

roots = ["src", "kestrelix_core", "CMakeLists.txt", "pyproject.toml", "constraints.txt", "scripts/setup.sh"]
try:
    # tracked and untracked files, less what .gitignore leaves out (build
    # trees, egg-info, caches that an installation itself writes)
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard", "--", *roots],
        check=True, capture_output=True,
    ).stdout.decode().split("\0")
except (OSError, subprocess.CalledProcessError):
    skip = {"build", "__pycache__", ".pytest_cache", ".mypy_cache"}
    listed = []
    for root in roots:
        if os.path.isfile(root):
            listed.append(root)
        for folder, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if d not in skip and not d.endswith(".egg-info")]
            listed += [os.path.join(folder, f) for f in files if not f.endswith(".pyc")]
digest = hashlib.sha256()
for path in sorted(p for p in set(listed) if p and os.path.isfile(p)):
    digest.update(path.encode() + b"\0")
    with open(path, "rb") as f:
        digest.update(hashlib.sha256(f.read()).digest())
print(digest.hexdigest())
EOF
}

want=$(inputs_hash)
if [ "${SETUP_FORCE:-0}" != 1 ] && [ -x .venv/$BIN/python ] && [ "$(cat "$STAMP" 2>/dev/null)" = "$want" ]; then
    echo "setup: .venv is up to date (nothing changed since the last set-up)" >&2
    exit 0
fi

[ -x .venv/$BIN/python ] || "$PY" -m venv .venv
rm -f "$STAMP"
PIP=(.venv/$BIN/python -m pip --disable-pip-version-check -q)

# torch first, alone: the CPU build of 2.13.0, so nothing pulls another torch.
"${PIP[@]}" install -c constraints.txt torch==2.13.0
"${PIP[@]}" install -c constraints.txt ./kestrelix_core ".[rllib,test,example]"
echo "$want" >"$STAMP"
