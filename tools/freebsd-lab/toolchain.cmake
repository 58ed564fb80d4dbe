# Cross-build of the module for FreeBSD 14.2 amd64 against a real FreeBSD
# tree: Debian's clang-19 and lld-19, the unpacked tree (MORVEX_FREEBSD_SYSROOT
# in the environment) as sysroot, so the FreeBSD branch of CMakeLists.txt
# links FreeBSD's own libc, libthr, libkvm, libutil and libdevstat.
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.2)
set(CMAKE_SYSTEM_PROCESSOR amd64)
set(CMAKE_SYSROOT $ENV{MORVEX_FREEBSD_SYSROOT})
set(CMAKE_CXX_COMPILER /usr/lib/llvm-19/bin/clang++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-freebsd14.2)
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
