"""What the two building tasks share: a probability threshold and footprint polygons."""

from qgis.core import QgsProcessingParameterNumber

from .task_algorithm import TaskAlgorithm

THRESHOLD = "THRESHOLD"


class BuildingAlgorithm(TaskAlgorithm):
    POLYGON_OUTPUT = "Building footprints"

    def add_kind_parameters(self):
        self.addParameter(QgsProcessingParameterNumber(
            THRESHOLD, "Building probability threshold, in (0, 1)", QgsProcessingParameterNumber.Double, 0.5,
            False, 0.0, 1.0))

    def kind_request(self, parameters, context):
        return {"threshold": self.parameterAsDouble(parameters, THRESHOLD, context)}
