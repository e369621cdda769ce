"""QGIS plugin entry point: the Tarnivale.AI Processing provider."""


def classFactory(iface):  # noqa: N802 - the name QGIS looks for
    """Returns the plugin object QGIS keeps while the plugin is enabled."""
    from .plugin import TarnivaleAiPlugin
    return TarnivaleAiPlugin(iface)
