#!/bin/sh
# Runs each fuzz target for SECONDS seconds on a copy of its seed corpus and prints
# one summary line per target. Exits 1 when any target found a crash.
# Usage: run_fuzzers.sh BINARY_DIR SECONDS TARGET...
set -u
bin_dir=$1
seconds=$2
shift 2
seeds=$(dirname "$0")/corpus
# UBSan findings must stop the run like ASan's; leaks are reported too.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

status=0
summary=""
for target in "$@"; do
    corpus_name=${target#fuzz_}
    work=$bin_dir/work/$corpus_name
    log=$bin_dir/work/$target.log
    mkdir -p "$work" "$bin_dir/artifacts"
    echo "== $target: ${seconds}s, corpus $work (seeds $seeds/$corpus_name)"
    "$bin_dir/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$bin_dir/artifacts/$target-" "$work" "$seeds/$corpus_name" >"$log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    if [ "$rc" -eq 0 ]; then
        result="no crash"
    else
        result="CRASH (exit $rc), see $log and $bin_dir/artifacts/"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*check failed|.*runtime error)' "$log" | head -n 5
        status=1
    fi
    summary="$summary$(printf '%-20s %12s executions %8s/s  %s' "$target" "${runs:-?}" "${rate:-?}" "$result")
"
done
echo "== fuzz summary (${seconds}s per target)"
printf '%s' "$summary"
exit $status
