"""Builds the installable plugin zip: the plugin folder with the tarnivale_ai package bundled in its "vendor"
folder, where the plugin looks first.

    /usr/bin/python3 qgis/make_plugin_zip.py OUTPUT.zip
"""

import os
import sys
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLUGIN = "tarnivale_ai_processing"
SOURCES = (
    (os.path.join(ROOT, "qgis", PLUGIN), PLUGIN),
    (os.path.join(ROOT, "python", "tarnivale_ai"), f"{PLUGIN}/vendor/tarnivale_ai"),
)


def members(source, prefix):
    """(file path, name in the archive) of every file under source, compiled files left out."""
    for directory, subdirectories, files in os.walk(source):
        subdirectories[:] = sorted(d for d in subdirectories if d != "__pycache__")
        for name in sorted(files):
            if name.endswith((".pyc", ".pyo")):
                continue
            path = os.path.join(directory, name)
            yield path, f"{prefix}/{os.path.relpath(path, source)}"


def main(output):
    os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
    staging = f"{output}.part"
    with zipfile.ZipFile(staging, "w", zipfile.ZIP_DEFLATED) as archive:
        for source, prefix in SOURCES:
            if not os.path.isdir(source):
                sys.exit(f"make_plugin_zip: {source} is missing")
            for path, name in members(source, prefix):
                archive.write(path, name)
    os.replace(staging, output)
    print(f"Wrote {output}")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
