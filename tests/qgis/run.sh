#!/usr/bin/env bash
# The QGIS provider's tests: the plugin as `make qgis-plugin` ships it (extracted from the zip, its bundled
# package alone on the path), then the in-process checks of progress and cancellation.
#   tests/qgis/run.sh BUILD_DIR PLUGIN_ZIP
set -euo pipefail
build=$(cd "$1" && pwd)
zip=$(realpath "$2")
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 -m zipfile -e "$zip" "$work/plugins"
export TARNIVALE_CLI="$build/tools/tarnivale-ai"
export TARNIVALE_AI_LIBRARY="$build/src/libtarnivale-ai.so.0"
export TARNIVALE_TEST_MODELS="$build/test-models"
export TARNIVALE_QGIS_PLUGIN="$work/plugins"
unset TARNIVALE_PYTHONPATH
/usr/bin/python3 "$source_dir/tests/qgis/qgis_process_test.py"
/usr/bin/python3 "$source_dir/tests/qgis/in_process_test.py"
