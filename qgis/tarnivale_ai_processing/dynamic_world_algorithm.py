"""The dynamic-world task: nine Sentinel-2 bands and a validity mask to land-cover classes."""

from qgis.core import QgsProcessingParameterRasterLayer

from .parameters import raster_path
from .task_algorithm import TaskAlgorithm

VALIDITY_MASK = "VALIDITY_MASK"


class DynamicWorldAlgorithm(TaskAlgorithm):
    KIND = "dynamic-world"
    TITLE = "Dynamic World land cover"
    HELP = ("Classifies a nine-band Sentinel-2 raster (B2, B3, B4, B5, B6, B7, B8, B11, B12) into the "
            "package's land-cover classes. The validity mask is a one-band raster on the same grid, 0 where "
            "a pixel is invalid (cloud, no data). Writes the class raster (Int32, with provenance), "
            "optionally its RGBA colour preview, and the class polygons with a class_id field.")
    RASTER_OUTPUT = "Land-cover classes"
    PREVIEW_OUTPUT = "Colour preview (RGBA)"
    POLYGON_OUTPUT = "Class polygons"

    def add_kind_parameters(self):
        self.addParameter(QgsProcessingParameterRasterLayer(VALIDITY_MASK, "Validity mask (0 = invalid)"))

    def kind_request(self, parameters, context):
        return {"validityMaskPath": raster_path(self, parameters, VALIDITY_MASK, context)}
