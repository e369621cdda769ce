"""What the two SAM3 tasks share: the bundle, the RGB bands, display ranges, a pixel window, the draft
outputs."""

from qgis.core import (QgsProcessingParameterBand, QgsProcessingParameterDefinition,
                       QgsProcessingParameterString)

from .parameters import INPUT, numbers
from .task_algorithm import TaskAlgorithm

BANDS = "BANDS"
MINIMUMS = "MINIMUMS"
MAXIMUMS = "MAXIMUMS"
WINDOW = "WINDOW"


class Sam3Algorithm(TaskAlgorithm):
    RASTER_OUTPUT = "Instances (draft)"
    POLYGON_OUTPUT = "Instance polygons (draft)"
    THREADS_HELP = "0: the task's default, 8"

    def add_kind_parameters(self):
        self.add_prompt_parameters()
        advanced = [
            QgsProcessingParameterBand(BANDS, "Red, green and blue bands", None, INPUT, True, True),
            QgsProcessingParameterString(MINIMUMS, "Display minimums of the three bands (r,g,b; for "
                                         "non-byte bands)", optional=True),
            QgsProcessingParameterString(MAXIMUMS, "Display maximums of the three bands (r,g,b)",
                                         optional=True),
            QgsProcessingParameterString(WINDOW, "Pixel window x,y,width,height (default: the whole raster)",
                                         optional=True),
        ]
        for parameter in advanced:
            parameter.setFlags(parameter.flags() | QgsProcessingParameterDefinition.FlagAdvanced)
            self.addParameter(parameter)

    def add_prompt_parameters(self):
        """The prompt of the kind."""

    def prompt_request(self, parameters, context):
        """Request keys of the prompt."""
        return {}

    def kind_request(self, parameters, context):
        request = self.prompt_request(parameters, context)
        bands = self.parameterAsInts(parameters, BANDS, context)
        if bands:
            request["bands"] = bands
        for name, key in ((MINIMUMS, "minimums"), (MAXIMUMS, "maximums")):
            text = self.parameterAsString(parameters, name, context)
            if text:
                request[key] = numbers(text, 3, name.capitalize())
        window = self.parameterAsString(parameters, WINDOW, context)
        if window:
            x, y, width, height = numbers(window, 4, "Window")
            request["window"] = {"x": x, "y": y, "width": width, "height": height}
        return request
