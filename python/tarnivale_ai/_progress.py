"""Progress callbacks from the library's worker threads into Python, without letting an exception cross
into C."""

from ._library import ProgressCallback
from ._text import read_utf16


class ProgressRelay:
    """Holds the C function pointer for one call (it must outlive the call) and the first exception the
    Python callback raised; after that exception, later calls are skipped."""

    def __init__(self, callback):
        self._callback = callback
        self.error = None
        self.pointer = ProgressCallback(self._relay) if callback else ProgressCallback()

    def _relay(self, completed, total, percent, message, _user_data):
        if self.error is not None:
            return
        try:
            self._callback(completed, total, percent, read_utf16(message) if message else "")
        except BaseException as error:  # noqa: B902 - nothing may propagate into the C caller
            self.error = error

    def finish(self, run):
        """Calls ``run()`` (which makes the C call and reads its answer), then re-raises the callback's
        exception, chained to the library's own error when the call failed too."""
        try:
            answer = run()
        except Exception as failure:
            if self.error is not None:
                raise self.error from failure
            raise
        if self.error is not None:
            raise self.error
        return answer
