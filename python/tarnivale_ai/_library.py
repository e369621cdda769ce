"""Finding and loading libtarnivale-ai.so once, with a typed signature for every exported C function."""

import ctypes
import os
import pathlib
import sys
import threading

from .errors import LibraryNotFoundError, TarnivaleError
from ._text import Char16Pointer

_NAMES = ("libtarnivale-ai.so.0", "libtarnivale-ai.so")
_PREFIXES = ("/usr/local", "/usr", sys.prefix)
_ENVIRONMENT = "TARNIVALE_AI_LIBRARY"

ProgressCallback = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                                    ctypes.c_void_p)

_u16 = Char16Pointer
_i32 = ctypes.c_int32
_u64 = ctypes.c_uint64
# name: (restype, argtypes). Returned strings are c_void_p so that they can be freed, never auto-converted.
_SIGNATURES = {
    "TarnivaleAI_GetAvailableProvidersJson": (ctypes.c_void_p, []),
    "TarnivaleAI_GetRuntimeDiagnosticsJson": (ctypes.c_void_p, [_u16]),
    "TarnivaleAI_InspectModelPackageJson": (ctypes.c_void_p, [_u16]),
    "TarnivaleAI_CopyAsCloudOptimizedGeoTiff": (ctypes.c_void_p, [_u16, _u16]),
    "TarnivaleAI_RunRasterInference": (ctypes.c_void_p, [_u16, ProgressCallback, ctypes.c_void_p]),
    "TarnivaleAI_RunObjectDetection": (ctypes.c_void_p, [_u16, ProgressCallback, ctypes.c_void_p]),
    "TarnivaleAI_RunVlmCatalogQuery": (ctypes.c_void_p, [_u16, _u16]),
    "TarnivaleAI_GetLastError": (ctypes.c_void_p, []),
    "TarnivaleAI_FreeString": (None, [ctypes.c_void_p]),
    "TarnivaleAI_StartTaskUtf8": (_u64, [ctypes.c_char_p]),
    "TarnivaleAI_EstimateTaskUtf8": (ctypes.c_void_p, [ctypes.c_char_p]),
    "TarnivaleAI_GetTaskStatusUtf8": (ctypes.c_void_p, [_u64]),
    "TarnivaleAI_GetTaskResultUtf8": (ctypes.c_void_p, [_u64]),
    "TarnivaleAI_CancelTask": (ctypes.c_int, [_u64]),
    "TarnivaleAI_ReleaseTask": (ctypes.c_int, [_u64]),
    "TarnivaleAI_ExportTaskResultUtf8": (ctypes.c_void_p, [_u64, ctypes.c_char_p]),
    "TarnivaleAI_GetLastTaskErrorUtf8": (ctypes.c_void_p, []),
    "TarnivaleAI_FreeTaskString": (None, [ctypes.c_void_p]),
    "TarnivaleAiModelRegistry_ResolveJson": (_i32, [_u16, _u16, _i32]),
    "TarnivaleAiModelRegistry_InstallJson": (_i32, [_u16, _u16, _i32]),
    "TarnivaleAiModelRegistry_SignJson": (_i32, [_u16, _u16, _i32]),
    "TarnivaleAiModelRegistry_LastError": (_i32, [_u16, _i32]),
}

_lock = threading.Lock()
_loaded = None  # (path, CDLL)


def _candidates():
    """Paths tried without an explicit one: the environment variable alone when it is set (a wrong setting
    is reported, not silently replaced), else the install prefixes, then the build tree."""
    configured = os.environ.get(_ENVIRONMENT)
    if configured:
        return [configured]
    paths = [os.path.join(prefix, directory, name) for prefix in _PREFIXES
             for directory in ("lib", "lib/x86_64-linux-gnu") for name in _NAMES]
    repository = pathlib.Path(__file__).resolve().parents[2]
    paths.append(str(repository / "build" / "src" / _NAMES[0]))
    return list(dict.fromkeys(paths))


def _typed(path):
    """The library at ``path`` with every function's signature set; raises OSError or AttributeError."""
    library = ctypes.CDLL(path)
    for name, (restype, argtypes) in _SIGNATURES.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library


def load_library(path=None):
    """Loads the library once and returns its handle.

    Without ``path`` the lookup order is: the environment variable TARNIVALE_AI_LIBRARY, then
    ``<prefix>/lib`` and ``<prefix>/lib/x86_64-linux-gnu`` under /usr/local, /usr and ``sys.prefix``, then the
    build tree (``<repo>/build/src/libtarnivale-ai.so.0``). Raises LibraryNotFoundError naming the paths
    tried, or TarnivaleError when another library is already loaded.
    """
    global _loaded
    with _lock:
        if _loaded is not None:
            if path is not None and os.path.realpath(path) != os.path.realpath(_loaded[0]):
                raise TarnivaleError(f"The Tarnivale.AI library is already loaded from {_loaded[0]}.")
            return _loaded[1]
        tried = []
        for candidate in [os.fspath(path)] if path is not None else _candidates():
            if not os.path.exists(candidate):
                tried.append(f"{candidate} (absent)")
                continue
            try:
                library = _typed(candidate)
            except (OSError, AttributeError) as error:
                tried.append(f"{candidate} ({error})")
                continue
            _loaded = (candidate, library)
            return library
        raise LibraryNotFoundError("Tarnivale.AI library not found; tried: " + "; ".join(tried))


def library_path():
    """The path of the loaded library (loading it first if need be)."""
    load_library()
    return _loaded[0]
