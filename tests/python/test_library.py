"""Loading the library, the signed registry, the catalogue query and object detection."""

import base64
import hashlib
import json
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest
from osgeo import _gdal, gdal

import tarnivale_ai as tai
from conftest import make_package, write_raster

PACKAGE_DIRECTORY = os.path.dirname(os.path.dirname(tai.__file__))


@pytest.mark.parametrize("environment, call, named", [
    ("/nonexistent/libtarnivale-ai.so.0", "tai.available_providers()", "/nonexistent/libtarnivale-ai.so.0 (absent)"),
    ("", f"tai.load_library({__file__!r})", __file__),  # not a shared object
    ("", f"tai.load_library({_gdal.__file__!r})", "undefined symbol: TarnivaleAI_"),  # another library
])
def test_a_wrong_library_path_raises_library_not_found(environment, call, named):
    # In a child process: this session's library stays loaded.
    script = f"import tarnivale_ai as tai\ntry:\n    {call}\nexcept tai.LibraryNotFoundError as e:\n" \
             "    print(isinstance(e, OSError), e.message)\n"
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True,
                           env={**os.environ, "PYTHONPATH": PACKAGE_DIRECTORY, "TARNIVALE_AI_LIBRARY": environment})
    assert child.stdout.startswith("True Tarnivale.AI library not found; tried: ")
    assert named in child.stdout


@pytest.mark.parametrize("versions", [2, 80])  # 80 entries answer more than the first buffer holds
def test_registry_sign_resolve_and_install(tmp_path, versions):
    weights = b"model weights\n"
    (tmp_path / "mirror").mkdir()
    (tmp_path / "mirror" / f"seg-1.{versions}.tvmodel").write_bytes(weights)
    key = base64.b64encode(b"publisher key").decode()
    entries = [{"id": "seg", "version": f"1.{minor}", "artifactUrl": f"https://models.example/seg-1.{minor}",
                "artifactSha256": hashlib.sha256(weights).hexdigest(), "license": "MIT",
                "licenseUrl": "https://opensource.org/license/mit", "minimumSdkVersion": "2.0"}
               for minor in range(1, versions + 1)]
    index = json.dumps(tai.registry_sign({"signingKeyBase64": key, "entries": entries}))
    request = {"trustedKeyBase64": key, "signedIndex": index, "id": "seg", "sdkVersion": "2.5"}
    assert tai.registry_resolve(request)["version"] == f"1.{versions}"
    installed = tai.registry_install({**request, "offlineMirrorDirectory": str(tmp_path / "mirror"),
                                      "destinationDirectory": str(tmp_path / "models")})
    assert open(installed["installedPath"], "rb").read() == weights
    for change, message in [({"trustedKeyBase64": "b3RoZXI="}, "Registry index signature verification failed"),
                            ({"sdkVersion": "1"}, "No compatible model registry entry")]:
        with pytest.raises(tai.TarnivaleError) as caught:
            tai.registry_resolve({**request, **change})
        assert caught.value.message == message


def test_catalog_query():
    catalog = {"items": [{"id": "lake", "crs": "EPSG:32633", "caption": "A lake beside a forest"},
                         {"id": "town", "crs": "EPSG:32633", "caption": "Roofs of a small town"}]}
    found = tai.run_catalog_query(catalog, {"text": "LAKE"})
    assert [result["itemId"] for result in found["results"]] == ["lake"]
    with pytest.raises(tai.TarnivaleError, match=r"^VLM maximumResults must be between 1 and 100\.$"):
        tai.run_catalog_query(catalog, {"maximumResults": 101})


def test_sliced_object_detection_with_progress(tmp_path):
    manifest = json.loads((pathlib.Path(__file__).parents[1] / "fixtures" / "manifests" /
                           "detection_squares.json").read_text())
    package = make_package(tmp_path / "squares", manifest, "detection_squares.onnx")
    pixels = np.full((3, 200, 300), 51, np.uint8)
    for x, y, band in ((20, 20, 0), (58, 10, 1), (150, 58, 0), (290, 190, 1)):
        pixels[band, y:y + 10, x:x + 10] = 255
    raster = write_raster(tmp_path / "squares.tif", pixels, gdal.GDT_Byte)
    windows = []
    found = tai.run_object_detection({"packagePath": package, "rasterPath": raster, "mode": "sliced",
                                      "overlapX": 16, "overlapY": 16, "scoreThreshold": 0.2},
                                     lambda done, total, *_: windows.append((done, total)))
    assert sorted((d["label"], d["xMin"], d["yMin"]) for d in found["detections"]) == [
        ("green", 58, 10), ("green", 290, 190), ("red", 20, 20), ("red", 150, 58)]
    assert windows[-1][0] == windows[-1][1] > 1
