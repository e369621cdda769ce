"""The sam3-tracker task: the one object selected by clicks and an optional box, as a draft."""

from qgis.core import QgsProcessingParameterEnum, QgsProcessingParameterString

from .parameters import numbers
from .sam3_algorithm import Sam3Algorithm

POINTS = "POINTS"
BOX = "BOX"
COORDINATE_SPACE = "COORDINATE_SPACE"
COORDINATE_SPACES = ["source-crs", "pixel"]


def parse_points(text):
    """"x,y;x,y,neg" -> point objects; "neg" marks a background click."""
    points = []
    for item in filter(None, (part.strip() for part in text.split(";"))):
        negative = item.endswith(",neg")
        x, y = numbers(item[:-4] if negative else item, 2, "Each point")
        points.append({"x": x, "y": y, "positive": not negative})
    return points


class Sam3TrackerAlgorithm(Sam3Algorithm):
    KIND = "sam3-tracker"
    TITLE = "SAM3 segmentation by clicks"
    HELP = ("Segments the one object selected by clicks and an optional box with a sam3-tracker-fp32 bundle "
            "(folder holding sam3-package.json). Points are 'x,y' separated by semicolons, 'x,y,neg' for a "
            "background click; the box is 'xmin,ymin,xmax,ymax'; both in the raster's CRS or in pixels, as "
            "the coordinate space says. At least one positive point or a box; at most 64 prompt tokens (a "
            "box counts two). The result is a draft to review: an instance raster and its polygon.")

    def add_prompt_parameters(self):
        self.addParameter(QgsProcessingParameterString(POINTS, "Points (x,y[,neg]; ...)", optional=True))
        self.addParameter(QgsProcessingParameterString(BOX, "Box (xmin,ymin,xmax,ymax)", optional=True))
        self.addParameter(QgsProcessingParameterEnum(COORDINATE_SPACE, "Coordinate space", COORDINATE_SPACES,
                                                     False, "source-crs", False, True))

    def prompt_request(self, parameters, context):
        request = {"coordinateSpace": self.parameterAsEnumString(parameters, COORDINATE_SPACE, context)}
        points = parse_points(self.parameterAsString(parameters, POINTS, context))
        if points:
            request["points"] = points
        box = self.parameterAsString(parameters, BOX, context)
        if box:
            request["box"] = numbers(box, 4, "The box")
        return request
