# Cross-build of the module for FreeBSD amd64 against a real FreeBSD tree:
# Debian's clang-19 and lld-19, the unpacked tree (MORVEX_FREEBSD_SYSROOT in
# the environment) as sysroot and the release's target triple
# (MORVEX_FREEBSD_TRIPLE, e.g. x86_64-unknown-freebsd15.1), so the FreeBSD
# branch of CMakeLists.txt links that release's own libc, libthr, libkvm,
# libutil and libdevstat.
set(CMAKE_SYSTEM_NAME FreeBSD)
string(REGEX REPLACE "^.*-freebsd" "" CMAKE_SYSTEM_VERSION "$ENV{MORVEX_FREEBSD_TRIPLE}")
set(CMAKE_SYSTEM_PROCESSOR amd64)
set(CMAKE_SYSROOT $ENV{MORVEX_FREEBSD_SYSROOT})
set(CMAKE_CXX_COMPILER /usr/lib/llvm-19/bin/clang++)
set(CMAKE_CXX_COMPILER_TARGET $ENV{MORVEX_FREEBSD_TRIPLE})
set(CMAKE_AR /usr/lib/llvm-19/bin/llvm-ar)
set(CMAKE_RANLIB /usr/lib/llvm-19/bin/llvm-ranlib)
set(CMAKE_CXX_FLAGS_INIT "-Werror")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld")
# Libraries and headers from the tree only; the Python headers are named
# explicitly (Python_INCLUDE_DIR) and the interpreter that FindPython asks
# is the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
