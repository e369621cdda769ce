#!/usr/bin/env bash
# The demo's job on a small scene, its outputs opened with gdalinfo and ogrinfo.
#   demo_test.sh TARNIVALE_AI SOURCE_DIR
set -euo pipefail
cli=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

bash "$source_dir/tools/demo/run_demo.sh" "$cli" "$work/demo" 256 >"$work/log"
grep -q "Task dynamic-world completed" "$work/log"
grep -q "Polygons: " "$work/log"
grep -q "not the Dynamic World network" "$work/log"

info=$(gdalinfo "$work/demo/land-cover.tif")
echo "$info" | grep -q "Size is 256, 256"
echo "$info" | grep -q "Type=Int32"
echo "$info" | grep -q "TARNIVALE_PROVENANCE="
echo "$info" | grep -q "TARNIVALE_PROVENANCE_SHA256="
echo "$info" | grep -q 'ID\["EPSG",32633\]'
preview=$(gdalinfo "$work/demo/land-cover-preview.tif")
echo "$preview" | grep -q "ColorInterp=Alpha"
[ "$(echo "$preview" | grep -c "Type=Byte")" -eq 4 ]

polygons=$(grep "Polygons: " "$work/log" | sed 's/Polygons: //')
ogrinfo -so "$work/demo/land-cover.gpkg" classes | grep -q "Feature Count: $polygons"
ogrinfo -so "$work/demo/land-cover.shp" land-cover | grep -q "Feature Count: $polygons"
ogrinfo -so "$work/demo/land-cover.shp" land-cover | grep -q "class_id: Integer"
echo "demo outputs check out ($polygons polygons)"
