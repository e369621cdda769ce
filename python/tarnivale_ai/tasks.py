"""Tasks: built-in pipelines running on a thread of their own in the library (UTF-8 JSON functions)."""

import json
import os
import time

from ._library import load_library
from ._text import json_utf8, last_task_error

TERMINAL_STATES = frozenset({"completed", "failed", "cancelled"})


def _utf8(document):
    return json.dumps(document, ensure_ascii=False).encode("utf-8")


def estimate_task(request):
    """What a task request will cost, without starting it (dynamic-world, prue-fields and
    sen2sr-super-resolution; other kinds raise "AI task kind has no estimate: <kind>")."""
    library = load_library()
    return json_utf8(library, library.TarnivaleAI_EstimateTaskUtf8(_utf8(request)))


class Task:
    """A started task. Use it as a context manager (or call ``release()``) so that its workspace goes."""

    def __init__(self, request):
        self._released = True  # until started, nothing to release
        self._library = load_library()
        self.id = self._library.TarnivaleAI_StartTaskUtf8(_utf8(request))
        if self.id == 0:
            raise last_task_error(self._library)
        self._released = False

    def status(self):
        """{"state", "percent", "message", "error", "completedTiles", "totalTiles", ...}"""
        return json_utf8(self._library, self._library.TarnivaleAI_GetTaskStatusUtf8(self.id))

    def wait(self, progress=None, interval=0.05, timeout=None):
        """Polls until the task is completed, failed or cancelled and returns that status.

        ``progress(status)`` is called whenever the percent or message changes. Raises TimeoutError after
        ``timeout`` seconds, leaving the task running.
        """
        deadline = None if timeout is None else time.monotonic() + timeout
        seen = None
        while True:
            status = self.status()
            shown = (status.get("percent"), status.get("message"))
            if progress is not None and shown != seen:
                progress(status)
            seen = shown
            if status.get("state") in TERMINAL_STATES:
                return status
            if deadline is not None and time.monotonic() >= deadline:
                raise TimeoutError(f"AI task {self.id} still {status.get('state')} after {timeout} s.")
            time.sleep(interval)

    def cancel(self):
        """Asks a queued or running task to stop; does not wait (``wait()`` sees "cancelled")."""
        if not self._library.TarnivaleAI_CancelTask(self.id):
            raise last_task_error(self._library)

    def result(self):
        """The completed task's result document."""
        return json_utf8(self._library, self._library.TarnivaleAI_GetTaskResultUtf8(self.id))

    def export(self, format, path):  # noqa: A002 - the name the API gives this argument
        """Copies the result out of the workspace ("geotiff" or "shapefile"); never overwrites."""
        document = _utf8({"format": format, "path": os.fspath(path)})
        return json_utf8(self._library, self._library.TarnivaleAI_ExportTaskResultUtf8(self.id, document))

    def release(self):
        """Stops the task if need be and deletes its workspace; later calls do nothing."""
        if self._released:
            return
        self._released = True
        if not self._library.TarnivaleAI_ReleaseTask(self.id):
            raise last_task_error(self._library)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.release()

    def __del__(self):
        # A last resort for a task nobody released; errors have no one to go to here.
        try:
            self.release()
        except Exception:  # noqa: BLE001
            pass
