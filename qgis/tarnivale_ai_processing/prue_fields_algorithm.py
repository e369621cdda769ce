"""The prue-fields task: agricultural field interiors from two RGBN acquisitions."""

from .task_algorithm import TaskAlgorithm


class PrueFieldsAlgorithm(TaskAlgorithm):
    KIND = "prue-fields"
    TITLE = "Agricultural fields (PRUE)"
    HELP = ("Delineates field interiors with the fieldsoftheworld-prue-efficientnet-b5-ccby package. The "
            "raster holds eight bands: red, green, blue and NIR of the first acquisition, then of the "
            "second, with a CRS. Samples that are not finite or equal the band's nodata are read as 0. "
            "Writes the classes (background, field interior, boundary), optionally an RGBA preview, and the "
            "field polygons.")
    RASTER_OUTPUT = "Field classes"
    PREVIEW_OUTPUT = "Colour preview (RGBA)"
    POLYGON_OUTPUT = "Field polygons"
