"""Runtime information, package inspection, raster runs with progress, estimates, COG copies, errors."""

import os
import shutil

import pytest
from osgeo import gdal

import tarnivale_ai as tai
from conftest import MODELS, classes_of


def test_information_and_a_package_path_beyond_the_basic_plane(files, tmp_path):
    assert os.path.samefile(tai.library_path(), os.environ["TARNIVALE_AI_LIBRARY"])
    assert "CPU" in tai.available_providers()
    diagnostics = tai.runtime_diagnostics({"provider": "CPU", "modelPath": os.path.join(MODELS, "identity.onnx")})
    assert diagnostics["ready"] and diagnostics["modelCompatible"]
    # Accents and a character outside the basic plane (a surrogate pair in UTF-16) survive both ways.
    moved = shutil.copytree(files["package"], tmp_path / "pakèt-\U0001D11E")
    inspection = tai.inspect_package(moved)
    assert inspection["valid"], inspection["validationErrors"]
    assert inspection["directoryPath"] == str(moved)
    assert inspection["manifest"]["labels"][8] == "snow_and_ice"


def test_raster_run_with_progress_estimate_and_cog_copy(files, tmp_path):
    request = {"modelPackagePath": files["package"], "rasterPath": files["raster"], "useInputAdapter": True,
               "outputPath": str(tmp_path / "classes.tif")}
    estimate = tai.estimate_raster_inference(request)
    assert not (tmp_path / "classes.tif").exists()
    calls = []
    result = tai.run_raster_inference(request, lambda *call: calls.append(call))
    assert [call[0] for call in calls] == list(range(1, 7))
    assert calls[-1] == (6, 6, 100, "Processed AI tile 6 of 6.")
    assert (result["processedTiles"], result["peakMemoryBytes"]) == (estimate["totalTiles"],
                                                                     estimate["peakMemoryBytes"])
    assert (gdal.Open(result["outputPath"]).ReadAsArray() == classes_of(160, 96)).all()

    copied = tai.copy_as_cloud_optimized_geotiff(result["outputPath"], tmp_path / "classes-cog.tif")
    cog = gdal.Open(copied["outputPath"])
    assert cog.GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE") == "COG"
    assert (cog.ReadAsArray() == classes_of(160, 96)).all()


@pytest.mark.parametrize("raised", [ValueError("stop showing"), KeyboardInterrupt()])
def test_a_raising_progress_callback_lets_the_run_finish_and_comes_back(files, tmp_path, raised):
    calls = []

    def progress(*call):
        calls.append(call)
        if len(calls) == 2:
            raise raised

    output = tmp_path / "classes.tif"
    with pytest.raises(type(raised)) as caught:
        tai.run_raster_inference({"modelPackagePath": files["package"], "rasterPath": files["raster"],
                                  "outputPath": str(output)}, progress)
    assert caught.value is raised
    assert len(calls) == 2  # the later calls were skipped
    assert output.exists()  # the run went on to the end


@pytest.mark.parametrize("call, message", [
    (lambda f: tai.inspect_package(f["directory"] / "absent"),
     "Could not open AI model manifest: {directory}/absent/tarnivale-model.json"),
    (lambda f: tai.run_raster_inference({"modelPackagePath": str(f["directory"] / "absent"),
                                         "rasterPath": f["raster"]}),
     "Could not open AI model manifest: {directory}/absent/tarnivale-model.json"),
    (lambda f: tai.runtime_diagnostics({"provider": "gpu"}), "Unknown AI execution provider: gpu"),
    (lambda f: tai.estimate_raster_inference({"modelPackagePath": f["package"], "rasterPath": f["raster"],
                                              "outputFormat": "PNG"}), "Unknown raster output format: PNG"),
    (lambda f: tai.copy_as_cloud_optimized_geotiff(f["raster"], f["mask"]), "Export destination exists."),
])
def test_errors_carry_the_library_message(files, call, message):
    with pytest.raises(tai.TarnivaleError) as caught:
        call(files)
    assert caught.value.message == str(caught.value) == message.format(directory=files["directory"])
