"""The hotosm-buildings task: building footprints from RGB with a three-head semantic model."""

from .building_algorithm import BuildingAlgorithm


class HotosmBuildingsAlgorithm(BuildingAlgorithm):
    KIND = "hotosm-buildings"
    TITLE = "Building footprints (HOT OSM)"
    HELP = ("Finds building footprints in an RGB raster (three bands or more, with a CRS) with the "
            "hotosm-dinov3s-buildings package: pixels at or above the threshold are buildings, and buildings"
            " are separated by seeded growth over the boundary and distance heads. Writes one polygon per "
            "building with an instance_id field.")
