#!/bin/sh
# Run the libFuzzer targets (built by tools/fuzz/build.sh).
#   run.sh check SECONDS         every target for SECONDS, two at a time (the
#                                machine's two cores), after replaying its
#                                committed corpus
#   run.sh replay                every target over its committed corpus once,
#                                no new inputs (what CI runs)
#   run.sh long TARGET SECONDS   one target for longer
# New inputs go to build/fuzz/work/<target>, never into the committed corpus
# (tests/fuzz/corpus/<target>), which is replayed first. A crash is written to
# build/fuzz/crashes, minimised, and the minimised input put into the
# committed corpus as regress-<hash>, to be committed with the fix; the run
# then fails.
set -eu
cd "$(dirname "$0")/../.."
OUT=build/fuzz
MODE=${1:?check or long}

case $MODE in
check|replay)
    if [ $MODE = replay ]; then SECONDS_EACH=0; else SECONDS_EACH=${2:?seconds per target}; fi
    [ -d $OUT/bin ] || { echo "fuzz: no targets built (tools/fuzz/build.sh)" >&2; exit 2; }
    rm -rf $OUT/work $OUT/logs
    results=$(mktemp)
    trap 'rm -f "$results"' EXIT
    status=0
    ls $OUT/bin | xargs -P 2 -I{} sh tools/fuzz/run_one.sh {} "$SECONDS_EACH" >"$results" ||
        status=1
    sort "$results"
    if [ $status -ne 0 ]; then
        echo "check-fuzz: crashes above" >&2
        exit 1
    fi
    if [ $MODE = replay ]; then
        echo "check-fuzz: $(ls $OUT/bin | wc -l) targets, committed corpus replayed, no crash"
    else
        echo "check-fuzz: $(ls $OUT/bin | wc -l) targets, ${SECONDS_EACH} s each, no crash"
    fi
    ;;
long)
    sh tools/fuzz/run_one.sh "${2:?target}" "${3:?seconds}"
    ;;
*)
    echo "run.sh check SECONDS | run.sh replay | run.sh long TARGET SECONDS" >&2
    exit 2
    ;;
esac
