"""Floppy images made for one test: a copy of a built image with files added or removed."""

import os
import shutil
import subprocess

ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1")


def variant(base, path, files=None, folders=(), remove=()):
    """Copies `base` to `path`; `files` maps "DIR/NAME.EXT" to bytes; returns the path."""
    shutil.copyfile(base, path)
    for name in remove:
        subprocess.run(["mdel", "-i", str(path), f"::/{name}"], check=True, env=ENV)
    for folder in folders:
        subprocess.run(["mmd", "-i", str(path), f"::/{folder}"], check=True, env=ENV)
    for name, data in (files or {}).items():
        source = f"{path}.file"
        with open(source, "wb") as f:
            f.write(data)
        subprocess.run(["mcopy", "-o", "-i", str(path), source, f"::/{name}"], check=True, env=ENV)
        os.remove(source)
    return str(path)
