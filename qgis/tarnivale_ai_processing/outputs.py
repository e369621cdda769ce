"""Writing the library's products to the algorithm's destinations."""

import os
import shutil

from qgis.core import (QgsFeature, QgsFeatureSink, QgsFields, QgsProcessingAlgorithm, QgsProcessingException,
                       QgsVectorLayer)


def clear_destination(path):
    """Removes a destination file the user chose to overwrite (the library never replaces one)."""
    if os.path.lexists(path):
        os.remove(path)


def export_raster(task, path):
    """The task's raster result as a GeoTIFF at `path`."""
    clear_destination(path)
    task.export("geotiff", path)
    return path


def copy_file(source, path):
    """A workspace file copied to `path` under a temporary name and renamed into place whole."""
    staging = os.path.join(os.path.dirname(path) or ".", f".{os.path.basename(path)}.part")
    try:
        shutil.copyfile(source, staging)
        os.replace(staging, path)
    finally:
        if os.path.lexists(staging):
            os.remove(staging)
    return path


def write_polygons(algorithm, parameters, name, context, feedback, source_path):
    """Copies the features of the library's GeoPackage into the feature sink `name`; returns its id.

    The GeoPackage's own "fid" column is left behind: the destination numbers its features itself."""
    layer = QgsVectorLayer(source_path, "polygons", "ogr")
    if not layer.isValid():
        raise QgsProcessingException(f"Cannot open the polygons written by the library: {source_path}")
    kept = [index for index, field in enumerate(layer.fields()) if field.name().lower() != "fid"]
    fields = QgsFields()
    for index in kept:
        fields.append(layer.fields().at(index))
    sink, destination = algorithm.parameterAsSink(parameters, name, context, fields, layer.wkbType(),
                                                  layer.crs())
    if sink is None:
        raise QgsProcessingException(QgsProcessingAlgorithm.invalidSinkError(parameters, name))
    for feature in layer.getFeatures():
        if feedback.isCanceled():
            raise QgsProcessingException("Cancelled while the polygons were being written.")
        copy = QgsFeature(fields)
        copy.setGeometry(feature.geometry())
        attributes = feature.attributes()
        copy.setAttributes([attributes[index] for index in kept])
        sink.addFeature(copy, QgsFeatureSink.FastInsert)
    return destination
