"""What to read under a root: regular files with the identity they had when listed.

A file is read later, perhaps in another process, so the listing keeps each file's device
and inode: the reader opens it without following links and refuses a file that is no longer
the one listed. Names are kept as bytes; their text form is names.path_text.
"""

from __future__ import annotations

import os
import stat
from collections.abc import Sequence
from dataclasses import dataclass
from fnmatch import fnmatchcase

from revuradova.ingest.names import path_text, raw_path


@dataclass(frozen=True, slots=True)
class FoundFile:
    """A regular file as listed: its absolute path's exact bytes (the real path), its path
    under the root as path_text gives it (a single-file root: its base name), and the size,
    modification time and identity it had."""

    path: bytes
    relative: str
    size: int
    mtime_ns: int
    device: int
    inode: int


_KINDS = (
    (stat.S_ISFIFO, "FIFO"),
    (stat.S_ISCHR, "character device"),
    (stat.S_ISBLK, "block device"),
    (stat.S_ISSOCK, "socket"),
    (stat.S_ISDIR, "folder"),
)


def special_kind(mode: int) -> str:
    """What a file that is not regular is, in words."""
    for test, name in _KINDS:
        if test(mode):
            return name
    return "unknown kind"


def _found(path: bytes, relative: str, info: os.stat_result) -> FoundFile:
    return FoundFile(path, relative, info.st_size, info.st_mtime_ns, info.st_dev, info.st_ino)


def why_not(error: OSError) -> str:
    """An OSError met while listing or opening, as a reason to skip."""
    if isinstance(error, FileNotFoundError):
        return "vanished during the walk"
    if isinstance(error, PermissionError):
        return "not readable (permission denied)"
    return f"{type(error).__name__}: {error.strerror or error}"


def list_files(
    root: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    *,
    include: Sequence[str] = ("*",),
    exclude: Sequence[str] = (),
    follow_symlinks: bool = False,
) -> tuple[list[FoundFile], list[tuple[str, str]]]:
    """Files to read under root (sorted by relative), and the (relative, reason) of those
    skipped (special files, links not followed, unreadable folders). A root that is a file
    gives that file alone: include/exclude do not apply, no globbing, nothing else is listed.
    FileNotFoundError for a missing root; a root that is a FIFO, device or socket is skipped
    with its reason. Patterns are matched (fnmatch, case-sensitive) against the relative
    text; a folder matching an exclude pattern with "/" appended is not entered."""
    include, exclude = tuple(include), tuple(exclude)
    for pattern in include + exclude:
        if not isinstance(pattern, str):
            raise TypeError(f"include/exclude patterns must be str, got {pattern!r}")
    given = raw_path(root)
    info = os.stat(given)  # the root itself is the caller's choice: a link to it is followed
    real_root = os.path.realpath(given)
    if not stat.S_ISDIR(info.st_mode):
        name = path_text(os.path.basename(real_root))
        if stat.S_ISREG(info.st_mode):
            return [_found(real_root, name, info)], []
        return [], [(name, f"not a regular file ({special_kind(info.st_mode)})")]

    def wanted(relative: str) -> bool:
        return any(fnmatchcase(relative, p) for p in include) and not any(
            fnmatchcase(relative, p) for p in exclude
        )

    found: list[FoundFile] = []
    skipped: list[tuple[str, str]] = []
    seen_dirs = {(info.st_dev, info.st_ino)}
    pending: list[tuple[bytes, bytes]] = [(real_root, b"")]
    while pending:
        directory, prefix = pending.pop()
        try:
            with os.scandir(directory) as listing:
                entries = list(listing)
        except OSError as error:
            skipped.append((path_text(prefix.rstrip(b"/")) or ".", why_not(error)))
            continue
        for entry in entries:
            relative_raw = prefix + entry.name
            relative = path_text(relative_raw)
            try:
                here = entry.stat(follow_symlinks=False)
                target = entry.path
                if stat.S_ISLNK(here.st_mode):
                    if not follow_symlinks:
                        if wanted(relative):
                            skipped.append((relative, "symbolic link (not followed)"))
                        continue
                    target = os.path.realpath(entry.path)
                    if os.path.commonpath([target, real_root]) != real_root:
                        if wanted(relative):
                            skipped.append((relative, "symbolic link out of the folder"))
                        continue
                    here = os.stat(target)
            except OSError as error:
                skipped.append((relative, why_not(error)))
                continue
            if stat.S_ISDIR(here.st_mode):
                if any(fnmatchcase(relative + "/", p) for p in exclude):
                    continue
                identity = (here.st_dev, here.st_ino)
                if identity not in seen_dirs:  # a followed link back up is a loop
                    seen_dirs.add(identity)
                    pending.append((target, relative_raw + b"/"))
                continue
            if not wanted(relative):
                continue
            if stat.S_ISREG(here.st_mode):
                found.append(_found(target, relative, here))
            else:
                skipped.append((relative, f"not a regular file ({special_kind(here.st_mode)})"))
    found.sort(key=lambda f: f.relative)
    skipped.sort()
    return found, skipped
