# Cross-compiling for Linux aarch64 with Debian's cross compiler
# (g++-aarch64-linux-gnu), against the headers of an arm64 Debian root
# (scripts/check_platforms.sh aarch64 makes one): the environment's
# AARCH64_ROOT names it. Python_EXECUTABLE is that root's interpreter run
# under qemu (a script that re-enters the emulator), so that FindPython and
# numpy's include folder describe the target, not this machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
if(NOT DEFINED ENV{AARCH64_ROOT})
  message(FATAL_ERROR "AARCH64_ROOT must name the arm64 Debian root")
endif()
# Debian's <python3.X/pyconfig.h> includes <aarch64-linux-gnu/python3.X/pyconfig.h>:
# the root's include folder is searched last, after the cross compiler's own
# C library headers.
set(CMAKE_CXX_FLAGS_INIT "-idirafter $ENV{AARCH64_ROOT}/usr/include")
# FindPython asks the target's interpreter (its extension suffix among
# others) only when told how to run it (and with policy CMP0190 new, which
# the command line sets: -DCMAKE_POLICY_DEFAULT_CMP0190=NEW): the
# interpreter named is already a script that enters the emulator, so the
# prefix runs it unchanged.
set(CMAKE_CROSSCOMPILING_EMULATOR env)
set(CMAKE_FIND_ROOT_PATH $ENV{AARCH64_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
