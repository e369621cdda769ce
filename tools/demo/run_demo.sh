#!/usr/bin/env bash
# The demo's job, given a built tarnivale-ai: generate the bundled default scene and the demonstration
# land-cover package, run the "dynamic-world" task on it with the command-line front end, export the class
# GeoTIFF (with provenance), the colour preview, the polygons and a Shapefile, and say what came out.
#   run_demo.sh TARNIVALE_AI OUTPUT_DIR [SIZE]
set -euo pipefail
cli=$1
out=$2
size=${3:-1024}
here=$(cd "$(dirname "$0")" && pwd)

# The demo owns its output folder: a previous run's files are replaced.
rm -rf "$out"
mkdir -p "$out/inputs"
/usr/bin/python3 "$here/make_demo_data.py" "$out/inputs" "$size"
"$cli" package create --manifest "$out/inputs/manifest.json" --model "$out/inputs/demo_land_cover.onnx" \
    --output "$out/package"

start=$(date +%s%N)
"$cli" task dynamic-world --package "$out/package" --raster "$out/inputs/scene.tif" \
    --validity-mask "$out/inputs/validity.tif" --threads "$(nproc)" \
    --export-geotiff "$out/land-cover.tif" --export-preview "$out/land-cover-preview.tif" \
    --export-polygons "$out/land-cover.gpkg" --export-shapefile "$out/land-cover.shp"
end=$(date +%s%N)

echo
echo "Demo scene: $size x $size pixels, nine Sentinel-2-like bands (synthetic), a cloud masked out."
echo "Model: a demonstration model (spectral-index rules as an ONNX graph), not the Dynamic World network."
echo "Wall time of the task command: $(( (end - start) / 1000000 )) ms."
echo "Outputs in $out:"
for f in land-cover.tif land-cover-preview.tif land-cover.gpkg land-cover.shp land-cover.shx land-cover.dbf land-cover.prj; do
    printf '  %-24s %8d bytes\n' "$f" "$(stat -c %s "$out/$f")"
done
