"""The prithvi-flood task: surface water and flood from Sentinel-2."""

from .task_algorithm import TaskAlgorithm


class PrithviFloodAlgorithm(TaskAlgorithm):
    KIND = "prithvi-flood"
    TITLE = "Flood and surface water (Prithvi)"
    HELP = ("Maps surface water and flood with the ibm-nasa-prithvi-eo2-300m-tl-sen1floods11 package. The "
            "raster holds six bands (blue, green, red, narrow NIR, SWIR 1, SWIR 2) or the thirteen bands of "
            "Sentinel-2 L1C, raw digital numbers, at least 224 pixels a side, with a CRS. Writes the classes"
            " (1 = water), optionally an RGBA preview, and the water polygons.")
    RASTER_OUTPUT = "Water classes"
    PREVIEW_OUTPUT = "Colour preview (RGBA)"
    POLYGON_OUTPUT = "Water polygons"
