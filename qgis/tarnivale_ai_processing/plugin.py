"""The plugin object: registers the Processing provider and nothing else (no menus, no toolbars)."""

from qgis.core import QgsApplication

from .provider import TarnivaleAiProvider


class TarnivaleAiPlugin:
    """Adds the provider on load and removes it on unload, in the desktop and in qgis_process."""

    def __init__(self, iface):
        self.iface = iface
        self.provider = None

    def initProcessing(self):  # noqa: N802 - QGIS calls this (qgis_process calls only this)
        """Registers the provider once."""
        if self.provider is None:
            self.provider = TarnivaleAiProvider()
            QgsApplication.processingRegistry().addProvider(self.provider)

    def initGui(self):  # noqa: N802
        self.initProcessing()

    def unload(self):
        if self.provider is not None:
            QgsApplication.processingRegistry().removeProvider(self.provider)
            self.provider = None
