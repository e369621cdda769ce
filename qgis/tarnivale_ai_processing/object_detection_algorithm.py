"""Detects objects with a detection package and writes their boxes as polygons, as `tarnivale-ai detect`
does."""

from qgis.core import (QgsProcessing, QgsProcessingAlgorithm, QgsProcessingException,
                       QgsProcessingParameterBoolean, QgsProcessingParameterDefinition,
                       QgsProcessingParameterFeatureSink, QgsProcessingParameterNumber, QgsProcessingUtils)

from .library import library_errors
from .outputs import write_polygons
from .parameters import (INPUT, add_inputs, add_session_parameters, optional_number, package_path,
                         raster_path, session_keys)
from .progress import run_synchronous

SLICED = "SLICED"
TILE_SIZE = "TILE_SIZE"
OVERLAP = "OVERLAP"
CLASS_AGNOSTIC = "CLASS_AGNOSTIC"
SCORE_THRESHOLD = "SCORE_THRESHOLD"
NMS_THRESHOLD = "NMS_THRESHOLD"
OUTPUT = "OUTPUT"


class ObjectDetectionAlgorithm(QgsProcessingAlgorithm):
    """Detection package + raster layer -> box polygons with score, class_id and label."""

    def name(self):
        return "object_detection"

    def displayName(self):  # noqa: N802
        return "Detect objects"

    def group(self):
        return "Detection"

    def groupId(self):  # noqa: N802
        return "detection"

    def shortHelpString(self):  # noqa: N802
        return ("Detects objects with an object-detection package. By default the whole raster is read once "
                "at the model's input size; small objects in a large scene vanish at that scale, so 'Sliced'"
                " runs the model over overlapping windows (Tile size, default the model's input size; "
                "Overlap, default 20 % of the tile) and merges what they find. Each detection becomes a box "
                "polygon in the raster's CRS with the fields score, class_id and label. Thresholds left "
                "empty are the package's.")

    def createInstance(self):  # noqa: N802
        return ObjectDetectionAlgorithm()

    def initAlgorithm(self, config=None):  # noqa: N802
        add_inputs(self, "Detection package folder")
        self.addParameter(QgsProcessingParameterBoolean(SLICED, "Sliced (overlapping windows)", False))
        integer, double = QgsProcessingParameterNumber.Integer, QgsProcessingParameterNumber.Double
        advanced = [
            QgsProcessingParameterNumber(TILE_SIZE, "Tile size in pixels (sliced)", integer, None, True, 1),
            QgsProcessingParameterNumber(OVERLAP, "Overlap in pixels (sliced)", integer, None, True, 0),
            QgsProcessingParameterBoolean(CLASS_AGNOSTIC, "Merge windows across classes (sliced)", False),
            QgsProcessingParameterNumber(SCORE_THRESHOLD, "Score threshold", double, None, True, 0.0, 1.0),
            QgsProcessingParameterNumber(NMS_THRESHOLD, "Suppression IoU threshold", double, None, True, 0.0,
                                         1.0),
        ]
        for parameter in advanced:
            parameter.setFlags(parameter.flags() | QgsProcessingParameterDefinition.FlagAdvanced)
            self.addParameter(parameter)
        add_session_parameters(self, "0: ONNX Runtime's choice")
        self.addParameter(QgsProcessingParameterFeatureSink(OUTPUT, "Detections",
                                                            QgsProcessing.TypeVectorPolygon))

    def request(self, parameters, context):
        """The detection request; the GeoPackage goes to a fresh temporary path (the library never replaces
        a file)."""
        sliced = self.parameterAsBool(parameters, SLICED, context)
        request = {
            "packagePath": package_path(self, parameters, context),
            "rasterPath": raster_path(self, parameters, INPUT, context),
            "outputPath": QgsProcessingUtils.generateTempFilename("detections.gpkg"),
            "mode": "sliced" if sliced else "oneShot",
            **session_keys(self, parameters, context),
        }
        tile, overlap = (optional_number(self, parameters, name, context) for name in (TILE_SIZE, OVERLAP))
        if (tile is not None or overlap is not None) and not sliced:
            raise QgsProcessingException("Tile size and overlap need 'Sliced'.")
        if tile is not None:
            request["tileWidth"] = request["tileHeight"] = int(tile)
        if overlap is not None:
            request["overlapX"] = request["overlapY"] = int(overlap)
        if sliced and self.parameterAsBool(parameters, CLASS_AGNOSTIC, context):
            request["classAgnosticMerge"] = True
        for name, key in ((SCORE_THRESHOLD, "scoreThreshold"), (NMS_THRESHOLD, "nmsThreshold")):
            value = optional_number(self, parameters, name, context)
            if value is not None:
                request[key] = value
        return request

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        request = self.request(parameters, context)
        with library_errors() as tai:
            result = run_synchronous(lambda progress: tai.run_object_detection(request, progress), feedback)
        if feedback.isCanceled():
            raise QgsProcessingException("Cancelled.")
        feedback.pushInfo(f"{result.get('featureCount')} detection(s) in "
                          f"{result.get('elapsedMilliseconds')} ms on {result.get('provider')}.")
        return {OUTPUT: write_polygons(self, parameters, OUTPUT, context, feedback, result["outputPath"])}
