"""The signed model registry: resolve, install from an offline mirror, sign (caller-buffer functions)."""

import json

from ._library import load_library
from ._text import buffered_utf16, request_utf16
from .errors import TarnivaleError


def _call(name, request):
    library = load_library()
    answer = buffered_utf16(getattr(library, name), request_utf16(request))
    if answer is None:
        raise TarnivaleError(buffered_utf16(library.TarnivaleAiModelRegistry_LastError))
    return json.loads(answer)


def registry_resolve(request):
    """The entry of a signed index that matches "id", "version" and "sdkVersion"
    ("trustedKeyBase64", "signedIndex" as text)."""
    return _call("TarnivaleAiModelRegistry_ResolveJson", request)


def registry_install(request):
    """Resolves, then installs the artifact from "offlineMirrorDirectory" into "destinationDirectory"."""
    return _call("TarnivaleAiModelRegistry_InstallJson", request)


def registry_sign(request):
    """A signed index document for "entries" under "signingKeyBase64"."""
    return _call("TarnivaleAiModelRegistry_SignJson", request)
