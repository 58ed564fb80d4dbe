#!/bin/sh
# The module's coverage by each fuzz target's corpus (the committed one and
# what the last check-fuzz or fuzz-long run added in build/fuzz/work), by
# libFuzzer's own counters: the edges covered in the module's functions
# (src/) that the corpus reaches, out of those functions' edges.
#   coverage.sh [TARGET...]
set -eu
cd "$(dirname "$0")/../.."
OUT=build/fuzz
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=8192"
[ $# -gt 0 ] || set -- $(ls $OUT/bin)
printf '%-26s %s\n' target "module edges covered / in the functions reached (functions)"
for name in "$@"; do
    dirs="tests/fuzz/corpus/$name"
    [ -d "$OUT/work/$name" ] && dirs="$OUT/work/$name $dirs"
    # shellcheck disable=SC2086
    "$OUT/bin/$name" -runs=0 -print_coverage=1 -timeout=30 -rss_limit_mb=8192 \
        -malloc_limit_mb=8192 $dirs 2>&1 |
        awk -v name="$name" -v src="$(pwd)/src/" '
            /^COVERED_FUNC:/ && index($0, src) {
                split($5, e, "/"); covered += e[1]; total += e[2]; funcs++ }
            END { printf "%-26s %d / %d (%d)\n", name, covered, total, funcs }'
done
