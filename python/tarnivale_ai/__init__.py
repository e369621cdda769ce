"""Python bindings of the Tarnivale.AI flat C interface (libtarnivale-ai.so) through ctypes.

Requests and results are dicts (the library's JSON documents); failures raise TarnivaleError with the
library's own message.
"""

from ._library import library_path, load_library
from .detection import run_catalog_query, run_object_detection
from .errors import LibraryNotFoundError, TarnivaleError
from .raster import (available_providers, copy_as_cloud_optimized_geotiff, estimate_raster_inference,
                     inspect_package, run_raster_inference, runtime_diagnostics)
from .registry import registry_install, registry_resolve, registry_sign
from .tasks import Task, estimate_task

__all__ = [
    "LibraryNotFoundError", "Task", "TarnivaleError", "available_providers", "copy_as_cloud_optimized_geotiff",
    "estimate_raster_inference", "estimate_task", "inspect_package", "library_path", "load_library",
    "registry_install", "registry_resolve", "registry_sign", "run_catalog_query", "run_object_detection",
    "run_raster_inference", "runtime_diagnostics",
]
