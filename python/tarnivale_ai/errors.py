"""The exceptions the package raises."""


class TarnivaleError(Exception):
    """A failure reported by the library; ``message`` (and ``str()``) is the library's exact text."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message

    def __str__(self):
        return self.message


class LibraryNotFoundError(TarnivaleError, OSError):
    """No loadable Tarnivale.AI library was found; the message names every path tried."""
