"""Fixtures the QGIS tests share: generated scenes and model packages made with the command line, and the
environment that puts the plugin on QGIS's path in a profile of the test's own."""

import os
import shutil
import subprocess

import numpy as np
from osgeo import gdal, osr

PYTHON = "/usr/bin/python3"

MANIFESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fixtures", "manifests")


def manifest_text(name):
    """A manifest shared with the command-line and Python suites (tests/fixtures/manifests)."""
    with open(os.path.join(MANIFESTS, name), encoding="utf-8") as file:
        return file.read()


DETECTION_MANIFEST = manifest_text("detection_squares.json")

SLOW_MANIFEST = """{"schemaVersion": "1.0", "id": "google-dynamicworld", "version": "slow", "modelPath": "x",
 "inputs": [{"name": "image", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
 "outputs": [{"name": "scores", "dataType": "Float32", "layout": "NCHW", "shape": [1, 9, -1, -1]}],
 "inputAdapters": [{"tensor": "image", "bands": [1, 2, 3, 4, 5, 6, 7, 8, 9]}],
 "outputDecoders": [{"id": "classes", "tensor": "scores", "activation": "softmax"}],
 "tiling": {"width": 64, "height": 64, "overlapX": 8, "overlapY": 8}}"""


class Fixtures:
    """Makes the fixtures under `work` with the command line `cli` and the models in `models`."""

    def __init__(self, work, cli, source_dir, models):
        self.work, self.cli, self.source_dir, self.models = work, cli, source_dir, models

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    def package(self, name, manifest_text, model):
        """A package made by `tarnivale-ai package create` from a manifest text and a model file."""
        manifest = self.path(f"{name}.json")
        with open(manifest, "w", encoding="utf-8") as file:
            file.write(manifest_text)
        subprocess.run([self.cli, "package", "create", "--manifest", manifest, "--model", model, "--output",
                        self.path(name)], check=True, stdout=subprocess.DEVNULL)
        return self.path(name)

    def demo_scene(self, name, size):
        """A nine-band scene, its validity mask and the demonstration land-cover package."""
        directory = self.path(name)
        script = os.path.join(self.source_dir, "tools", "demo", "make_demo_data.py")
        subprocess.run([PYTHON, script, directory, str(size)], check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(directory, "manifest.json"), encoding="utf-8") as file:
            manifest = file.read()
        package = self.package(f"{name}-package", manifest, os.path.join(directory, "demo_land_cover.onnx"))
        return os.path.join(directory, "scene.tif"), os.path.join(directory, "validity.tif"), package

    def rgb(self, scene):
        """Bands 1-3 of a scene scaled to Byte, as a photograph would be."""
        path = self.path("rgb.tif")
        gdal.Translate(path, scene, bandList=[1, 2, 3], outputType=gdal.GDT_Byte, scaleParams=[[]],
                       creationOptions=["PHOTOMETRIC=RGB"])
        return path

    def squares(self):
        """A 300 x 200 byte RGB scene of four small squares, for the square detector."""
        pixels = np.full((3, 200, 300), 51, dtype=np.uint8)
        for x, y, band in ((20, 20, 0), (58, 10, 1), (150, 58, 0), (290, 190, 1)):
            pixels[band, y:y + 10, x:x + 10] = 255
        return self.write_raster("squares.tif", pixels)

    def write_raster(self, name, pixels):
        """A GeoTIFF in UTM 33N with 10 m pixels from a [bands, rows, columns] array."""
        path = self.path(name)
        bands, rows, columns = pixels.shape
        data_type = gdal.GDT_Byte if pixels.dtype == np.uint8 else gdal.GDT_Float32
        dataset = gdal.GetDriverByName("GTiff").Create(path, columns, rows, bands, data_type)
        dataset.SetGeoTransform((500000, 10, 0, 4100000, 0, -10))
        crs = osr.SpatialReference()
        crs.ImportFromEPSG(32633)
        dataset.SetProjection(crs.ExportToWkt())
        for band in range(bands):
            dataset.GetRasterBand(band + 1).WriteArray(pixels[band])
        dataset = None
        return path

    def tampered(self, package):
        """A copy of a package whose model no longer matches its manifest's digest."""
        copy = self.path(os.path.basename(package) + "-tampered")
        shutil.copytree(package, copy)
        model = next(name for name in os.listdir(copy) if name.endswith(".onnx"))
        with open(os.path.join(copy, model), "ab") as file:
            file.write(b"x")
        return copy


def qgis_environment(work, plugin_parent, python_path=None):
    """The environment of a headless QGIS whose profile lives under `work` and whose plugin path holds the
    plugin; PYTHONPATH is only what is given (the bundled package must be found without it)."""
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen", QGIS_PLUGINPATH=plugin_parent,
                       XDG_DATA_HOME=os.path.join(work, "profile"),
                       XDG_CONFIG_HOME=os.path.join(work, "config"),
                       XDG_RUNTIME_DIR=os.path.join(work, "runtime"))
    os.makedirs(environment["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
    environment.pop("PYTHONPATH", None)
    if python_path:
        environment["PYTHONPATH"] = python_path
    return environment


def qgis_process():
    """Debian's /usr/bin/qgis_process wrapper passes --noversioncheck, which the 3.22 executable refuses;
    the executable itself is called when it is there."""
    return shutil.which("qgis_process.bin") or shutil.which("qgis_process")


def read_raster(path):
    dataset = gdal.Open(path)
    return dataset.ReadAsArray(), dataset.GetRasterBand(1).DataType, dataset.GetGeoTransform()


def feature_count(path, layer=None):
    dataset = gdal.OpenEx(path, gdal.OF_VECTOR)
    chosen = dataset.GetLayerByName(layer) if layer else dataset.GetLayer(0)
    return chosen.GetFeatureCount()


def field_names(path):
    dataset = gdal.OpenEx(path, gdal.OF_VECTOR)
    definition = dataset.GetLayer(0).GetLayerDefn()
    return [definition.GetFieldDefn(index).GetName() for index in range(definition.GetFieldCount())]
