"""The common shape of the task algorithms: start the library's task, follow it, copy its products out."""

from qgis.core import (QgsProcessing, QgsProcessingAlgorithm, QgsProcessingException,
                       QgsProcessingParameterFeatureSink, QgsProcessingParameterRasterDestination)

from .library import library_errors
from .outputs import copy_file, export_raster, write_polygons
from .parameters import INPUT, add_inputs, add_session_parameters, package_path, raster_path, session_keys
from .progress import follow_task

OUTPUT = "OUTPUT"
PREVIEW = "PREVIEW"
POLYGONS = "POLYGONS"


class TaskAlgorithm(QgsProcessingAlgorithm):
    """One built-in task kind. A subclass names the kind and its outputs, and adds its own parameters
    (`add_kind_parameters`) and request keys (`kind_request`)."""

    KIND = ""              # the library's task kind
    TITLE = ""
    HELP = ""
    RASTER_OUTPUT = None   # description of the raster result, when the kind has one
    PREVIEW_OUTPUT = None  # description of the RGBA preview, when the kind writes one
    POLYGON_OUTPUT = None  # description of the polygons, when the kind writes them
    THREADS_HELP = "0: the task's default, 4"

    def name(self):
        return self.KIND.replace("-", "_")

    def displayName(self):  # noqa: N802
        return self.TITLE

    def group(self):
        return "Tasks"

    def groupId(self):  # noqa: N802
        return "tasks"

    def shortHelpString(self):  # noqa: N802
        return self.HELP

    def createInstance(self):  # noqa: N802
        return type(self)()

    def initAlgorithm(self, config=None):  # noqa: N802
        add_inputs(self)
        self.add_kind_parameters()
        add_session_parameters(self, self.THREADS_HELP)
        if self.RASTER_OUTPUT:
            self.addParameter(QgsProcessingParameterRasterDestination(OUTPUT, self.RASTER_OUTPUT))
        if self.PREVIEW_OUTPUT:
            self.addParameter(QgsProcessingParameterRasterDestination(PREVIEW, self.PREVIEW_OUTPUT, None,
                                                                      True, False))
        if self.POLYGON_OUTPUT:
            self.addParameter(QgsProcessingParameterFeatureSink(POLYGONS, self.POLYGON_OUTPUT,
                                                                QgsProcessing.TypeVectorPolygon))

    def add_kind_parameters(self):
        """Parameters of the kind beside the package, the raster and the session."""

    def kind_request(self, parameters, context):
        """Request keys of the kind beside the package, the raster and the session."""
        return {}

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        request = {
            "task": self.KIND,
            "modelPackagePath": package_path(self, parameters, context),
            "rasterPath": raster_path(self, parameters, INPUT, context),
            **session_keys(self, parameters, context),
            **self.kind_request(parameters, context),
        }
        with library_errors() as tai, tai.Task(request) as task:
            status = follow_task(task, feedback)
            if status.get("state") == "cancelled":
                raise QgsProcessingException("The task was cancelled.")
            if status.get("state") != "completed":
                raise QgsProcessingException(status.get("error") or "The task failed.")
            result = task.result()
            feedback.pushInfo(f"Task {self.KIND} completed in {result.get('elapsedMilliseconds')} ms on "
                              f"{result.get('provider')}.")
            return self.write_outputs(task, result, parameters, context, feedback)

    def write_outputs(self, task, result, parameters, context, feedback):
        """Copies the products out of the task's workspace before the task (and the workspace) goes."""
        outputs = {}
        if self.RASTER_OUTPUT:
            outputs[OUTPUT] = export_raster(task, self.parameterAsOutputLayer(parameters, OUTPUT, context))
        preview = self.parameterAsOutputLayer(parameters, PREVIEW, context) if self.PREVIEW_OUTPUT else ""
        if preview:
            outputs[PREVIEW] = copy_file(result["previewPath"], preview)
        if self.POLYGON_OUTPUT:
            outputs[POLYGONS] = write_polygons(self, parameters, POLYGONS, context, feedback,
                                               result["vectorPath"])
        return outputs
