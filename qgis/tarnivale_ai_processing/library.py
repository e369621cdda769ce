"""Access to the tarnivale_ai Python package: the copy bundled in the plugin's "vendor" folder (the zip made
by `make qgis-plugin`) first, else whatever PYTHONPATH offers. The package finds the library itself
(TARNIVALE_AI_LIBRARY, the install prefixes, the build tree)."""

import contextlib
import os
import sys

from qgis.core import QgsProcessingException

_VENDOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "vendor")
_LIBRARY_HINT = ("Install the Tarnivale.AI library, or set the environment variable TARNIVALE_AI_LIBRARY to "
                 "the path of libtarnivale-ai.so.0 (Settings > Options > System > Environment) and "
                 "restart QGIS.")


def tarnivale_ai():
    """The tarnivale_ai module; a QgsProcessingException when neither copy is there."""
    if os.path.isdir(os.path.join(_VENDOR, "tarnivale_ai")) and _VENDOR not in sys.path:
        sys.path.insert(0, _VENDOR)
    try:
        import tarnivale_ai
    except ImportError as error:
        raise QgsProcessingException(
            f"The tarnivale_ai Python package is missing ({error}): install the plugin from the zip made "
            "by 'make qgis-plugin', or put the repository's python folder on PYTHONPATH.") from error
    return tarnivale_ai


@contextlib.contextmanager
def library_errors():
    """Turns the library's errors into Processing errors with the library's own message."""
    tai = tarnivale_ai()
    try:
        yield tai
    except tai.LibraryNotFoundError as error:
        raise QgsProcessingException(f"{error}. {_LIBRARY_HINT}") from error
    except tai.TarnivaleError as error:
        raise QgsProcessingException(str(error)) from error
