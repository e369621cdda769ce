"""The sam3-text task: every object matching a text prompt, as a draft."""

from qgis.core import QgsProcessingParameterNumber, QgsProcessingParameterString

from .sam3_algorithm import Sam3Algorithm

TEXT = "TEXT"
SCORE_THRESHOLD = "SCORE_THRESHOLD"


class Sam3TextAlgorithm(Sam3Algorithm):
    KIND = "sam3-text"
    TITLE = "SAM3 segmentation by text"
    HELP = ("Segments every object matching a text prompt ('building', 'swimming pool') with a "
            "sam3-text-fp32 bundle (folder holding sam3-package.json), tile by tile. Objects scoring above "
            "the score threshold are kept. The result is a draft to review: an instance raster and one "
            "polygon per instance. Non-byte bands need display minimums and maximums.")

    def add_prompt_parameters(self):
        self.addParameter(QgsProcessingParameterString(TEXT, "Text prompt"))
        self.addParameter(QgsProcessingParameterNumber(
            SCORE_THRESHOLD, "Score threshold", QgsProcessingParameterNumber.Double, 0.5, False, 0.0, 1.0))

    def prompt_request(self, parameters, context):
        return {"text": self.parameterAsString(parameters, TEXT, context),
                "scoreThreshold": self.parameterAsDouble(parameters, SCORE_THRESHOLD, context)}
