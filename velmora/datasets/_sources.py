"""The Debian-packaged files the data sets are built from."""

from __future__ import annotations

import sys
from pathlib import Path


def source_dir(attribute: str) -> Path:
    """The directory held by ``velmora.datasets.<attribute>``, read at each call so that
    assigning the attribute redirects every loader."""
    return Path(getattr(sys.modules[__package__], attribute))


def require(path: Path, package: str) -> Path:
    """``path`` if it is a file; else FileNotFoundError naming the Debian package to install."""
    if not path.is_file():
        raise FileNotFoundError(
            f"{path} is missing; install the Debian package {package} "
            f"(apt-get install -y {package})"
        )
    return path
