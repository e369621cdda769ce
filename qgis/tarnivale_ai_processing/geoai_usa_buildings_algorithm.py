"""The geoai-usa-buildings task: building footprints from byte RGB with a Mask R-CNN."""

from .building_algorithm import BuildingAlgorithm


class GeoaiUsaBuildingsAlgorithm(BuildingAlgorithm):
    KIND = "geoai-usa-buildings"
    TITLE = "Building footprints (GeoAI USA, Mask R-CNN)"
    HELP = ("Finds building footprints in a byte RGB raster (bands 1-3 of type Byte, with a CRS) with the "
            "mirtal-geoai-usa-maskrcnn-resnet50-fpn package, over 512 x 512 windows every 384 pixels. "
            "Detections scoring at or above the threshold are kept. Writes one polygon per building with an "
            "instance_id field.")
