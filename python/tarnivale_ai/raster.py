"""Runtime information, package inspection and raster inference."""

import os

from ._library import load_library
from ._progress import ProgressRelay
from ._text import json_utf16, request_utf16, utf16


def available_providers():
    """The execution providers this build offers, e.g. ``["CPU"]``."""
    library = load_library()
    return json_utf16(library, library.TarnivaleAI_GetAvailableProvidersJson())["providers"]


def runtime_diagnostics(request):
    """A provider's readiness and, with ``"modelPath"``, the model's compatibility (session keys as in
    raster requests)."""
    library = load_library()
    return json_utf16(library, library.TarnivaleAI_GetRuntimeDiagnosticsJson(request_utf16(request)))


def inspect_package(directory):
    """The report on a model package directory: manifest, inputs, outputs, validity and its errors."""
    library = load_library()
    return json_utf16(library, library.TarnivaleAI_InspectModelPackageJson(utf16(os.fspath(directory))))


def run_raster_inference(request, progress=None):
    """Runs a raster inference request and returns its result document.

    ``progress(completed_tiles, total_tiles, percent, message)`` is called from the library's worker
    thread; an exception it raises is kept, later calls are skipped, and it is raised once the run ends.
    """
    library = load_library()
    relay = ProgressRelay(progress)
    text = request_utf16(request)
    return relay.finish(lambda: json_utf16(
        library, library.TarnivaleAI_RunRasterInference(text, relay.pointer, None)))


def estimate_raster_inference(request):
    """What the run of ``request`` would cost (tiles, peak memory, output size) without running it."""
    return run_raster_inference({**request, "estimateOnly": True})


def copy_as_cloud_optimized_geotiff(source_path, output_path):
    """Copies a raster into a new Cloud-Optimised GeoTIFF (never replacing a file)."""
    library = load_library()
    return json_utf16(library, library.TarnivaleAI_CopyAsCloudOptimizedGeoTiff(
        utf16(os.fspath(source_path)), utf16(os.fspath(output_path))))
