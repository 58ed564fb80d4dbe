#!/bin/sh
# The module's source coverage by each fuzz target's corpus (the committed
# one, and what the last check-fuzz or fuzz-long run added in
# build/fuzz/work), measured with clang's source coverage (llvm-cov) on a
# build of the module of its own (build/fuzz-cov): for each target, the
# code regions covered in the module functions its corpus reaches.
#   coverage.sh [TARGET...]
# Needs what tools/fuzz/build.sh installs and builds.
set -eu
cd "$(dirname "$0")/../.."
CACHE="${MORVEX_CACHE:-$HOME/.cache/morvex}"
PYTHON_FT="$(sh tools/cache.sh path python3.13t)/bin/python3.13t"
LLVM=16
CXX=clang++-$LLVM
OUT=build/fuzz-cov

.venv/bin/cmake -S . -B $OUT/cmake -G Ninja -DCMAKE_CXX_COMPILER=$CXX \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVEX_SANITIZE=coverage \
    -DPython_EXECUTABLE="$PYTHON_FT" -DCMAKE_MAKE_PROGRAM="$(pwd)/.venv/bin/ninja" >/dev/null
.venv/bin/cmake --build $OUT/cmake >/dev/null
.venv/bin/cmake --install $OUT/cmake --prefix "$(pwd)/$OUT/site" >/dev/null

# One replaying executable for every target (named by MORVEX_FUZZ_TARGET).
PREFIX=$("$PYTHON_FT" -c 'import sys; print(sys.base_prefix)')
INCLUDE=$("$PYTHON_FT" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
LIBDIR=$("$PYTHON_FT" -c 'import sysconfig; print(sysconfig.get_config_var("LIBDIR"))')
LIB=$("$PYTHON_FT" -c 'import sysconfig; print("python" + sysconfig.get_config_var("LDVERSION"))')
$CXX -std=c++20 -O1 -fsanitize=fuzzer -I"$INCLUDE" -DMORVEX_FUZZ_HOME="\"$PREFIX\"" \
    -DMORVEX_FUZZ_PATH="\"$(pwd)/$OUT/site:$(pwd)/tests/fuzz\"" tests/fuzz/harness.cpp \
    -o $OUT/replay -L"$LIBDIR" -Wl,-rpath,"$LIBDIR" -l"$LIB"
MODULE=$(ls $OUT/site/_morvex_bsd*.so)

# What the module's start-up runs (libFuzzer then tries one empty input): its functions
# count as reached only where the inputs run them more often.
profile() {  # profile NAME STRICT DIR... -> $OUT/NAME.json
    pname=$1 pstrict=$2
    shift 2
    rm -rf $OUT/prof && mkdir -p $OUT/prof
    LLVM_PROFILE_FILE="$(pwd)/$OUT/prof/%p.profraw" MORVEX_FUZZ_TARGET=$pname \
        MORVEX_FUZZ_STRICT=$pstrict $OUT/replay -runs=0 -timeout=60 -rss_limit_mb=8192 \
        -malloc_limit_mb=8192 "$@" >$OUT/replay.log 2>&1 || {
        echo "$pname: the corpus does not replay (see $OUT/replay.log)" >&2
        exit 1
    }
    llvm-profdata-$LLVM merge -sparse $OUT/prof/*.profraw -o $OUT/$pname.profdata
    llvm-cov-$LLVM export -format=text -skip-expansions -instr-profile=$OUT/$pname.profdata \
        "$MODULE" >$OUT/$pname.json
}
mkdir -p $OUT/empty
profile args 0 $OUT/empty
mv $OUT/args.json $OUT/start-up.json

[ $# -gt 0 ] || set -- $(.venv/bin/python tests/fuzz/targets.py --list | cut -d' ' -f1)
printf '%-26s %s\n' target "regions covered in the module functions reached (functions)"
.venv/bin/python tests/fuzz/targets.py --list | while read -r name strict; do
    case " $* " in *" $name "*) ;; *) continue ;; esac
    dirs="tests/fuzz/corpus/$name"
    [ -d "build/fuzz/work/$name" ] && dirs="build/fuzz/work/$name $dirs"
    # shellcheck disable=SC2086
    profile "$name" "$strict" $dirs
    .venv/bin/python -c '
import json, sys
src, name, out = sys.argv[1:4]
def functions(path):
    with open(path) as f:
        return json.load(f)["data"][0]["functions"]
start = {f["name"]: f["count"] for f in functions(f"{out}/start-up.json")}
regions = covered = funcs = 0
for f in functions(f"{out}/{name}.json"):
    if f["count"] <= start.get(f["name"], 0) or not any(n.startswith(src) for n in f["filenames"]):
        continue
    funcs += 1
    for r in f["regions"]:
        # [line start, col, line end, col, count, file, expanded file, kind]
        if r[7] != 0:
            continue
        regions += 1
        covered += r[4] > 0
print(f"{name:<26} {covered}/{regions} ({100 * covered // max(regions, 1)}%) ({funcs})")
' "$(pwd)/src/" "$name" "$OUT"
done
