#!/usr/bin/env bash
# tarnivale-ai as a user drives it: each subcommand's success path on generated data, usage errors, a failing
# package, --json output that parses, and Ctrl-C during a slow task.
#   cli_test.sh TARNIVALE_AI SOURCE_DIR TEST_MODEL_DIR
set -uo pipefail
cli=$1
source_dir=$2
models=$3
# Manifests shared with the Python and QGIS suites.
manifests=$source_dir/tests/fixtures/manifests
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# run EXPECTED_STATUS NAME ARGS...: runs the CLI, keeping stdout in $work/out and stderr in $work/err.
run() {
    local expected=$1 name=$2
    shift 2
    "$cli" "$@" >"$work/out" 2>"$work/err"
    local status=$?
    if [ "$status" -ne "$expected" ]; then
        fail "$name: exit $status, expected $expected; stderr: $(cat "$work/err")"
        return 1
    fi
    return 0
}

parses() {
    /usr/bin/python3 -c 'import json, sys; json.load(sys.stdin)' <"$work/out" || fail "$1: --json output does not parse"
}

# The error is the last line of stderr (progress lines come before it).
stderr_is() {
    local expected=$1 name=$2
    if [ "$(tail -n 1 "$work/err")" != "$expected" ]; then
        fail "$name: stderr ends '$(tail -n 1 "$work/err")', expected '$expected'"
    fi
}

data=$work/data
/usr/bin/python3 "$source_dir/tools/demo/make_demo_data.py" "$data" 96 || { echo "cannot make data"; exit 1; }
/usr/bin/python3 "$source_dir/tools/demo/make_demo_data.py" "$work/other" 64 >/dev/null

# Information commands.
run 0 providers providers && grep -qx CPU "$work/out" || fail "providers: no CPU line"
run 0 "providers --json" providers --json && parses "providers --json"
run 0 "diagnostics --json" diagnostics --model "$data/demo_land_cover.onnx" --json && parses diagnostics
grep -q '"modelCompatible":true' "$work/out" || fail "diagnostics: model not compatible"
run 0 "--help" --help && grep -q "package create" "$work/out" || fail "--help lists no commands"
for command in providers diagnostics inspect run detect task "package create" "package check" catalog \
    "registry resolve" "registry install" "registry sign"; do
    # shellcheck disable=SC2086
    run 0 "$command --help" $command --help && grep -q "^Usage: tarnivale-ai" "$work/out" || fail "$command --help"
done

# Usage errors: status 2 and a helpful line.
run 2 "no arguments"
run 2 "unknown command" frobnicate && grep -q "unknown command 'frobnicate'" "$work/err" || fail "unknown command message"
run 2 "missing option" run --raster x.tif --output y.tif && grep -q "missing required option --package" "$work/err" ||
    fail "missing option message"
run 2 "bad number" run --package p --raster r --output o --threads lots && grep -q -- "--threads must be" "$work/err" ||
    fail "bad number message"
run 2 "unknown option" providers --colour && grep -q "Try 'tarnivale-ai providers --help'." "$work/err" ||
    fail "unknown option hint"
run 2 "package without subcommand" package
run 2 "registry without subcommand" registry

# Packages.
run 0 "package create" package create --manifest "$data/manifest.json" --model "$data/demo_land_cover.onnx" \
    --output "$work/package" && grep -q "^Created" "$work/out" || fail "package create summary"
test -f "$work/package/tarnivale-model.json" || fail "package create wrote no manifest"
run 0 "package check" package check "$work/package"
run 0 "inspect --json" inspect "$work/package" --json && parses inspect
run 1 "package create into a full directory" package create --manifest "$data/manifest.json" \
    --model "$data/demo_land_cover.onnx" --output "$work/package"
cp -r "$work/package" "$work/tampered"
printf 'x' >>"$work/tampered/demo_land_cover.onnx"
run 1 "tampered package" package check "$work/tampered"
stderr_is "tarnivale-ai: Package model SHA-256 does not match the manifest." "tampered package"

# The model registry: a publisher signs, a user resolves and installs from an offline mirror.
registry=$work/registry
mkdir -p "$registry/mirror"
printf 'model weights\n' >"$registry/mirror/seg-1.2.tvmodel"
sha=$(sha256sum "$registry/mirror/seg-1.2.tvmodel" | cut -d' ' -f1)
cat >"$registry/entries.json" <<JSON
[{"id": "seg", "version": "1.2", "artifactUrl": "https://models.example/seg-1.2", "artifactSha256": "$sha",
  "license": "MIT", "licenseUrl": "https://opensource.org/license/mit", "minimumSdkVersion": "2.0"},
 {"id": "seg", "version": "1.10", "artifactUrl": "https://models.example/seg-1.10", "artifactSha256": "$sha",
  "license": "MIT", "licenseUrl": "https://opensource.org/license/mit", "minimumSdkVersion": "3.0"}]
JSON
key=$(printf 'publisher key' | base64)
run 0 "registry sign" registry sign --entries "$registry/entries.json" --key-base64 "$key" && parses "registry sign"
cp "$work/out" "$registry/index.json"
run 0 "registry resolve" registry resolve --index "$registry/index.json" --key-base64 "$key" --id seg --sdk 2.5 &&
    parses "registry resolve"
grep -q '"artifactFileName":"seg-1.2.tvmodel"' "$work/out" || fail "registry resolve: not 1.2 for SDK 2.5"
run 1 "registry resolve, other key" registry resolve --index "$registry/index.json" --key-base64 b3RoZXI= --id seg \
    --sdk 2.5
stderr_is "tarnivale-ai: Registry index signature verification failed" "registry resolve, other key"
run 1 "registry resolve, nothing compatible" registry resolve --index "$registry/index.json" --key-base64 "$key" \
    --id seg --sdk 1
stderr_is "tarnivale-ai: No compatible model registry entry" "registry resolve, nothing compatible"
run 2 "registry resolve, key not Base64" registry resolve --index "$registry/index.json" --key-base64 'not base64!' \
    --id seg --sdk 2
run 0 "registry install --help" registry install --help && grep -q "no network fetcher" "$work/out" ||
    fail "registry install --help does not say it is offline only"
run 1 "registry install, over budget" registry install --index "$registry/index.json" --key-base64 "$key" --id seg \
    --sdk 2.5 --mirror "$registry/mirror" --destination "$registry/models" --max-bytes 13
stderr_is "tarnivale-ai: Model artifact exceeds byte budget" "registry install, over budget"
run 0 "registry install" registry install --index "$registry/index.json" --key-base64 "$key" --id seg --sdk 2.5 \
    --mirror "$registry/mirror" --destination "$registry/models" --max-bytes 14 &&
    grep -q "^Installed seg 1.2 from the offline mirror" "$work/out" || fail "registry install summary"
cmp -s "$registry/mirror/seg-1.2.tvmodel" "$registry/models/seg-1.2.tvmodel" || fail "registry install: wrong bytes"
run 1 "registry install, absent from the mirror" registry install --index "$registry/index.json" --key-base64 "$key" \
    --id seg --sdk 3 --mirror "$registry/mirror" --destination "$registry/models" --json
stderr_is "tarnivale-ai: Model is absent from the offline mirror" "registry install, absent from the mirror"

# A synchronous raster run.
run 0 run run --package "$work/package" --raster "$data/scene.tif" --output "$work/run.tif" \
    --preview "$work/run-preview.tif" --tile 64,64,8,8 --threads 2 --json && parses run
gdalinfo "$work/run.tif" 2>/dev/null | grep -q "TARNIVALE_PROVENANCE_SHA256=" || fail "run: no provenance in the output"
test -f "$work/run-preview.tif" || fail "run: no preview"
run 1 "run, failing package" run --package "$work/tampered" --raster "$data/scene.tif" --output "$work/no.tif"
stderr_is "tarnivale-ai: Package model SHA-256 does not match the manifest." "run, failing package"
test ! -e "$work/no.tif" || fail "a failed run left an output"

# A task with every export.
run 0 task task dynamic-world --package "$work/package" --raster "$data/scene.tif" \
    --validity-mask "$data/validity.tif" --threads 2 --export-geotiff "$work/classes.tif" \
    --export-shapefile "$work/classes.shp" --export-preview "$work/preview.tif" --export-polygons "$work/classes.gpkg" \
    --export-cog "$work/classes-cog.tif" || true
for f in classes.tif classes.shp classes.shx classes.dbf classes.prj preview.tif classes.gpkg classes-cog.tif; do
    test -f "$work/$f" || fail "task: $f not exported"
done
grep -q "^Polygons: " "$work/out" || fail "task: no polygon count in the summary"
gdalinfo "$work/classes-cog.tif" 2>/dev/null | grep -q "LAYOUT=COG" || fail "task --export-cog: not a COG"
[ "$(gdalinfo "$work/classes.tif" | grep TARNIVALE_PROVENANCE_SHA256)" = \
    "$(gdalinfo "$work/classes-cog.tif" | grep TARNIVALE_PROVENANCE_SHA256)" ] || fail "task --export-cog: provenance"
ogrinfo -so -al "$work/classes.shp" 2>/dev/null | grep -q "class_id" || fail "task: Shapefile has no class_id"
run 1 "task exporting over an existing file" task dynamic-world --package "$work/package" --raster "$data/scene.tif" \
    --validity-mask "$data/validity.tif" --export-geotiff "$work/classes.tif"
stderr_is "tarnivale-ai: Export destination exists." "existing export"
run 0 "task --json" task dynamic-world --package "$work/package" --raster "$data/scene.tif" \
    --validity-mask "$data/validity.tif" --json && parses "task --json"
peak=$(/usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["peakMemoryBytes"])' <"$work/out")
run 0 "task --estimate" task dynamic-world --package "$work/package" --raster "$data/scene.tif" \
    --validity-mask "$data/validity.tif" --estimate --json && parses "task --estimate"
grep -q "\"peakMemoryBytes\":$peak," "$work/out" || fail "task --estimate: '$(cat "$work/out")', the run's peak $peak"
run 1 "task --max-memory" task dynamic-world --package "$work/package" --raster "$data/scene.tif" \
    --validity-mask "$data/validity.tif" --max-memory 1000
stderr_is "tarnivale-ai: The run needs an estimated $peak bytes of memory, above --max-memory 1000." \
    "task --max-memory"
run 1 "task --estimate, no estimate" task prithvi-flood --package "$work/package" --raster "$data/scene.tif" --estimate
stderr_is "tarnivale-ai: AI task kind has no estimate: prithvi-flood" "task --estimate, no estimate"
run 1 "task, wrong mask" task dynamic-world --package "$work/package" --raster "$data/scene.tif" \
    --validity-mask "$work/other/validity.tif"
stderr_is "tarnivale-ai: Validity mask dimensions differ from the input raster." "task, wrong mask"
run 1 "task, bad deadline from the library" task dynamic-world --package "$work/package" --raster "$data/scene.tif" \
    --validity-mask "$data/validity.tif" --request /nonexistent.json

# SAM3 tasks on the generated bundles: a click selects the object under it; the text bundle's synthetic
# tokenizer is not the pinned asset, which the command line reports.
gdal_translate -q -b 1 -b 2 -b 3 -ot Byte -scale -co PHOTOMETRIC=RGB "$data/scene.tif" "$work/rgb.tif" ||
    fail "cannot make the RGB scene"
run 0 "task sam3-tracker" task sam3-tracker --package "$models/sam3-tracker" --raster "$work/rgb.tif" \
    --point 10,10 --point 80,80,neg --coordinate-space pixel --export-geotiff "$work/selection.tif" || true
grep -q "^Draft result: 1 instances" "$work/out" || fail "sam3-tracker: no draft summary"
test -f "$work/selection.tif" || fail "sam3-tracker: selection not exported"
run 1 "task sam3-text, unpinned tokenizer" task sam3-text --package "$models/sam3-text" --raster "$work/rgb.tif" \
    --text building
stderr_is "tarnivale-ai: Unsupported SAM3 tokenizer asset; revalidate a new profile before use." "sam3-text"
run 2 "task sam3-tracker, bad point" task sam3-tracker --package "$models/sam3-tracker" --raster "$work/rgb.tif" \
    --point 10
run 1 "task sam3-text with a point" task sam3-text --package "$models/sam3-text" --raster "$work/rgb.tif" \
    --text building --point 1,1
stderr_is "tarnivale-ai: Text mode uses window for a raster ROI; point/box prompts require sam3-tracker." "sam3-text point"

# A building task on the generated three-head model; the threshold is the library's to check.
run 0 "hotosm package" package create --manifest "$manifests/hotosm_buildings.json" \
    --model "$models/building_heads.onnx" --output "$work/hotosm-package"
run 0 "task hotosm-buildings" task hotosm-buildings --package "$work/hotosm-package" --raster "$work/rgb.tif" \
    --threshold 0.9 --export-shapefile "$work/buildings.shp"
test -f "$work/buildings.shp" || fail "hotosm-buildings: polygons not exported"
run 1 "task hotosm-buildings, threshold 1.5" task hotosm-buildings --package "$work/hotosm-package" \
    --raster "$work/rgb.tif" --threshold 1.5
stderr_is "tarnivale-ai: Building threshold must be between zero and one." "hotosm threshold"

# A catalogue query.
cat >"$work/catalog.json" <<'JSON'
{"items": [{"id": "lake", "crs": "EPSG:32633", "caption": "A lake beside a forest"},
           {"id": "town", "crs": "EPSG:32633", "caption": "Roofs of a small town"}]}
JSON
echo '{"text": "lake"}' >"$work/query.json"
run 0 catalog catalog "$work/catalog.json" "$work/query.json" && grep -q "lake" "$work/out" || fail "catalog: no lake"
run 0 "catalog --json" catalog "$work/catalog.json" "$work/query.json" --json && parses catalog

# detect: the square detector over a 300 x 200 scene of small squares, one-shot and sliced.
run 0 "detection package" package create --manifest "$manifests/detection_squares.json" \
    --model "$models/detection_squares.onnx" --output "$work/detect-package"
/usr/bin/python3 - "$work/squares.tif" <<'PY'
import sys
import numpy as np
from osgeo import gdal, osr
pixels = np.full((3, 200, 300), 51, dtype=np.uint8)
for x, y, band in ((20, 20, 0), (58, 10, 1), (150, 58, 0), (290, 190, 1)):
    pixels[band, y:y + 10, x:x + 10] = 255
dataset = gdal.GetDriverByName("GTiff").Create(sys.argv[1], 300, 200, 3, gdal.GDT_Byte)
dataset.SetGeoTransform((500000, 10, 0, 4100000, 0, -10))
crs = osr.SpatialReference()
crs.ImportFromEPSG(32633)
dataset.SetProjection(crs.ExportToWkt())
dataset.WriteRaster(0, 0, 300, 200, pixels.tobytes())
dataset = None
PY
features() {
    # The dataset is kept in a name: a layer outlives a temporary dataset only as a dangling pointer.
    /usr/bin/python3 -c 'import sys; from osgeo import gdal; d = gdal.OpenEx(sys.argv[1]); print(d.GetLayerByName("detections").GetFeatureCount())' "$1"
}
run 0 "detect --sliced" detect --package "$work/detect-package" --raster "$work/squares.tif" \
    --output "$work/sliced.gpkg" --sliced --overlap 16 --score 0.2 &&
    grep -q "^Wrote 4 detection(s) to $work/sliced.gpkg" "$work/out" || fail "detect --sliced summary: $(cat "$work/out")"
[ "$(features "$work/sliced.gpkg")" = 4 ] || fail "detect --sliced: not 4 features"
run 0 "detect one-shot --json" detect --package "$work/detect-package" --raster "$work/squares.tif" \
    --output "$work/one-shot.gpkg" --json && parses "detect --json"
grep -q '"featureCount":0' "$work/out" || fail "detect one-shot: small squares found at model scale"
run 1 "detect onto an existing file" detect --package "$work/detect-package" --raster "$work/squares.tif" \
    --output "$work/sliced.gpkg" --sliced
stderr_is "tarnivale-ai: Detection output already exists: $work/sliced.gpkg" "detect onto an existing file"
run 2 "detect --tile without --sliced" detect --package "$work/detect-package" --raster "$work/squares.tif" \
    --output "$work/x.gpkg" --tile 64
grep -qx "tarnivale-ai: --tile needs --sliced" "$work/err" || fail "detect --tile without --sliced: $(cat "$work/err")"
run 2 "detect --score 2" detect --package "$work/detect-package" --raster "$work/squares.tif" \
    --output "$work/x.gpkg" --score 2

# A third-party one-band probability network as a user packages it: "x" [1, 3, H, W] -> [1, 1, H, W], an adapter
# reading band 1 three times and a decoder thresholding at 0.3. The run's defaults take both from the package.
cat >"$work/probability.json" <<'JSON'
{"schemaVersion": "1.0", "id": "mean-probability", "version": "1", "task": "semantic_segmentation",
 "modelPath": "mean_probability.onnx",
 "inputs": [{"name": "x", "dataType": "Float32", "layout": "NCHW", "shape": [1, 3, -1, -1]}],
 "outputs": [{"name": "probability", "dataType": "Float32", "layout": "NCHW", "shape": [1, 1, -1, -1]}],
 "inputAdapters": [{"tensor": "x", "source": "raster", "bands": [1, 1, 1]}],
 "outputDecoders": [{"id": "roofs", "tensor": "probability", "activation": "none", "threshold": 0.3}],
 "normalization": {"scale": 0.00392156862745098},
 "tiling": {"width": 256, "height": 256, "overlapX": 0, "overlapY": 0}}
JSON
/usr/bin/python3 - "$work/photo.tif" <<'PY' || fail "cannot write the photograph"
import sys
import numpy as np
from osgeo import gdal, osr
rows, columns = np.mgrid[0:900, 0:1100]
values = ((columns * 7 + rows * 13) % 256).astype(np.uint8)
dataset = gdal.GetDriverByName("GTiff").Create(sys.argv[1], 1100, 900, 1, gdal.GDT_Byte)
dataset.SetGeoTransform([500000, 0.5, 0, 4200000, 0, -0.5])
srs = osr.SpatialReference()
srs.ImportFromEPSG(32633)
dataset.SetProjection(srs.ExportToWkt())
dataset.GetRasterBand(1).WriteArray(values)
PY
run 0 "package create, probability" package create --manifest "$work/probability.json" \
    --model "$models/mean_probability.onnx" --output "$work/probability"
run 0 "inspect, adapters and decoders" inspect "$work/probability"
grep -q "^adapters: x <- raster bands 1,1,1" "$work/out" || fail "inspect lists no adapter: $(cat "$work/out")"
grep -q "^decoders: roofs (probability, none, threshold 0.3)" "$work/out" || fail "inspect lists no decoder"
# mask_is FILE EXPECTATION: the class mask against the photograph (v / 255 >= 0.3 exactly when v >= 77).
mask_is() {
    /usr/bin/python3 - "$work/photo.tif" "$1" "$2" <<'PY'
import sys
from osgeo import gdal
photo = gdal.Open(sys.argv[1]).ReadAsArray()
mask = gdal.Open(sys.argv[2]).ReadAsArray()
expected = (photo >= 77).astype(mask.dtype) if sys.argv[3] == "thresholded" else 0 * mask
sys.exit(0 if (mask == expected).all() else 1)
PY
}
run 0 "run with the package's adapter and decoder" run --package "$work/probability" --raster "$work/photo.tif" \
    --output "$work/roofs.tif" --json && parses "run, probability"
mask_is "$work/roofs.tif" thresholded || fail "run: the mask is not the thresholded probability"
peak=$(/usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["peakMemoryBytes"])' <"$work/out")
run 0 "run --no-decoder" run --package "$work/probability" --raster "$work/photo.tif" --output "$work/raw.tif" \
    --no-decoder
mask_is "$work/raw.tif" zero || fail "run --no-decoder: the argmax of one channel is not all 0"
run 1 "run --decoder unknown" run --package "$work/probability" --raster "$work/photo.tif" \
    --output "$work/none.tif" --decoder walls
stderr_is "tarnivale-ai: The model package has no output decoder 'walls'." "run --decoder unknown"
run 0 "run --cog" run --package "$work/probability" --raster "$work/photo.tif" --output "$work/roofs-cog.tif" --cog
mask_is "$work/roofs-cog.tif" thresholded || fail "run --cog: a different mask"
gdalinfo "$work/roofs-cog.tif" >"$work/cog-info" 2>/dev/null
grep -q "LAYOUT=COG" "$work/cog-info" || fail "run --cog: not a COG layout"
grep -q "COMPRESSION=DEFLATE" "$work/cog-info" || fail "run --cog: not DEFLATE"
grep -q "Overviews: 550x450, 275x225" "$work/cog-info" || fail "run --cog: overviews $(grep Overviews "$work/cog-info")"
grep -q "TARNIVALE_PROVENANCE_SHA256=" "$work/cog-info" || fail "run --cog: provenance lost"
# The estimate runs nothing and predicts the run's own accounting; a budget below it refuses the run.
run 0 "run --estimate" run --package "$work/probability" --raster "$work/photo.tif" --output "$work/never.tif" \
    --estimate --json && parses "run --estimate"
estimate=$(/usr/bin/python3 -c 'import json, sys; d = json.load(sys.stdin); print(d["peakMemoryBytes"], d["totalTiles"])' \
    <"$work/out")
[ "$estimate" = "$peak 20" ] || fail "run --estimate: '$estimate', the run reported peak $peak over 20 tiles"
test ! -e "$work/never.tif" || fail "run --estimate wrote an output"
run 0 "run --estimate, text" run --package "$work/probability" --raster "$work/photo.tif" --output "$work/never.tif" \
    --estimate && grep -q "^Estimate: 1100 x 900, 20 tiles, peak memory $peak bytes" "$work/out" ||
    fail "run --estimate: '$(cat "$work/out")'"
run 1 "run --max-memory" run --package "$work/probability" --raster "$work/photo.tif" --output "$work/never.tif" \
    --max-memory 1000000
stderr_is "tarnivale-ai: The run needs an estimated $peak bytes of memory, above --max-memory 1000000." \
    "run --max-memory"
test ! -e "$work/never.tif" || fail "run --max-memory wrote an output"

# Ctrl-C during a slow task: status 130 and no task workspace left.
cat >"$work/slow-manifest.json" <<'JSON'
{"schemaVersion": "1.0", "id": "google-dynamicworld", "version": "slow", "modelPath": "x",
 "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
 "outputs": [{"name": "scores", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
 "inputAdapters": [{"tensor": "image", "bands": [1, 2, 3, 4, 5, 6, 7, 8, 9]}],
 "outputDecoders": [{"id": "classes", "tensor": "scores", "activation": "softmax"}],
 "tiling": {"width": 64, "height": 64, "overlapX": 8, "overlapY": 8}}
JSON
run 0 "slow package" package create --manifest "$work/slow-manifest.json" --model "$models/dynamic_world_slow.onnx" \
    --output "$work/slow-package"
/usr/bin/python3 "$source_dir/tools/demo/make_demo_data.py" "$work/big" 512 >/dev/null
mkdir -p "$work/tmp"
TMPDIR="$work/tmp" "$cli" task dynamic-world --package "$work/slow-package" --raster "$work/big/scene.tif" \
    --validity-mask "$work/big/validity.tif" --threads 1 >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 1 6000); do  # a bound that only a hang reaches (sanitizer builds under load are slow)
    grep -q "Processed AI tile" "$work/err" && break
    sleep 0.05
done
grep -q "Processed AI tile" "$work/err" || fail "slow task: no progress seen"
test -n "$(ls -A "$work/tmp")" || fail "slow task: no workspace while running"
kill -INT "$pid"
wait "$pid"
status=$?
[ "$status" -eq 130 ] || fail "Ctrl-C: exit $status, expected 130"
tail -n 1 "$work/err" | grep -qx "tarnivale-ai: Interrupted." || fail "Ctrl-C: last line '$(tail -n 1 "$work/err")'"
[ -z "$(ls -A "$work/tmp")" ] || fail "Ctrl-C left $(ls -A "$work/tmp")"

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)" >&2
    exit 1
fi
echo "all CLI checks passed"
