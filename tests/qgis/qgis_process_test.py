"""The Processing provider driven headless through qgis_process, each result checked with GDAL/OGR against
what the command line writes for the same request.

Environment: TARNIVALE_CLI (tarnivale-ai), TARNIVALE_AI_LIBRARY, TARNIVALE_TEST_MODELS (the generated test
models), TARNIVALE_QGIS_PLUGIN (a folder holding tarnivale_ai_processing: the extracted plugin zip, whose
bundled package is used, or the source tree's qgis/ folder with TARNIVALE_PYTHONPATH for the package).
    /usr/bin/python3 tests/qgis/qgis_process_test.py
"""

import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fixtures import (DETECTION_MANIFEST, Fixtures, feature_count, field_names, manifest_text,  # noqa: E402
                      qgis_environment, qgis_process, read_raster)

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

PROBABILITY_MANIFEST = """{"schemaVersion": "1.0", "id": "mean-probability", "version": "1",
 "task": "semantic_segmentation", "modelPath": "mean_probability.onnx",
 "inputs": [{"name": "x", "dataType": "Float32", "layout": "NCHW", "shape": [1, 3, -1, -1]}],
 "outputs": [{"name": "probability", "dataType": "Float32", "layout": "NCHW", "shape": [1, 1, -1, -1]}],
 "inputAdapters": [{"tensor": "x", "source": "raster", "bands": [1, 1, 1]}],
 "outputDecoders": [{"id": "roofs", "tensor": "probability", "activation": "none", "threshold": 0.3}],
 "normalization": {"scale": 0.00392156862745098},
 "tiling": {"width": 256, "height": 256, "overlapX": 0, "overlapY": 0}}"""

HOTOSM_MANIFEST = manifest_text("hotosm_buildings.json")


class QgisProcessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory(prefix="tarnivale-qgis-")
        work = cls.directory.name
        cls.cli = os.environ["TARNIVALE_CLI"]
        models = os.environ["TARNIVALE_TEST_MODELS"]
        cls.fixtures = fixtures = Fixtures(work, cls.cli, SOURCE_DIR, models)
        cls.scene, cls.validity, cls.land_cover = fixtures.demo_scene("demo", 128)
        rows, columns = np.mgrid[0:300, 0:400]
        photo = ((columns * 7 + rows * 13) % 256).astype(np.uint8)
        cls.photo = fixtures.write_raster("photo.tif", photo[None])
        cls.probability = fixtures.package("probability", PROBABILITY_MANIFEST,
                                           os.path.join(models, "mean_probability.onnx"))
        cls.rgb = fixtures.rgb(cls.scene)
        cls.squares = fixtures.squares()
        cls.detector = fixtures.package("detector", DETECTION_MANIFEST,
                                        os.path.join(models, "detection_squares.onnx"))
        cls.buildings = fixtures.package("buildings", HOTOSM_MANIFEST,
                                         os.path.join(models, "building_heads.onnx"))
        cls.tracker = os.path.join(models, "sam3-tracker")
        cls.environment = qgis_environment(work, os.environ["TARNIVALE_QGIS_PLUGIN"],
                                           os.environ.get("TARNIVALE_PYTHONPATH"))
        cls.qgis_process = qgis_process()
        subprocess.run([cls.qgis_process, "plugins", "enable", "tarnivale_ai_processing"],
                       env=cls.environment, check=True, capture_output=True)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def output(self, name):
        return self.fixtures.path(name)

    def qgis(self, algorithm, **parameters):
        """Runs tarnivale_ai:ALGORITHM through qgis_process; list values repeat their parameter."""
        arguments = [self.qgis_process, "run", f"tarnivale_ai:{algorithm}", "--"]
        for name, value in parameters.items():
            for item in value if isinstance(value, list) else [value]:
                arguments.append(f"{name}={item}")
        return subprocess.run(arguments, env=self.environment, capture_output=True, text=True, timeout=600)

    def succeeds(self, completed):
        self.assertEqual(completed.returncode, 0, completed.stdout + completed.stderr)

    def run_cli(self, *arguments):
        completed = subprocess.run([self.cli, *arguments], capture_output=True, text=True, timeout=600)
        self.assertEqual(completed.returncode, 0, completed.stderr)

    def assertSameRaster(self, actual, expected):
        actual_pixels, actual_type, actual_transform = read_raster(actual)
        expected_pixels, expected_type, expected_transform = read_raster(expected)
        self.assertEqual((actual_type, actual_transform), (expected_type, expected_transform))
        np.testing.assert_array_equal(actual_pixels, expected_pixels)

    def test_raster_inference_matches_the_command_line(self):
        cases = [
            ("package's adapter and thresholding decoder", self.probability, self.photo, {}, []),
            ("nine-band land cover", self.land_cover, self.scene, {}, []),
            ("no decoder, CPU, one thread", self.probability, self.photo,
             {"RAW_OUTPUT": "true", "PROVIDER": "cpu", "THREADS": 1},
             ["--no-decoder", "--provider", "cpu", "--threads", "1"]),
            ("bands and float scores", self.probability, self.photo,
             {"BANDS": [1, 1, 1], "FLOAT_BANDS": "true"}, ["--bands", "1,1,1", "--float-bands"]),
        ]
        for index, (name, package, raster, options, cli_options) in enumerate(cases):
            with self.subTest(name):
                processed, expected = self.output(f"run-{index}.tif"), self.output(f"run-{index}-cli.tif")
                self.succeeds(self.qgis("raster_inference", PACKAGE=package, INPUT=raster, OUTPUT=processed,
                                        **options))
                self.run_cli("run", "--package", package, "--raster", raster, "--output", expected,
                             *cli_options)
                self.assertSameRaster(processed, expected)
        # Without the package's decoder a one-channel model's argmax would be all 0.
        mask, _, _ = read_raster(self.output("run-0.tif"))
        photo, _, _ = read_raster(self.photo)
        np.testing.assert_array_equal(mask, (photo >= 77).astype(mask.dtype))

    def test_tasks_match_the_command_line(self):
        geotiff, preview = ("OUTPUT", "--export-geotiff"), ("PREVIEW", "--export-preview")
        cases = [
            # algorithm, package, raster, parameters, command line options, rasters and their exports
            ("dynamic_world", self.land_cover, self.scene, {"VALIDITY_MASK": self.validity},
             ["dynamic-world", "--validity-mask", self.validity], [geotiff, preview]),
            ("hotosm_buildings", self.buildings, self.squares, {"THRESHOLD": 0.9},
             ["hotosm-buildings", "--threshold", "0.9"], []),
            ("sam3_tracker", self.tracker, self.rgb,
             {"POINTS": "10,10;80,80,neg", "COORDINATE_SPACE": "pixel"},
             ["sam3-tracker", "--point", "10,10", "--point", "80,80,neg", "--coordinate-space", "pixel"],
             [geotiff]),
        ]
        for algorithm, package, raster, options, cli_options, rasters in cases:
            with self.subTest(algorithm):
                polygons = self.output(f"{algorithm}.shp")
                expected_polygons = self.output(f"{algorithm}-cli.gpkg")
                outputs = {name: self.output(f"{algorithm}-{name}.tif") for name, _ in rasters}
                exports = [item for name, option in rasters
                           for item in (option, self.output(f"{algorithm}-{name}-cli.tif"))]
                self.succeeds(self.qgis(algorithm, PACKAGE=package, INPUT=raster, POLYGONS=polygons,
                                        **options, **outputs))
                self.run_cli("task", *cli_options, "--package", package, "--raster", raster,
                             "--export-polygons", expected_polygons, *exports)
                count = feature_count(expected_polygons)
                self.assertGreater(count, 0)
                self.assertEqual(feature_count(polygons), count)
                self.assertNotIn("fid", field_names(polygons))
                for name, _ in rasters:
                    self.assertSameRaster(outputs[name], self.output(f"{algorithm}-{name}-cli.tif"))

    def test_sliced_detection_matches_the_command_line(self):
        processed, expected = self.output("detections.gpkg"), self.output("detections-cli.gpkg")
        self.succeeds(self.qgis("object_detection", PACKAGE=self.detector, INPUT=self.squares, SLICED="true",
                                OVERLAP=16, SCORE_THRESHOLD=0.2, OUTPUT=processed))
        self.run_cli("detect", "--package", self.detector, "--raster", self.squares, "--output", expected,
                     "--sliced", "--overlap", "16", "--score", "0.2")
        self.assertEqual(feature_count(expected, "detections"), 4)
        self.assertEqual(feature_count(processed), 4)
        self.assertEqual(field_names(processed), ["score", "class_id", "label"])

    def test_library_errors_fail_the_algorithm_with_their_message(self):
        cases = [
            ("tampered package", "raster_inference",
             {"PACKAGE": self.fixtures.tampered(self.probability), "INPUT": self.photo,
              "OUTPUT": self.output("never.tif")},
             "Package model SHA-256 does not match the manifest."),
            ("mask on another grid", "dynamic_world",
             {"PACKAGE": self.land_cover, "INPUT": self.scene, "VALIDITY_MASK": self.photo,
              "OUTPUT": self.output("never.tif"), "POLYGONS": self.output("never.gpkg")},
             "Validity mask dimensions differ from the input raster."),
            ("tile without slices", "object_detection",
             {"PACKAGE": self.detector, "INPUT": self.squares, "TILE_SIZE": 64,
              "OUTPUT": self.output("never.gpkg")},
             "Tile size and overlap need 'Sliced'."),
        ]
        for name, algorithm, parameters, message in cases:
            with self.subTest(name):
                completed = self.qgis(algorithm, **parameters)
                self.assertNotEqual(completed.returncode, 0)
                self.assertIn(message, completed.stdout + completed.stderr)
                self.assertFalse(os.path.exists(self.output("never.tif")))
                self.assertFalse(os.path.exists(self.output("never.gpkg")))


if __name__ == "__main__":
    unittest.main()
