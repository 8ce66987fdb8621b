#!/usr/bin/env bash
# Builds the module for platforms other than this machine's (Linux x86-64
# with GCC) and shows, for each target named, what can be shown from here;
# each target ends with one line that says what was shown.
#   scripts/check_platforms.sh TARGET...     (aarch64, macos, windows, clang)
#
#   aarch64  cross-builds the wheel with Debian's aarch64-linux-gnu-g++
#            against an arm64 Debian root (CPython 3.11 and its headers,
#            downloaded with apt into build/platforms/aarch64/root, nothing
#            installed on the machine), has auditwheel tag it (failing above
#            manylinux_2_28_aarch64) and runs the whole suite under
#            qemu-aarch64 with the aarch64 wheels of numpy, torch (2.10.0,
#            the newest CPU-only aarch64 build) and the rest. No binfmt
#            handler is registered: the environment's python is a script
#            that runs the interpreter under the emulator, so that subprocess
#            tests re-enter it (Ray, optional, is left out). 15 to 50
#            minutes on two shared cores; the last line is pytest's summary.
#   macos    compiles every source for aarch64-macos (deployment target
#            14.0, Apple's availability rules as errors) with zig's clang.
#   windows  compiles every source for x86_64-windows-gnu with zig's clang
#            and links a .pyd against python3XX.dll, which must export
#            PyInit_space_utils and nothing else.
#   clang    builds the wheel with Clang and checks its manylinux tag as
#            scripts/check_dist.sh does.
# macos and windows compile against CPython's own headers (Include/ of the
# 3.11 source, shared by every platform, and the pyconfig.h that the
# Windows/macOS builds of CPython use) and numpy's headers from numpy's wheel
# for that platform; nothing there is run.
#
# Needs (Debian): g++-aarch64-linux-gnu and qemu-user (apt-get install
# --no-install-recommends; never register binfmt handlers) for aarch64,
# clang for clang; zig's clang comes from the ziglang package. Everything is
# written under build/platforms.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${PYTHON:-python3.11}
command -v "$PY" >/dev/null || PY=python3
W=$ROOT/build/platforms
PIP=(--disable-pip-version-check -q)
CPY=3.11 # the CPython the cross targets are built for (Debian 12's)

say() { echo "check_platforms: $*" >&2; }
need() {
    command -v "$1" >/dev/null || { say "$1 not found: $2"; exit 1; }
}

# The tools: the build front end, auditwheel and zig's clang.
tools() {
    if [ ! -x "$W/tools/bin/python" ] || ! "$W/tools/bin/python" -c 'import build, auditwheel, ziglang' 2>/dev/null; then
        "$PY" -m venv "$W/tools"
        "$W/tools/bin/python" -m pip "${PIP[@]}" install -c constraints.txt build auditwheel ziglang==0.17.1
    fi
    T=$W/tools/bin
}
# pip of the tools, without the notes about the machine's configured
# locations that do not exist
pip_() {
    "$T/python" -m pip "${PIP[@]}" "$@" 2> >(grep -v "neither a file nor a directory" >&2)
}

# repair WHEEL OUTDIR: auditwheel's tag for the wheel (the oldest manylinux
# it qualifies for, nothing grafted in), failing above manylinux_2_28;
# prints the repaired wheel's path.
repair() {
    "$T/auditwheel" show "$1" >&2
    rm -rf "$2"
    "$T/auditwheel" repair --patcher none -w "$2" "$1" >"$2.log" 2>&1 || {
        cat "$2.log" >&2
        exit 1
    }
    local out=("$2"/*.whl)
    "$T/python" scripts/wheel_tag.py "${out[0]}" check_platforms >&2
    echo "${out[0]}"
}

# --------------------------------------------------------------- aarch64

# An arm64 Debian root with CPython and its headers: apt resolves and
# downloads the packages with a state of its own (the machine's sources,
# arm64 only, an empty status, so every dependency is fetched) and each is
# unpacked into the root.
arm64_root() {
    local a=$W/aarch64/apt r=$W/aarch64/root
    # the interpreter, its headers, and the C++ runtime and OpenMP library
    # that torch's wheel expects of the system
    local pkgs=("python$CPY" "libpython$CPY-dev" "python$CPY-venv" libstdc++6 libgomp1)
    [ "$(cat "$r/.packages" 2>/dev/null)" = "${pkgs[*]}" ] && return 0
    rm -rf "$a" "$r"
    mkdir -p "$a/etc/sources.list.d" "$a/etc/preferences.d" "$a/state/lists/partial" "$a/cache/archives/partial" "$r"
    cp /etc/apt/sources.list.d/*.sources "$a/etc/sources.list.d/" 2>/dev/null || true
    [ -f /etc/apt/sources.list ] && cp /etc/apt/sources.list "$a/etc/sources.list" || : >"$a/etc/sources.list"
    : >"$a/status"
    local opts=(-q -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o Dir::Etc="$a/etc"
        -o Dir::Etc::sourcelist="$a/etc/sources.list" -o Dir::Etc::sourceparts="$a/etc/sources.list.d"
        -o Dir::Etc::preferencesparts="$a/etc/preferences.d" -o Dir::State="$a/state"
        -o Dir::State::status="$a/status" -o Dir::Cache="$a/cache" -o Debug::NoLocking=1
        -o APT::Install-Recommends=0)
    apt-get "${opts[@]}" update >"$W/aarch64/apt.log" 2>&1
    apt-get "${opts[@]}" -y --download-only install "${pkgs[@]}" >>"$W/aarch64/apt.log" 2>&1 || {
        tail -n 20 "$W/aarch64/apt.log" >&2
        exit 1
    }
    for deb in "$a"/cache/archives/*.deb; do
        dpkg-deb -x "$deb" "$r"
    done
    echo "${pkgs[*]}" >"$r/.packages"
    rm -f "$W/aarch64/venv/.complete"
}

# What pip run here installs for the target.
A64=(--platform manylinux_2_28_aarch64 --platform manylinux_2_17_aarch64 --platform manylinux2014_aarch64
    --platform linux_aarch64 --python-version "$CPY" --implementation cp --abi "cp${CPY/./}" --abi abi3
    --abi none --only-binary=:all:)

# The environment the suite runs in: a venv of the root's interpreter whose
# python is a script entering qemu with argv[0] set to the script (so
# sys.executable names it), and the aarch64 wheels installed into its
# site-packages from here (pip run here evaluates markers for this machine,
# so torch, whose CUDA packages are marked for x86-64 only, comes alone).
arm64_env() {
    local r=$W/aarch64/root v=$W/aarch64/venv wh=$W/aarch64/wheels
    if [ ! -f "$v/.complete" ]; then
        rm -rf "$v"
        qemu-aarch64 -L "$r" "$r/usr/bin/python$CPY" -m venv --without-pip "$v"
        rm -f "$v"/bin/python*
        printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" -0 "$0" "%s/usr/bin/python%s" "$@"\n' "$r" "$r" "$CPY" \
            >"$v/bin/python$CPY"
        chmod +x "$v/bin/python$CPY"
        ln -s "python$CPY" "$v/bin/python"
        ln -s "python$CPY" "$v/bin/python3"
        grep -v '^torch==' constraints.txt >"$W/aarch64/constraints.txt"
        pip_ download -d "$wh" "${A64[@]}" --no-deps torch==2.10.0
        pip_ download -d "$wh" "${A64[@]}" -c "$W/aarch64/constraints.txt" \
            numpy dm-tree gymnasium pytest hypothesis mypy tqdm matplotlib \
            filelock typing-extensions sympy networkx jinja2 fsspec
        pip_ wheel --no-deps -w "$wh" ./kestrelix_core
        pip_ install --no-deps --target "$v/lib/python$CPY/site-packages" "${A64[@]}" \
            "$wh"/*.whl
        touch "$v/.complete"
    fi
    "$v/bin/python" -c 'import platform, torch, numpy; assert platform.machine() == "aarch64"'
}

target_aarch64() {
    need aarch64-linux-gnu-g++ "apt-get install --no-install-recommends g++-aarch64-linux-gnu"
    need qemu-aarch64 "apt-get install --no-install-recommends qemu-user"
    need dpkg-deb "a Debian system"
    tools
    say "aarch64: the arm64 Debian root and the environment"
    arm64_root
    arm64_env
    local v=$W/aarch64/venv
    say "aarch64: cross-building the wheel"
    rm -rf "$W/aarch64/dist" "$W/aarch64/cmake"
    # The build front end runs here and would describe this machine's
    # interpreter: the target's (under qemu) gives its headers, its
    # extension suffix and numpy's include folder instead, and the wheel
    # takes the target's tag (_PYTHON_HOST_PLATFORM).
    local inc soabi
    read -r inc soabi < <("$v/bin/python" -c 'import sysconfig as s; print(s.get_paths()["include"], s.get_config_var("SOABI"))')
    local args="-DCMAKE_TOOLCHAIN_FILE=$ROOT/scripts/aarch64-linux-gnu.cmake;-DPython_EXECUTABLE=$v/bin/python"
    args+=";-DCMAKE_POLICY_DEFAULT_CMP0190=NEW;-DPython_INCLUDE_DIR=$inc;-DSKBUILD_SOABI=$soabi"
    AARCH64_ROOT=$W/aarch64/root _PYTHON_HOST_PLATFORM=linux-aarch64 SETUPTOOLS_EXT_SUFFIX=".$soabi.so" \
        "$T/python" -m build --wheel --outdir "$W/aarch64/dist" -C build-dir="$W/aarch64/cmake" \
        -C cmake.args="$args" . >"$W/aarch64/build.log" 2>&1 || {
        tail -n 40 "$W/aarch64/build.log" >&2
        exit 1
    }
    local so=$(unzip -Z1 "$W"/aarch64/dist/*.whl | grep '/space_utils\..*so$')
    [ "$so" = "kestrelix_train/utils/space_utils.$soabi.so" ] || { say "aarch64: the wheel holds $so"; exit 1; }
    local wheel=("$W"/aarch64/dist/*linux_aarch64.whl)
    wheel=$(repair "${wheel[0]}" "$W/aarch64/wheelhouse")
    pip_ install --no-deps --upgrade --target "$v/lib/python$CPY/site-packages" "${A64[@]}" "$wheel"
    file "$v/lib/python$CPY/site-packages/$so" >&2
    say "aarch64: the suite under qemu-aarch64 (15 minutes or more)"
    # the installed copy, not the source tree (tests/ puts no source folder
    # ahead of site-packages)
    "$v/bin/python" -m pytest -q -p no:cacheprovider --rootdir "$ROOT" "$ROOT/tests" 2>&1 |
        tee "$W/aarch64/pytest.log" | tail -n 30
    [ "${PIPESTATUS[0]}" = 0 ]
}

# ----------------------------------------------------------------- clang

target_clang() {
    need clang++ "apt-get install --no-install-recommends clang"
    tools
    say "clang: building the wheel with $(clang++ --version | head -n 1)"
    rm -rf "$W/clang"
    mkdir -p "$W/clang"
    CC=clang CXX=clang++ "$T/python" -m build --wheel --outdir "$W/clang/dist" -C build-dir="$W/clang/cmake" . \
        >"$W/clang/build.log" 2>&1 || { tail -n 40 "$W/clang/build.log" >&2; exit 1; }
    local wheel=("$W"/clang/dist/*.whl)
    grep -q "The CXX compiler identification is Clang" "$W/clang/build.log" || {
        say "clang: CMake did not take Clang (build/platforms/clang/build.log)"
        exit 1
    }
    wheel=$(repair "${wheel[0]}" "$W/clang/wheelhouse")
    echo "check_platforms clang: $(basename "$wheel") built with $(clang++ --version | head -n 1), at or below manylinux_2_28"
}

# --------------------------------------------------------- macos, windows

# Debian's source package of CPython (only its upstream tarball is used):
# Include/, which every platform's build shares, and PC/pyconfig.h, the
# configuration the Windows build of CPython compiles with. Into $W/cpython.
cpython_headers() {
    local c=$W/cpython
    [ -f "$c/PC/pyconfig.h" ] && [ -f "$c/Include/Python.h" ] && return 0
    local a=$c/apt
    rm -rf "$c"
    mkdir -p "$a/etc/sources.list.d" "$a/etc/preferences.d" "$a/state/lists/partial" "$a/cache"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && sed 's/^Types: deb$/Types: deb-src/' "$f" >"$a/etc/sources.list.d/${f##*/}"
    done
    if [ -f /etc/apt/sources.list ]; then sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$a/etc/sources.list"; else : >"$a/etc/sources.list"; fi
    : >"$a/status"
    local opts=(-q -o Dir::Etc="$a/etc" -o Dir::Etc::sourcelist="$a/etc/sources.list"
        -o Dir::Etc::sourceparts="$a/etc/sources.list.d" -o Dir::Etc::preferencesparts="$a/etc/preferences.d"
        -o Dir::State="$a/state" -o Dir::State::status="$a/status" -o Dir::Cache="$a/cache" -o Debug::NoLocking=1)
    apt-get "${opts[@]}" update >"$c/apt.log" 2>&1
    # (the upstream tarball is all that is needed; a Debian part missing
    # from a mirror does not matter)
    (cd "$c" && apt-get "${opts[@]}" source --download-only "python$CPY" >>"$c/apt.log" 2>&1) || true
    local tgz=("$c"/python"$CPY"_*.orig.tar.*)
    [ -f "${tgz[0]}" ] || { tail -n 20 "$c/apt.log" >&2; exit 1; }
    tar -xf "${tgz[0]}" -C "$c" --strip-components=1 --wildcards '*/Include/*' '*/PC/pyconfig.h'
}

# numpy's headers from numpy's wheel for a platform: $W/numpy-PLAT/...
numpy_headers() {
    local d=$W/numpy-$1
    if [ ! -f "$d/numpy/_core/include/numpy/_numpyconfig.h" ]; then
        rm -rf "$d"
        pip_ download -d "$d" --no-deps --platform "$1" --python-version "$CPY" --implementation cp \
            --abi "cp${CPY/./}" --only-binary=:all: "$(grep '^numpy==' constraints.txt)"
        unzip -q "$d"/numpy-*.whl 'numpy/_core/include/*' -d "$d"
    fi
    NUMPY_INC=$d/numpy/_core/include
}

zig_cxx() {
    ZIG_GLOBAL_CACHE_DIR=$W/zig-cache ZIG_LOCAL_CACHE_DIR=$W/zig-cache "$T/python" -m ziglang c++ "$@"
}

# Every source the module is built from on any system (static_runtime.cpp
# only goes into the Linux build), with CMakeLists.txt's definitions and its
# GCC/Clang warnings, as errors.
SRC=src/kestrelix_train/utils/space_utils
CXXFLAGS=(-std=c++20 -O2 -fvisibility=hidden -Wall -Wextra -Wpedantic -Werror -Wno-missing-field-initializers
    -fno-strict-aliasing -ffp-contract=off -DNPY_NO_DEPRECATED_API=NPY_1_7_API_VERSION
    -DNPY_TARGET_VERSION=NPY_1_23_API_VERSION)
compile_all() { # OUTDIR FLAGS...
    local out=$1 n=0
    shift
    mkdir -p "$out"
    for f in "$SRC"/*.cpp; do
        [ "${f##*/}" = static_runtime.cpp ] && continue
        zig_cxx "${CXXFLAGS[@]}" "$@" -c "$f" -o "$out/$(basename "$f" .cpp).o"
        n=$((n + 1))
    done
    echo "$n"
}

target_macos() {
    tools
    need dpkg-deb "a Debian system"
    cpython_headers
    arm64_root
    numpy_headers macosx_14_0_arm64
    # No pyconfig.h for macOS is published apart from an installed
    # interpreter; Debian's arm64 one describes the same data model (LP64,
    # little-endian, 64-bit pointers and long) and the same POSIX headers
    # that Python.h reads. The one entry that differs and matters to an
    # extension is long double (8 bytes on Apple's arm64).
    local pc=$W/macos/pyconfig
    rm -rf "$W/macos"
    mkdir -p "$pc"
    sed 's/^#define SIZEOF_LONG_DOUBLE 16$/#define SIZEOF_LONG_DOUBLE 8/' \
        "$W/aarch64/root/usr/include/aarch64-linux-gnu/python$CPY/pyconfig.h" >"$pc/pyconfig.h"
    grep -q '^#define SIZEOF_LONG_DOUBLE 8$' "$pc/pyconfig.h"
    say "macos: compiling for aarch64-macos 14.0 with $(zig_cxx --version | head -n 1)"
    # zig's libc++ is LLVM's with Apple's availability markup switched off;
    # switched on, it holds the module to what the libc++ of macOS 14.0 has
    # (std::to_chars for floats needs 13.3), as Apple's SDK does.
    local n
    n=$(compile_all "$W/macos/obj" -target aarch64-macos.14.0 -Werror=unguarded-availability-new \
        -Werror=unguarded-availability -U_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS \
        -D_LIBCPP_HAS_VENDOR_AVAILABILITY_ANNOTATIONS=1 \
        -isystem "$pc" -isystem "$W/cpython/Include" -isystem "$NUMPY_INC")
    echo "check_platforms macos: $n sources compiled for aarch64-macos 14.0 (availability as errors), no warning; not linked or run"
}

target_windows() {
    tools
    need llvm-readobj "apt-get install --no-install-recommends llvm"
    need llvm-nm "apt-get install --no-install-recommends llvm"
    cpython_headers
    numpy_headers win_amd64
    local o=$W/windows dll="python${CPY/./}"
    rm -rf "$o"
    say "windows: compiling for x86_64-windows-gnu with $(zig_cxx --version | head -n 1)"
    local n
    n=$(compile_all "$o/obj" -target x86_64-windows-gnu -isystem "$W/cpython/PC" -isystem "$W/cpython/Include" \
        -isystem "$NUMPY_INC")
    # The import library of $dll.dll: what the objects import from it, each
    # declared by the headers as the DLL's (PyAPI_FUNC/PyAPI_DATA: referenced
    # through __imp_); a name of Python's referenced otherwise would not be
    # exported by the DLL and fails here.
    llvm-nm --undefined-only --format=just-symbols "$o"/obj/*.o | sort -u >"$o/undefined.txt"
    if grep -E '^_?_?Py' "$o/undefined.txt" >"$o/direct.txt"; then
        say "windows: referenced without the DLL's import declaration:"
        cat "$o/direct.txt" >&2
        exit 1
    fi
    { echo "LIBRARY $dll.dll"; echo "EXPORTS"; sed -n 's/^__imp_\(_\{0,2\}Py.*\)$/    \1/p' "$o/undefined.txt"; } >"$o/$dll.def"
    ZIG_GLOBAL_CACHE_DIR=$W/zig-cache "$T/python" -m ziglang dlltool -d "$o/$dll.def" -l "$o/lib$dll.a" -m i386:x86-64
    say "windows: linking space_utils.pyd against $dll.dll"
    zig_cxx -target x86_64-windows-gnu -shared -s -o "$o/space_utils.pyd" "$o"/obj/*.o "$o/lib$dll.a"
    llvm-readobj --coff-exports "$o/space_utils.pyd" | sed -n 's/^ *Name: //p' >"$o/exports.txt"
    [ "$(cat "$o/exports.txt")" = PyInit_space_utils ] || {
        say "windows: the .pyd exports: $(tr '\n' ' ' <"$o/exports.txt")"
        exit 1
    }
    echo "check_platforms windows: $n sources compiled for x86_64-windows-gnu, no warning; space_utils.pyd linked against $dll.dll ($(grep -c '^    ' "$o/$dll.def") imports), exporting only PyInit_space_utils; not run"
}

[ $# -gt 0 ] || { sed -n '2,5p' "$0" >&2; exit 2; }
for t in "$@"; do
    case $t in
    aarch64 | clang | macos | windows) "target_$t" ;;
    *)
        say "unknown target $t (aarch64, macos, windows, clang)"
        exit 2
        ;;
    esac
done
