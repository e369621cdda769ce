#!/usr/bin/env bash
# What QGIS Processing adds to a raster run: `qgis_process run tarnivale_ai:raster_inference` against
# `tarnivale-ai run` on the same request, with QGIS's own start-up (`qgis_process help` of the same
# algorithm: QGIS, the plugins and the provider loaded, nothing run) measured apart. Rounds interleave the
# three commands, alternating which of the two runs goes first. Target: the Processing run at most 1.10 x the
# command plus QGIS's start-up.
#   bench/qgis_overhead.sh [BUILD_DIR] [SIZE] [ROUNDS]     (after `make qgis-plugin`)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
size=${2:-2048}
rounds=${3:-5}
zip=${QGIS_PLUGIN_ZIP:-$build/tarnivale_ai_processing.zip}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cli=$build/tools/tarnivale-ai
qgis=$(command -v qgis_process.bin || command -v qgis_process)

# The demo scene with a light nine-band CNN (dynamic_world_cnn.onnx, 3.9 GFLOP per 512 x 512 tile): a run of
# a few seconds at 2048 x 2048.
/usr/bin/python3 "$root/tools/demo/make_demo_data.py" "$work/data" "$size" >/dev/null
cat >"$work/manifest.json" <<'JSON'
{"schemaVersion": "1.0", "id": "land-cover-cnn", "version": "bench", "modelPath": "x",
 "inputs": [{"name": "input", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
 "outputs": [{"name": "logits", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
 "inputAdapters": [{"tensor": "input", "bands": [1, 2, 3, 4, 5, 6, 7, 8, 9]}],
 "outputDecoders": [{"id": "classes", "tensor": "logits", "activation": "softmax"}],
 "normalization": {"scale": 0.0001},
 "tiling": {"width": 512, "height": 512, "overlapX": 32, "overlapY": 32}}
JSON
"$cli" package create --manifest "$work/manifest.json" --model "$build/test-models/dynamic_world_cnn.onnx" \
    --output "$work/package" >/dev/null

/usr/bin/python3 -m zipfile -e "$zip" "$work/plugins"
export QT_QPA_PLATFORM=offscreen QGIS_PLUGINPATH="$work/plugins" XDG_DATA_HOME="$work/profile" \
    XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" TARNIVALE_AI_LIBRARY="$build/src/libtarnivale-ai.so.0"
mkdir -m 700 "$work/runtime"
unset PYTHONPATH
"$qgis" plugins enable tarnivale_ai_processing >/dev/null 2>&1
mkdir -p "$work/out"

# elapsed_us COMMAND...: wall time of a command in microseconds; its output is discarded.
elapsed_us() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    echo $(( (end - start) / 1000 ))
}
run_cli() { "$cli" run --package "$work/package" --raster "$work/data/scene.tif" --output "$work/out/cli-$1.tif"; }
run_qgis() {
    "$qgis" run tarnivale_ai:raster_inference -- "PACKAGE=$work/package" "INPUT=$work/data/scene.tif" \
        "OUTPUT=$work/out/qgis-$1.tif"
}
start_qgis() { "$qgis" help tarnivale_ai:raster_inference; }

run_qgis warm >/dev/null 2>&1  # a first start fills the profile and the caches; not counted
rows=()
for round in $(seq 1 "$rounds"); do
    if [ $((round % 2)) -eq 1 ]; then
        c=$(elapsed_us run_cli "$round"); q=$(elapsed_us run_qgis "$round")
    else
        q=$(elapsed_us run_qgis "$round"); c=$(elapsed_us run_cli "$round")
    fi
    s=$(elapsed_us start_qgis)
    cmp -s <(gdalinfo -checksum "$work/out/cli-$round.tif" | grep Checksum) \
        <(gdalinfo -checksum "$work/out/qgis-$round.tif" | grep Checksum) || { echo "outputs differ" >&2; exit 1; }
    rows+=("$c $q $s")
done
/usr/bin/python3 - "$size" "$rounds" "${rows[@]}" <<'PY'
import statistics
import sys
size, rounds = sys.argv[1], int(sys.argv[2])
rows = [[int(value) / 1e6 for value in row.split()] for row in sys.argv[3:]]
cli, qgis, start = (statistics.median(column) for column in zip(*rows))
ratio = (qgis - start) / cli
print(f"raster_inference on a {size} x {size} x 9 scene (dynamic_world_cnn, 25 tiles), {rounds} interleaved rounds:")
for index, (c, q, s) in enumerate(rows, 1):
    print(f"  round {index}: command {c:.2f} s, qgis_process run {q:.2f} s, QGIS start-up {s:.2f} s, "
          f"(run - start-up) / command {(q - s) / c:.3f}")
print(f"  medians: command {cli:.2f} s, qgis_process run {qgis:.2f} s, QGIS start-up {start:.2f} s")
print(f"  (run - start-up) / command = {ratio:.3f} (target <= 1.10) {'OK' if ratio <= 1.10 else 'MISSED'}")
PY
