#!/bin/sh
# Build the libFuzzer targets of tests/fuzz: Debian's clang and libFuzzer
# (installed here when missing), the module and the stand-in built by
# CMakeLists.txt with MORVEX_SANITIZE=fuzzer (AddressSanitizer, UBSan and
# coverage) into build/fuzz/site, and one executable per target in
# build/fuzz/bin. Needs the free-threaded interpreter and .venv (make does
# both first).
set -eu
cd "$(dirname "$0")/../.."
CACHE="${MORVEX_CACHE:-$HOME/.cache/morvex}"
PYTHON_FT="$(sh tools/cache.sh path python3.13t)/bin/python3.13t"
LLVM=16
OUT=build/fuzz
VPY=.venv/bin/python

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
if ! command -v clang++-$LLVM >/dev/null 2>&1 || [ ! -f /usr/lib/llvm-$LLVM/lib/libFuzzer.a ] ||
   ! command -v llvm-profdata-$LLVM >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends clang-$LLVM libfuzzer-$LLVM-dev \
        libclang-rt-$LLVM-dev llvm-$LLVM >/dev/null
fi
CXX=clang++-$LLVM

# The module, the stand-in library and its control module, instrumented.
.venv/bin/cmake -S . -B $OUT/cmake -G Ninja -DCMAKE_CXX_COMPILER=$CXX \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVEX_SANITIZE=fuzzer \
    -DPython_EXECUTABLE="$PYTHON_FT" -DCMAKE_MAKE_PROGRAM="$(pwd)/.venv/bin/ninja" >/dev/null
.venv/bin/cmake --build $OUT/cmake
.venv/bin/cmake --install $OUT/cmake --prefix "$(pwd)/$OUT/site" >/dev/null

# One executable per target; the harness embeds the interpreter.
PREFIX=$("$PYTHON_FT" -c 'import sys; print(sys.base_prefix)')
INCLUDE=$("$PYTHON_FT" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
LIBDIR=$("$PYTHON_FT" -c 'import sysconfig; print(sysconfig.get_config_var("LIBDIR"))')
LIB=$("$PYTHON_FT" -c 'import sysconfig; print("python" + sysconfig.get_config_var("LDVERSION"))')
mkdir -p $OUT/bin
$VPY tests/fuzz/targets.py --list | while read -r name strict; do
    bin=$OUT/bin/$name
    if [ -f "$bin" ] && [ "$bin" -nt tests/fuzz/harness.cpp ] && [ "$bin" -nt tools/fuzz/build.sh ]; then
        continue
    fi
    $CXX -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer \
        -fno-sanitize-recover=undefined -I"$INCLUDE" \
        -DMORVEX_FUZZ_TARGET="\"$name\"" -DMORVEX_FUZZ_STRICT="$strict" \
        -DMORVEX_FUZZ_HOME="\"$PREFIX\"" \
        -DMORVEX_FUZZ_PATH="\"$(pwd)/$OUT/site:$(pwd)/tests/fuzz\"" \
        tests/fuzz/harness.cpp -o "$bin" -L"$LIBDIR" -Wl,-rpath,"$LIBDIR" -l"$LIB"
done
echo "fuzz targets built in $OUT/bin"
