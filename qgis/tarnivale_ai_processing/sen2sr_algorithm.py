"""The sen2sr-super-resolution task: a four-band Sentinel-2 RGBN raster enlarged four times."""

from .task_algorithm import TaskAlgorithm


class Sen2srAlgorithm(TaskAlgorithm):
    KIND = "sen2sr-super-resolution"
    TITLE = "Super-resolution 4x (SEN2SR)"
    HELP = ("Enlarges a Sentinel-2 raster four times with the esaopensr-sen2srlite-rgbn-x4 package. The "
            "raster holds raw digital numbers in bands B4, B3, B2, B8 (or eight bands, the first four used),"
            " at most 2 097 152 pixels, with a CRS; every sample of bands 1-4 must be finite, non-negative "
            "and not nodata. Writes the enhanced raster (four Float32 reflectance bands, marked "
            "AI-generated) and optionally its 8-bit RGBA preview.")
    RASTER_OUTPUT = "Enhanced raster (4x)"
    PREVIEW_OUTPUT = "Enhanced preview (RGBA)"
