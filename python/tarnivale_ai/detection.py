"""Object detection and the catalogue query."""

from ._library import load_library
from ._progress import ProgressRelay
from ._text import json_utf16, request_utf16


def run_object_detection(request, progress=None):
    """Detects objects with a detection package; ``progress`` as for ``run_raster_inference`` (windows done
    and in all, 0 and 0 for one-shot runs)."""
    library = load_library()
    relay = ProgressRelay(progress)
    text = request_utf16(request)
    return relay.finish(lambda: json_utf16(
        library, library.TarnivaleAI_RunObjectDetection(text, relay.pointer, None)))


def run_catalog_query(catalog, query):
    """Answers a query (text search, question-answer or detection mode) over a catalogue document."""
    library = load_library()
    return json_utf16(library, library.TarnivaleAI_RunVlmCatalogQuery(request_utf16(catalog),
                                                                      request_utf16(query)))
