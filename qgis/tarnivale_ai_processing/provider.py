"""The Processing provider "tarnivale_ai": every algorithm of the plugin."""

from qgis.core import QgsProcessingProvider

from .dynamic_world_algorithm import DynamicWorldAlgorithm
from .geoai_usa_buildings_algorithm import GeoaiUsaBuildingsAlgorithm
from .hotosm_buildings_algorithm import HotosmBuildingsAlgorithm
from .object_detection_algorithm import ObjectDetectionAlgorithm
from .prithvi_flood_algorithm import PrithviFloodAlgorithm
from .prue_fields_algorithm import PrueFieldsAlgorithm
from .raster_inference_algorithm import RasterInferenceAlgorithm
from .sam3_text_algorithm import Sam3TextAlgorithm
from .sam3_tracker_algorithm import Sam3TrackerAlgorithm
from .sen2sr_algorithm import Sen2srAlgorithm

ALGORITHMS = (
    RasterInferenceAlgorithm, ObjectDetectionAlgorithm, DynamicWorldAlgorithm, HotosmBuildingsAlgorithm,
    GeoaiUsaBuildingsAlgorithm, PrithviFloodAlgorithm, PrueFieldsAlgorithm, Sen2srAlgorithm,
    Sam3TextAlgorithm, Sam3TrackerAlgorithm,
)


class TarnivaleAiProvider(QgsProcessingProvider):
    """Loads the algorithms; the library is loaded only when one of them runs."""

    def id(self):
        return "tarnivale_ai"

    def name(self):
        return "Tarnivale.AI"

    def longName(self):
        return "Tarnivale.AI model runs and tasks"

    def loadAlgorithms(self):  # noqa: N802
        for algorithm in ALGORITHMS:
            self.addAlgorithm(algorithm())

    def supportedOutputRasterLayerExtensions(self):  # noqa: N802
        # The library writes GeoTIFF only.
        return ["tif"]
