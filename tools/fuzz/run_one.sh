#!/bin/sh
# One libFuzzer target for a number of seconds (see run.sh): prints its
# summary line; exit status 1 on a crash, which is minimised into the
# committed corpus. SECONDS 0: the corpus is run once and nothing new is tried.
#   run_one.sh TARGET SECONDS
set -eu
cd "$(dirname "$0")/../.."
OUT=build/fuzz

# Leak detection is off: the interpreter keeps what it caches for the life of
# the process, and the handles the platform hands out are counted by the
# targets themselves (check-asan and check-leaks watch the module's heap). An
# allocation of more than 8 GiB fails as on FreeBSD (a null pointer), which
# the module must turn into MemoryError.
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=8192:detect_odr_violation=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

name=$1 seconds=$2
corpus=tests/fuzz/corpus/$name
work=$OUT/work/$name
log=$OUT/logs/$name.log
mkdir -p "$work" "$corpus" $OUT/crashes $OUT/logs
# Inputs up to twice the largest seed (libFuzzer's default is the largest).
largest=$(find "$corpus" -type f -printf '%s\n' | sort -n | tail -1)
max_len=$(( ${largest:-2048} * 2 ))
[ $max_len -ge 4096 ] || max_len=4096
if [ "$seconds" -eq 0 ]; then length="-runs=0"; else length="-max_total_time=$seconds"; fi
status=0
start=$(date +%s)
"$OUT/bin/$name" $length -timeout=30 -rss_limit_mb=8192 \
    -malloc_limit_mb=8192 -max_len=$max_len -dict=tests/fuzz/morvex.dict \
    -artifact_prefix="$OUT/crashes/$name-" -print_final_stats=1 \
    "$work" "$corpus" >"$log" 2>&1 || status=$?
elapsed=$(( $(date +%s) - start ))
stats=$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED)' "$log" | tail -1 |
    sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+) corp: ([^ ]+).*exec\/s: ([0-9]+).*/cov \1 ft \2 corpus \3 exec\/s \4/')
runs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
if [ $status -eq 0 ]; then
    printf '%-26s ok     %s runs %s\n' "$name" "$stats" "${runs:-?}"
    exit 0
fi
crash=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
found=$(grep -E '^#[0-9]+' "$log" | tail -1 | sed -E 's/^#([0-9]+).*/\1/')
printf '%-26s CRASH  after %s s, about %s runs; %s\n' "$name" "$elapsed" "${found:-?}" \
    "${crash:-no input written}"
grep -E 'ERROR:|runtime error|AssertionError|Error:|SUMMARY' "$log" | head -5 | sed 's/^/    /'
if [ -n "$crash" ] && [ -f "$crash" ]; then
    min=$OUT/crashes/$name-minimised
    "$OUT/bin/$name" -minimize_crash=1 -max_total_time=60 -timeout=30 \
        -exact_artifact_path="$min" "$crash" >"$log.minimise" 2>&1 || true
    [ -s "$min" ] || cp "$crash" "$min"
    keep="$corpus/regress-$(sha1sum "$min" | cut -c1-12)"
    cp "$min" "$keep"
    echo "    minimised into $keep (commit it with the fix); log: $log"
fi
exit 1

