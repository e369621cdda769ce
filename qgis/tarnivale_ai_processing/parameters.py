"""Parameters every algorithm shares (package folder, raster layer, session) and readers of their values."""

from qgis.core import (QgsProcessingException, QgsProcessingParameterDefinition, QgsProcessingParameterEnum,
                       QgsProcessingParameterFile, QgsProcessingParameterNumber,
                       QgsProcessingParameterRasterLayer, QgsProviderRegistry)

PACKAGE = "PACKAGE"
INPUT = "INPUT"
PROVIDER = "PROVIDER"
THREADS = "THREADS"
PROVIDERS = ["auto", "cpu"]


def add_inputs(algorithm, package_description="Model package folder"):
    """The package folder and the raster layer, first in every dialog."""
    algorithm.addParameter(QgsProcessingParameterFile(PACKAGE, package_description,
                                                      behavior=QgsProcessingParameterFile.Folder))
    algorithm.addParameter(QgsProcessingParameterRasterLayer(INPUT, "Raster layer"))


def add_session_parameters(algorithm, threads_help="0: the library's default"):
    """Execution provider and thread count, under Advanced."""
    provider = QgsProcessingParameterEnum(PROVIDER, "Execution provider", PROVIDERS, False, "auto", False,
                                          True)
    threads = QgsProcessingParameterNumber(THREADS, f"Intra-operator threads ({threads_help})",
                                           QgsProcessingParameterNumber.Integer, 0, False, 0, 64)
    for parameter in (provider, threads):
        parameter.setFlags(parameter.flags() | QgsProcessingParameterDefinition.FlagAdvanced)
        algorithm.addParameter(parameter)


def session_keys(algorithm, parameters, context):
    """"provider" and "intraOpThreads" for the request; a thread count of 0 is left to the library."""
    keys = {"provider": algorithm.parameterAsEnumString(parameters, PROVIDER, context) or "auto"}
    threads = algorithm.parameterAsInt(parameters, THREADS, context)
    if threads > 0:
        keys["intraOpThreads"] = threads
    return keys


def package_path(algorithm, parameters, context):
    return algorithm.parameterAsFile(parameters, PACKAGE, context)


def raster_path(algorithm, parameters, name, context):
    """The file behind a raster layer parameter (the library opens files with GDAL itself)."""
    layer = algorithm.parameterAsRasterLayer(parameters, name, context)
    if layer is None:
        raise QgsProcessingException(algorithm.invalidRasterError(parameters, name))
    if layer.providerType() != "gdal":
        raise QgsProcessingException(f"{layer.name()} is not a GDAL raster file; save it as a GeoTIFF first.")
    return QgsProviderRegistry.instance().decodeUri("gdal", layer.source()).get("path") or layer.source()


def optional_number(algorithm, parameters, name, context):
    """The value of an optional number parameter, or None when it is not set."""
    if parameters.get(name) in (None, ""):
        return None
    return algorithm.parameterAsDouble(parameters, name, context)


def numbers(text, count, what):
    """Exactly `count` comma-separated numbers, e.g. "10,20,300,200"."""
    try:
        values = [float(part) for part in text.split(",")]
    except ValueError:
        values = []
    if len(values) != count:
        raise QgsProcessingException(f"{what} takes {count} comma-separated numbers, not '{text}'.")
    return values
