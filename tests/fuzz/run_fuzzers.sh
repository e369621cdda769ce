#!/usr/bin/env bash
# Runs the libFuzzer targets of a fuzz build, each door for a bounded time, and summarises them.
#   tests/fuzz/run_fuzzers.sh BUILD_DIR SECONDS [DOOR...]        (no door: every door)
# Environment: FUZZ_TIMEOUT (seconds per input, default 60), FUZZ_RSS_MB (default 4096).
# Each door fuzzes from its seeds (tests/fuzz/<door>/, read only) and its growing corpus in
# BUILD_DIR/fuzz/corpus/<door>/; crashes, leaks, timeouts and out-of-memory inputs are saved in
# BUILD_DIR/fuzz/artifacts/<door>/ and the run's output in BUILD_DIR/fuzz/<door>.log.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR SECONDS [DOOR...]" >&2; exit 2; }
build=$(cd "$1" && pwd) || exit 2
seconds=$2
shift 2
all=(catalog-query runtime-diagnostics package-inspection sam3-manifest raster-inference object-detection task
     model-registry)
doors=("$@")
[ ${#doors[@]} -gt 0 ] || doors=("${all[@]}")
case "$seconds" in '' | *[!0-9]*) echo "FUZZ_SECONDS must be a whole number of seconds" >&2; exit 2 ;; esac

symbolizer=$(command -v llvm-symbolizer || true)
# The fast unwinder on malloc, unlike `make test-asan`: the slow one makes every allocation hundreds of times
# dearer (20 instead of 10000 raster requests in 20 s). A leak whose stack stops inside ONNX Runtime is rerun
# with ASAN_OPTIONS=fast_unwind_on_malloc=0 (given options come last and win).
export ASAN_OPTIONS="detect_leaks=1:malloc_context_size=64:strict_string_checks=1:check_initialization_order=1${symbolizer:+:external_symbolizer_path=$symbolizer}${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

summary=()
failed=0
for door in "${doors[@]}"; do
    binary="$build/tests/fuzz/fuzz_${door//-/_}"
    if [ ! -d "$root/tests/fuzz/$door" ] || [ ! -x "$binary" ]; then
        echo "unknown door or missing fuzzer: $door (doors: ${all[*]})" >&2
        exit 2
    fi
    corpus="$build/fuzz/corpus/$door"
    artifacts="$build/fuzz/artifacts/$door"
    scratch="$build/fuzz/tmp/$door"
    log="$build/fuzz/$door.log"
    rm -rf "$scratch"
    mkdir -p "$corpus" "$artifacts" "$scratch"
    echo "== fuzz $door for ${seconds}s"
    # stdin from /dev/null: nothing the library opens can wait for a terminal.
    TMPDIR="$scratch" "$binary" -max_total_time="$seconds" -timeout="${FUZZ_TIMEOUT:-60}" \
        -rss_limit_mb="${FUZZ_RSS_MB:-4096}" -detect_leaks=1 -max_len=16384 -print_final_stats=1 \
        -dict="$here/fuzz.dict" -artifact_prefix="$artifacts/" "$corpus" "$here/$door" \
        </dev/null 2>&1 | tee "$log" | grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|tarnivale-fuzz \[|ERROR:|SUMMARY|ALARM|out-of-memory|deadly signal|Test unit written|^Done'
    status=${PIPESTATUS[0]}
    rm -rf "$scratch"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    if [ "$status" -eq 0 ]; then
        summary+=("$(printf '%-20s clean   %8s runs %6s exec/s' "$door" "${runs:-?}" "${speed:-?}")")
    else
        failed=1
        summary+=("$(printf '%-20s FAILED (exit %s), see %s and %s' "$door" "$status" "$log" "$artifacts/")")
    fi
done

echo "== fuzz summary (${seconds}s per door)"
printf '%s\n' "${summary[@]}"
exit "$failed"
