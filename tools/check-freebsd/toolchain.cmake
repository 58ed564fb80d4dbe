# Cross-build of the module for x86_64 FreeBSD (14, or the release
# MORVEX_FREEBSD_TARGET names) through the project's own
# CMakeLists.txt, so its FreeBSD branch is what builds and links.
#
# The compiler is zig's clang (zig-c++ here; MORVEX_ZIG in the environment
# names the zig binary), which links against stubs of FreeBSD's libc, libthr
# and libutil made from FreeBSD's ABI lists. libkvm and libdevstat have no
# such list: run.sh makes stubs of them from the headers in include/ and
# names their folder in MORVEX_FREEBSD_STUBS.
set(CMAKE_SYSTEM_NAME FreeBSD)
if("$ENV{MORVEX_FREEBSD_TARGET}" MATCHES "freebsd\\.([0-9]+\\.[0-9]+)")
  set(CMAKE_SYSTEM_VERSION ${CMAKE_MATCH_1})
else()
  set(CMAKE_SYSTEM_VERSION 14.0)
endif()
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)

# Python.h is the host interpreter's (the free-threaded 3.13 build, its
# include folder in MORVEX_PY_INCLUDE); pyconfig_freebsd.h is where its
# configuration would be corrected for FreeBSD. include/ holds the libkvm and
# libdevstat headers zig lacks.
set(CMAKE_CXX_FLAGS_INIT "-isystem $ENV{MORVEX_PY_INCLUDE} -include ${CMAKE_CURRENT_LIST_DIR}/pyconfig_freebsd.h -isystem ${CMAKE_CURRENT_LIST_DIR}/include -Werror")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-L$ENV{MORVEX_FREEBSD_STUBS}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-L$ENV{MORVEX_FREEBSD_STUBS}")

