"""Real documents for the knowledge-base benchmarks, fetched through the package registry.

The documentation tree of one pinned Django release (reStructuredText in .txt files:
tutorials, how-to guides, reference, policies, a glossary and release notes). The source
archive is downloaded once with pip, checked against its SHA-256 and unpacked under
benchmarks/data/cache/, which git ignores.
"""

from __future__ import annotations

import hashlib
import subprocess
import sys
import tarfile
from pathlib import Path

CACHE = Path(__file__).resolve().parent / "data" / "cache"
RELEASE = "5.1.4"
SHA256 = "de450c09e91879fa5a307f696e57c851955c910a438a35e6b4c895e86bedc82a"
# The reader's options for the tree: the pages, not the build files or images.
INCLUDE = ("*.txt",)
EXCLUDE = ("_ext/*", "_theme/*", "requirements.txt")


def django_docs() -> Path:
    """The unpacked docs/ folder of the pinned release."""
    root = CACHE / f"Django-{RELEASE}"
    if (root / "docs" / "glossary.txt").exists():
        return root / "docs"
    CACHE.mkdir(parents=True, exist_ok=True)
    archive = CACHE / f"django-{RELEASE}.tar.gz"
    if not archive.exists():
        subprocess.run(
            [sys.executable, "-m", "pip", "download", "--quiet", "--no-deps",
             "--no-binary", ":all:", f"django=={RELEASE}", "-d", str(CACHE)],
            check=True,
        )  # fmt: skip
        found = sorted(CACHE.glob(f"[Dd]jango-{RELEASE}.tar.gz"))
        if not found:
            raise RuntimeError(f"pip downloaded no source archive of Django {RELEASE}")
        found[0].rename(archive)
    digest = hashlib.sha256(archive.read_bytes()).hexdigest()
    if digest != SHA256:
        archive.unlink()
        raise RuntimeError(f"{archive.name}: SHA-256 {digest}, expected {SHA256}")
    with tarfile.open(archive) as tar:
        members = [m for m in tar.getmembers() if m.name.startswith(f"Django-{RELEASE}/docs/")]
        tar.extractall(CACHE, members=members, filter="data")
    return root / "docs"
