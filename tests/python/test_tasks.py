"""Tasks through the package: a Dynamic World run started, waited, exported and released; a cancellation from
another thread; estimates; refusals and failures with the library's messages."""

import threading

import pytest
from osgeo import gdal, ogr

import tarnivale_ai as tai
from conftest import classes_of, dynamic_world_package, dynamic_world_scene


def test_dynamic_world_task_waits_exports_and_releases_its_workspace(task_request, tmp_path, monkeypatch):
    workspaces = tmp_path / "tmp"
    workspaces.mkdir()
    monkeypatch.setenv("TMPDIR", str(workspaces))
    estimate = tai.estimate_task(task_request)
    seen = []
    with tai.Task(task_request) as task:
        final = task.wait(progress=seen.append, interval=0.01)
        assert final["state"] == "completed"
        assert [status["percent"] for status in seen] == sorted(status["percent"] for status in seen)
        assert seen[-1] == final
        result = task.result()
        assert result["peakMemoryBytes"] == estimate["peakMemoryBytes"]
        task.export("geotiff", tmp_path / "classes.tif")
        task.export("shapefile", tmp_path / "classes.shp")
        with pytest.raises(tai.TarnivaleError, match="^Export destination exists.$"):
            task.export("geotiff", tmp_path / "classes.tif")
        with pytest.raises(tai.TarnivaleError, match="^AI task is already terminal.$"):
            task.cancel()
        assert list(workspaces.iterdir())
    assert not list(workspaces.iterdir())
    task.release()  # released already: nothing happens
    with pytest.raises(tai.TarnivaleError, match="^Unknown or released AI task ID.$"):
        task.status()
    assert (gdal.Open(str(tmp_path / "classes.tif")).ReadAsArray() == classes_of(160, 96)).all()
    assert ogr.Open(str(tmp_path / "classes.shp")).GetLayer().GetFeatureCount() == result["polygons"]


def test_a_task_cancelled_from_another_thread_ends_cancelled(files):
    package = dynamic_world_package(files["directory"] / "slow", "dynamic_world_slow.onnx")
    raster, mask = dynamic_world_scene(files["directory"], "large", 2048, 2048)  # minutes uninterrupted
    running = threading.Event()
    failures = []

    def cancel_once_running():
        running.wait()
        try:
            task.cancel()
        except tai.TarnivaleError as error:
            failures.append(error)

    with tai.Task({"task": "dynamic-world", "modelPackagePath": package, "rasterPath": raster,
                   "validityMaskPath": mask, "intraOpThreads": 1}) as task:
        canceller = threading.Thread(target=cancel_once_running)
        canceller.start()
        final = task.wait(progress=lambda status: status["completedTiles"] and running.set(), interval=0.01)
        canceller.join()
    assert failures == []
    assert final["state"] == "cancelled"


@pytest.mark.parametrize("call, kind, message", [
    (tai.Task, "frobnicate", "Unsupported AI task kind."),
    (tai.estimate_task, "frobnicate", "Unsupported AI task kind."),
    (tai.estimate_task, "prithvi-flood", "AI task kind has no estimate: prithvi-flood"),
])
def test_refused_requests_carry_the_library_message(task_request, call, kind, message):
    with pytest.raises(tai.TarnivaleError) as caught:
        call({**task_request, "task": kind})
    assert caught.value.message == message


def test_a_task_with_a_missing_package_fails_with_the_message(task_request, files):
    absent = files["directory"] / "absent"
    with tai.Task({**task_request, "modelPackagePath": str(absent)}) as task:
        final = task.wait()
    assert (final["state"], final["error"]) == ("failed", "Model package failed integrity validation.")
