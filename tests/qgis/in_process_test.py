"""The provider inside a QGIS Python process: the library's progress reaches the Processing feedback, and a
cancelled feedback cancels a task (no output, its workspace gone) or discards a raster run, which the library
cannot interrupt.

Environment as for qgis_process_test.py; the task workspaces go to a temporary directory of the test's own.
    /usr/bin/python3 tests/qgis/in_process_test.py
"""

import glob
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fixtures import SLOW_MANIFEST, Fixtures  # noqa: E402

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WORK = tempfile.TemporaryDirectory(prefix="tarnivale-qgis-")
# Task workspaces are made in the temporary location the library reads from the environment.
os.environ["TMPDIR"] = os.path.join(WORK.name, "tmp")
os.makedirs(os.environ["TMPDIR"])
# QGIS's profile and runtime files go there too, not to the user's.
for variable, folder in (("XDG_DATA_HOME", "profile"), ("XDG_CONFIG_HOME", "config"),
                         ("XDG_RUNTIME_DIR", "runtime")):
    os.environ[variable] = os.path.join(WORK.name, folder)
    os.makedirs(os.environ[variable], mode=0o700)
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

from qgis.core import QgsApplication, QgsProcessingException, QgsProcessingFeedback  # noqa: E402

QgsApplication.setPrefixPath("/usr", True)
APPLICATION = QgsApplication([], False)
APPLICATION.initQgis()
sys.path.append("/usr/share/qgis/python/plugins")
from processing.core.Processing import Processing  # noqa: E402
import processing  # noqa: E402

Processing.initialize()
sys.path.insert(0, os.environ["TARNIVALE_QGIS_PLUGIN"])
from tarnivale_ai_processing.provider import TarnivaleAiProvider  # noqa: E402

PROVIDER = TarnivaleAiProvider()  # kept: the registry does not keep the Python object alive
QgsApplication.processingRegistry().addProvider(PROVIDER)


class RecordingFeedback(QgsProcessingFeedback):
    """Records what the algorithm shows, and cancels itself when a message containing `trigger` appears."""

    def __init__(self, trigger=None):
        super().__init__()
        self.trigger = trigger
        self.percents, self.messages, self.errors = [], [], []

    def setProgress(self, percent):  # noqa: N802
        self.percents.append(percent)
        super().setProgress(percent)

    def setProgressText(self, text):  # noqa: N802
        self.messages.append(text)
        if self.trigger and self.trigger in text:
            self.cancel()

    def reportError(self, error, fatalError=False):  # noqa: N802, N803
        self.errors.append(error)


class InProcessTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        models = os.environ["TARNIVALE_TEST_MODELS"]
        fixtures = Fixtures(WORK.name, os.environ["TARNIVALE_CLI"], SOURCE_DIR, models)
        cls.path = fixtures.path
        # 512 x 512 in 64-pixel tiles: about a hundred tiles, so a cancellation lands mid-run.
        cls.scene, cls.validity, _ = fixtures.demo_scene("scene", 512)
        cls.slow = fixtures.package("slow", SLOW_MANIFEST, os.path.join(models, "dynamic_world_slow.onnx"))

    def workspaces(self):
        return glob.glob(os.path.join(os.environ["TMPDIR"], "tarnivale-ai-task-*"))

    def run_algorithm(self, algorithm, parameters, feedback):
        """Runs it; returns the results and None, or None and the message of the algorithm's exception."""
        try:
            return processing.run(f"tarnivale_ai:{algorithm}", parameters, feedback=feedback), None
        except QgsProcessingException as error:
            return None, str(error)

    def test_progress_and_cancellation(self):
        cases = [
            # algorithm, the message that cancels, the error shown
            ("dynamic_world", None, None),
            ("dynamic_world", "Processed AI tile", "The task was cancelled."),
            ("raster_inference", None, None),
            ("raster_inference", "Processed AI tile", "Cancelled."),
        ]
        for index, (algorithm, trigger, error) in enumerate(cases):
            with self.subTest(algorithm=algorithm, cancelled=bool(trigger)):
                output = self.path(f"{algorithm}-{index}.tif")
                parameters = {"PACKAGE": self.slow, "INPUT": self.scene, "OUTPUT": output, "THREADS": 1}
                if algorithm == "dynamic_world":
                    parameters.update(VALIDITY_MASK=self.validity,
                                      POLYGONS=self.path(f"classes-{index}.gpkg"))
                feedback = RecordingFeedback(trigger)
                results, message = self.run_algorithm(algorithm, parameters, feedback)
                self.assertTrue(any("Processed AI tile" in message for message in feedback.messages))
                self.assertEqual(self.workspaces(), [])
                if trigger is None:
                    self.assertEqual((message, feedback.errors), (None, []))
                    self.assertEqual(results["OUTPUT"], output)
                    self.assertTrue(os.path.exists(output))
                    self.assertEqual(feedback.percents[-1], 100)
                    self.assertEqual(feedback.percents, sorted(feedback.percents))
                else:
                    self.assertIsNone(results)
                    self.assertEqual(message, error)
                    self.assertFalse(os.path.exists(output))


if __name__ == "__main__":
    try:
        unittest.main()
    finally:
        APPLICATION.exitQgis()
        WORK.cleanup()
