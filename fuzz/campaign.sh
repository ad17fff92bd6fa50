#!/usr/bin/env bash
# Runs fuzz targets for a fixed number of executions each and prints the counts libFuzzer
# reports. Usage: fuzz/campaign.sh BUILD_DIR TARGET=RUNS[:MAX_LEN] [TARGET=RUNS[:MAX_LEN] ...]
# Example: fuzz/campaign.sh build-fuzz cleaner=2500000 ifexpr=2500000:256
# Corpora grow under BUILD_DIR/corp/TARGET, findings land in BUILD_DIR/artifacts, and each
# run's log in BUILD_DIR/logs/TARGET.log. Seeds come from fuzz/seeds.sh.
#
# The runs use libFuzzer's fork mode with FUZZ_JOBS workers (default 2). A crash, a leak or an
# out-of-memory ends the run; a timeout (over one second in the instrumented build) is saved
# as an artifact and fuzzing goes on, so that one slow input does not end a long campaign.
# Time each saved timeout in an uninstrumented replay build (see README.md): a hang is an
# input over one second there.
set -u
build=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
jobs=${FUZZ_JOBS:-2}
[ -d "$build/seeds" ] || "$here/seeds.sh" "$build/seeds"
mkdir -p "$build/artifacts" "$build/logs"
status=0
for spec in "$@"; do
    target=${spec%%=*}
    runs=${spec#*=}
    max_len=65536
    case $runs in *:*) max_len=${runs#*:}; runs=${runs%%:*} ;; esac
    mkdir -p "$build/corp/$target" "$build/seeds/$target"
    log="$build/logs/$target.log"
    nice "$build/fuzz/fuzz_$target" -fork="$jobs" -ignore_timeouts=1 -ignore_ooms=0 \
        -ignore_crashes=0 -runs="$runs" -timeout=1 -rss_limit_mb=2048 \
        -max_len="$max_len" -dict="$here/idl.dict" \
        -artifact_prefix="$build/artifacts/$target-" \
        "$build/corp/$target" "$build/seeds/$target" >"$log" 2>&1
    rc=$?
    # The last progress line holds the executions of all workers and the findings.
    last=$(grep -E '^#[0-9]+: ' "$log" | tail -1)
    done_runs=$(printf '%s\n' "$last" | sed -E 's/^#([0-9]+):.*/\1/')
    findings=$(printf '%s\n' "$last" | grep -oE 'oom/timeout/crash: [0-9/]+')
    echo "$target: exit $rc, ${done_runs:-?} executions, ${findings:-no progress line}"
    [ "$rc" -eq 0 ] || status=1
done
exit $status
