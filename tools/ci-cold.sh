#!/bin/sh
# CI as a new machine runs it: .ci/run in a fresh clone of the current commit
# (uncommitted changes are not in it), with shared/ beside the clone as CI
# has it, CI=true, no standard input, an empty cache of its own
# (MORVEX_CACHE) and an empty pip cache, both in a temporary folder that is
# removed at the end (CI_COLD_KEEP=1 keeps it). What the machine has
# installed system-wide (Debian packages the scripts installed) stays: that
# is the one thing a new machine has less of.
#
# Everything .ci/run prints goes to a log file (its path is printed first);
# the terminal gets the step lines as they start and end, and at the end the
# table of step times. Long: run it in the background, e.g.
#   nohup make ci-cold >ci-cold.out 2>&1 &
# Environment: CI_COLD_DIR (where the temporary folder goes, default
# /var/tmp), CI_COLD_LOG (the log file, default build/ci-cold/...).
# Exits with .ci/run's status.
set -eu
cd "$(dirname "$0")/.."
REPO=$(pwd -P)
REV=$(git rev-parse HEAD)
SHORT=$(git rev-parse --short HEAD)
SHARED=$(cd "$REPO/.." && pwd -P)/shared
[ -d "$SHARED" ] || { echo "ci-cold: no shared/ beside the repository ($SHARED)" >&2; exit 1; }
W=$(mktemp -d "${CI_COLD_DIR:-/var/tmp}/morvex-ci-cold.XXXXXX")
LOG=${CI_COLD_LOG:-$REPO/build/ci-cold/$(date +%Y%m%d-%H%M%S)-$SHORT.log}
mkdir -p "$(dirname "$LOG")"
cleanup() {
    if [ "${CI_COLD_KEEP:-0}" = 1 ]; then
        echo "ci-cold: kept $W"
    else
        rm -rf "$W"
    fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

echo "ci-cold: commit $SHORT, in $W, log $LOG"
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "ci-cold: the work tree has uncommitted changes: they are not in the run"
fi
git clone -q --no-hardlinks "$REPO" "$W/main"
git -C "$W/main" checkout -q "$REV"
ln -s "$SHARED" "$W/shared"
mkdir -p "$W/cache" "$W/pip-cache"

t0=$(date +%s)
status=0
# Only the step lines reach the terminal: "== make ..." as a step starts,
# "make ...  N min SS s" as it ends.
(
    cd "$W/main"
    rc=0
    env CI=true MORVEX_CACHE="$W/cache" PIP_CACHE_DIR="$W/pip-cache" bash .ci/run </dev/null || rc=$?
    echo "ci-cold: .ci/run exited $rc"
    echo "$rc" >"$W/rc"
) 2>&1 | tee "$LOG" | grep --line-buffered -E '^(== |ci-cold: |[a-z].* +[0-9]+ min [0-9]{2} s$)' || true
status=$(cat "$W/rc" 2>/dev/null || echo 1)
t=$(( $(date +%s) - t0 ))
echo "ci-cold: commit $SHORT, empty cache, $((t / 60)) min $((t % 60)) s in all, exit $status"
echo "ci-cold: the step table:"
sed -n '/^== times$/,$p' "$LOG" | sed 1d
echo "ci-cold: the whole log: $LOG"
exit "$status"
