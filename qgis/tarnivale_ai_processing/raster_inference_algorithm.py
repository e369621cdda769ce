"""Runs a model package over a raster layer into a GeoTIFF, as `tarnivale-ai run` does."""

import os

from qgis.core import (QgsProcessingAlgorithm, QgsProcessingException, QgsProcessingParameterBand,
                       QgsProcessingParameterBoolean, QgsProcessingParameterDefinition,
                       QgsProcessingParameterRasterDestination, QgsProcessingParameterString)

from .library import library_errors
from .parameters import INPUT, add_inputs, add_session_parameters, package_path, raster_path, session_keys
from .progress import run_synchronous

BANDS = "BANDS"
DECODER = "DECODER"
RAW_OUTPUT = "RAW_OUTPUT"
FLOAT_BANDS = "FLOAT_BANDS"
CLASS_CODES = "CLASS_CODES"
COG = "COG"
OUTPUT = "OUTPUT"


def first_decoder(tai, package):
    """The id of the package's first output decoder, or None: the command line's default."""
    decoders = tai.inspect_package(package).get("manifest", {}).get("outputDecoders", [])
    return decoders[0].get("id") if decoders else None


class RasterInferenceAlgorithm(QgsProcessingAlgorithm):
    """Model package + raster layer -> raster layer."""

    def name(self):
        return "raster_inference"

    def displayName(self):  # noqa: N802
        return "Run model package over raster"

    def group(self):
        return "Raster inference"

    def groupId(self):  # noqa: N802
        return "raster_inference"

    def shortHelpString(self):  # noqa: N802
        return ("Runs the package's model tile by tile over the raster layer and writes a GeoTIFF with the "
                "run's provenance. The bands of the package's first raster input adapter are read unless "
                "Bands are chosen, and the package's first output decoder is applied unless another is named"
                " or the raw output is asked for. Tiling and normalisation are the package's.")

    def createInstance(self):  # noqa: N802
        return RasterInferenceAlgorithm()

    def initAlgorithm(self, config=None):  # noqa: N802
        add_inputs(self)
        self.addParameter(QgsProcessingParameterBand(BANDS, "Bands in channel order (default: the package's)",
                                                     None, INPUT, True, True))
        decoder = QgsProcessingParameterString(DECODER, "Output decoder id (default: the package's first)",
                                               optional=True)
        raw = QgsProcessingParameterBoolean(RAW_OUTPUT, "Raw output, no decoder (argmax or scores)", False)
        floats = QgsProcessingParameterBoolean(FLOAT_BANDS, "Write the scores as float bands, not a class "
                                               "mask", False)
        codes = QgsProcessingParameterBoolean(CLASS_CODES, "Write the manifest's class codes, not indices",
                                              False)
        cog = QgsProcessingParameterBoolean(COG, "Cloud-Optimised GeoTIFF (DEFLATE, overviews)", False)
        for parameter in (decoder, raw, floats, codes, cog):
            parameter.setFlags(parameter.flags() | QgsProcessingParameterDefinition.FlagAdvanced)
            self.addParameter(parameter)
        add_session_parameters(self, "0: ONNX Runtime's choice")
        self.addParameter(QgsProcessingParameterRasterDestination(OUTPUT, "Output raster"))

    def processAlgorithm(self, parameters, context, feedback):  # noqa: N802
        package = package_path(self, parameters, context)
        output = self.parameterAsOutputLayer(parameters, OUTPUT, context)
        request = {
            "modelPackagePath": package,
            "useInputAdapter": True,
            "rasterPath": raster_path(self, parameters, INPUT, context),
            "outputPath": output,
            "outputMode": ("floatBands" if self.parameterAsBool(parameters, FLOAT_BANDS, context)
                           else "classMask"),
            "applyManifestClassCodes": self.parameterAsBool(parameters, CLASS_CODES, context),
            **session_keys(self, parameters, context),
        }
        bands = self.parameterAsInts(parameters, BANDS, context)
        if bands:
            request["bands"] = bands
        if self.parameterAsBool(parameters, COG, context):
            request["outputFormat"] = "COG"
        with library_errors() as tai:
            if not self.parameterAsBool(parameters, RAW_OUTPUT, context):
                decoder = self.parameterAsString(parameters, DECODER, context) or first_decoder(tai, package)
                if decoder:
                    request["outputDecoderId"] = decoder
            result = run_synchronous(lambda progress: tai.run_raster_inference(request, progress), feedback)
        if feedback.isCanceled():
            if os.path.exists(output):
                os.remove(output)
            raise QgsProcessingException("Cancelled.")
        feedback.pushInfo(f"{result.get('width')} x {result.get('height')}, {result.get('bandCount')} "
                          f"band(s) of {result.get('dataType')}, {result.get('processedTiles')} tiles in "
                          f"{result.get('elapsedMilliseconds')} ms on {result.get('provider')}.")
        return {OUTPUT: output}
