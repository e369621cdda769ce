#!/usr/bin/env bash
# What the command line adds to a raster run: `tarnivale-ai run` (process start, library load, arguments,
# the run, its output) against the same run through TarnivaleAI_RunRasterInference in a loaded process.
# Target: at most 50 ms more.
#   bench/cli_overhead.sh [BUILD_DIR] [SIZE] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
size=${2:-1024}
runs=${3:-7}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 "$root/tools/demo/make_demo_data.py" "$work/data" "$size" >/dev/null
"$build/tools/tarnivale-ai" package create --manifest "$work/data/manifest.json" \
    --model "$work/data/demo_land_cover.onnx" --output "$work/package" >/dev/null
mkdir -p "$work/out"

# Warm: the median call in a process that has already loaded and initialised the library.
reference=$("$build/bench/bench_cli_reference" "$work/package" "$work/data/scene.tif" "$work/out" "$runs")
# Fresh: a C host process started for one call, timed from outside like the command.
fresh_times=()
for i in $(seq 1 "$runs"); do
    mkdir -p "$work/fresh-$i"
    start=$(date +%s%N)
    "$build/bench/bench_cli_reference" "$work/package" "$work/data/scene.tif" "$work/fresh-$i" 1 >/dev/null
    end=$(date +%s%N)
    fresh_times+=("$(( (end - start) / 1000 ))")
done
fresh=$(printf '%s\n' "${fresh_times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
times=()
for i in $(seq 1 "$runs"); do
    start=$(date +%s%N)
    "$build/tools/tarnivale-ai" run --package "$work/package" --raster "$work/data/scene.tif" \
        --output "$work/out/cli-$i.tif" >/dev/null 2>&1
    end=$(date +%s%N)
    times+=("$(( (end - start) / 1000 ))")
done
cli=$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(( (runs + 1) / 2 ))p")
/usr/bin/python3 - "$reference" "$fresh" "$cli" "$size" "$runs" <<'PY'
import sys
reference, fresh, cli, size, runs = (float(sys.argv[1]), int(sys.argv[2]) / 1000.0, int(sys.argv[3]) / 1000.0,
                                     sys.argv[4], sys.argv[5])
added = cli - fresh
print(f"tarnivale-ai run on a {size} x {size} x 9 scene, medians of {runs}:")
print(f"  command {cli:.1f} ms; a C host process making the same call {fresh:.1f} ms (both with process start "
      f"and library load): the command adds {added:.1f} ms (target <= 50 ms) {'OK' if added <= 50 else 'MISSED'}")
print(f"  the call alone in a process that has already made one: {reference:.1f} ms "
      f"(the {fresh - reference:.0f} ms between are loading the libraries and their first-call set-up)")
PY
