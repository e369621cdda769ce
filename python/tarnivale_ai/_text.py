"""Text across the C boundary: UTF-16 requests and answers (char16_t), UTF-8 task text, and the calls
that turn a returned pointer into Python text, freeing it exactly once."""

import ctypes
import json
import mmap

from .errors import TarnivaleError

Char16 = ctypes.c_uint16
Char16Pointer = ctypes.POINTER(Char16)

_UNIT = 2
# Reading up to a page boundary never touches an unmapped page: a string's bytes run on into the next page
# only when that page is mapped.
_PAGE = mmap.PAGESIZE


def utf16(text):
    """A NUL-terminated char16_t array holding ``text`` (kept alive by the caller during the call)."""
    encoded = (text + "\0").encode("utf-16-le", "surrogatepass")
    return (Char16 * (len(encoded) // _UNIT)).from_buffer_copy(encoded)


def request_utf16(request):
    """A JSON request (dict) as a char16_t array."""
    return utf16(json.dumps(request, ensure_ascii=False))


def read_utf16(address):
    """The NUL-terminated char16_t string at ``address`` as text (wchar_t readers would take 4-byte units)."""
    chunks = []
    while True:
        length = _PAGE - address % _PAGE
        data = ctypes.string_at(address, length)
        end = data.find(b"\0\0")
        while end >= 0 and end % _UNIT:
            end = data.find(b"\0\0", end + 1)
        if end >= 0:
            chunks.append(data[:end])
            return b"".join(chunks).decode("utf-16-le", "surrogatepass")
        chunks.append(data)
        address += length


def take_utf16(library, address):
    """Text of a string the UTF-16 functions returned, which is then freed."""
    if not address:
        return ""
    try:
        return read_utf16(address)
    finally:
        library.TarnivaleAI_FreeString(address)


def take_utf8(library, address):
    """Text of a string the task functions returned, which is then freed."""
    if not address:
        return ""
    try:
        return ctypes.string_at(address).decode("utf-8")
    finally:
        library.TarnivaleAI_FreeTaskString(address)


def last_error(library):
    """The calling thread's error from the UTF-16 functions."""
    return TarnivaleError(take_utf16(library, library.TarnivaleAI_GetLastError()))


def last_task_error(library):
    """The calling thread's error from the task functions."""
    return TarnivaleError(take_utf8(library, library.TarnivaleAI_GetLastTaskErrorUtf8()))


def json_utf16(library, address):
    """The JSON document a UTF-16 function returned (freed), or its error when it returned null."""
    if not address:
        raise last_error(library)
    return json.loads(take_utf16(library, address))


def json_utf8(library, address):
    """The JSON document a task function returned (freed), or its error when it returned null."""
    if not address:
        raise last_task_error(library)
    return json.loads(take_utf8(library, address))


def buffered_utf16(function, *arguments, capacity=4096):
    """Text written by a registry-style function into a caller buffer: it returns the full length, so a
    buffer too small is grown and the call made again; None when it returned -1."""
    while True:
        buffer = (Char16 * capacity)()
        length = function(*arguments, buffer, capacity)
        if length < 0:
            return None
        if length < capacity:
            return ctypes.string_at(buffer, length * _UNIT).decode("utf-16-le", "surrogatepass")
        capacity = length + 1
