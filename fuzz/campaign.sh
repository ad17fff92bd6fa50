#!/usr/bin/env bash
# Runs fuzz targets for a fixed number of executions each and prints the counts libFuzzer
# reports. Usage: fuzz/campaign.sh BUILD_DIR TARGET=RUNS [TARGET=RUNS ...]
# Example: fuzz/campaign.sh build-fuzz cleaner=2500000 ifexpr=2500000
# Corpora grow under BUILD_DIR/corp/TARGET, findings land in BUILD_DIR/artifacts, and each
# run's log in BUILD_DIR/logs/TARGET.log. Seeds come from fuzz/seeds.sh.
set -u
build=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
[ -d "$build/seeds" ] || "$here/seeds.sh" "$build/seeds"
mkdir -p "$build/artifacts" "$build/logs"
status=0
for spec in "$@"; do
    target=${spec%%=*}
    runs=${spec#*=}
    max_len=65536
    case $runs in *:*) max_len=${runs#*:}; runs=${runs%%:*} ;; esac
    mkdir -p "$build/corp/$target" "$build/seeds/$target"
    # A hang is a run over one second.
    nice "$build/fuzz/fuzz_$target" -runs="$runs" -timeout=1 -rss_limit_mb=2048 \
        -max_len="$max_len" -dict="$here/idl.dict" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" \
        "$build/corp/$target" "$build/seeds/$target" >"$build/logs/$target.log" 2>&1
    rc=$?
    done_runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/logs/$target.log" |
                grep -o '[0-9]*$' | tail -1)
    echo "$target: exit $rc, ${done_runs:-?} executions"
    [ "$rc" -eq 0 ] || status=1
done
exit $status
