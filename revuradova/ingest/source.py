"""Bytes of a file under limits, its source type, and text decoding."""

from __future__ import annotations

import codecs
import errno
import gzip
import hashlib
import io
import os
import stat
import struct
import zipfile
import zlib

from revuradova.ingest.listing import special_kind
from revuradova.ingest.model import Limits, MissingExtra, ReadError

# Extensions by source type; a name ending in .gz is judged by what precedes it.
EXTENSIONS: dict[str, str] = {
    ".pdf": "pdf",
    ".docx": "docx",
    ".xlsx": "xlsx",
    ".xlsm": "xlsx",
    ".csv": "csv",
    ".tsv": "csv",
    ".json": "json",
    ".yaml": "yaml",
    ".yml": "yaml",
    ".md": "markdown",
    ".markdown": "markdown",
    ".html": "html",
    ".htm": "html",
    ".xhtml": "html",
}
# Plain-text files read as code: their sections are code, their default knowledge type too.
CODE_EXTENSIONS = frozenset(
    ".py .pyi .c .h .cc .cpp .hpp .cxx .java .js .mjs .ts .tsx .go .rs .rb .php .sh .bash .zsh"
    " .sql .swift .kt .scala .cs .pl .lua .r .m .toml .ini .cfg .cmake .mk".split()
)
# An office archive's members' total uncompressed size is bounded by Limits.max_bytes, their
# number by this, and a member inflating past 1 MiB may not grow more than MAX_RATIO times.
MAX_ARCHIVE_MEMBERS = 10_000
MAX_RATIO = 1000
_CHUNK = 1 << 16


def split_gz(name: str) -> tuple[str, bool]:
    """The name without a trailing .gz, and whether it had one."""
    if name.lower().endswith(".gz"):
        return name[:-3], True
    return name, False


def type_from_name(name: str) -> str:
    """The source type an extension names; local_file for anything else."""
    base, _ = split_gz(name)
    return EXTENSIONS.get(os.path.splitext(base)[1].lower(), "local_file")


def is_code_name(name: str) -> bool:
    base, _ = split_gz(name)
    lower = os.path.basename(base).lower()
    return os.path.splitext(lower)[1] in CODE_EXTENSIONS or lower in ("makefile", "dockerfile")


def read_bytes_limited(path: str | bytes, limits: Limits) -> bytes:
    """The file's bytes (decompressed for .gz), at most limits.max_bytes of them."""
    # The caller named this path, so a link to it is followed; a FIFO or device is not
    # read (O_NONBLOCK: opening a FIFO must not wait for a writer).
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | getattr(os, "O_NOCTTY", 0))
    with open(fd, "rb") as stream:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise ReadError(f"not a regular file ({special_kind(info.st_mode)})")
        size = info.st_size
        if size > limits.max_bytes:
            raise ReadError(f"file is {size} bytes, over the limit of {limits.max_bytes}")
        data = stream.read(limits.max_bytes + 1)
    if len(data) > limits.max_bytes:
        raise ReadError(f"file grew past the limit of {limits.max_bytes} bytes while read")
    return data


# The file named by the listing, never a link put in its place, never a FIFO or device
# (O_NONBLOCK: opening a FIFO must not wait for a writer).
_OPEN_FLAGS = (
    os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC | getattr(os, "O_NOCTTY", 0)
)


def read_listed(path: bytes, device: int, inode: int, limits: Limits) -> tuple[bytes, str]:
    """The bytes (at most limits.max_bytes) of the regular file the listing saw at `path`,
    and their SHA-256. Refused when the name is now a link or another file (device and inode
    differ), or when the file changes while read."""
    try:
        fd = os.open(path, _OPEN_FLAGS)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise ReadError("became a symbolic link after the listing") from None
        raise
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise ReadError(f"not a regular file ({special_kind(info.st_mode)})")
        if (info.st_dev, info.st_ino) != (device, inode):
            raise ReadError("replaced by another file after the listing")
        if info.st_size > limits.max_bytes:
            raise ReadError(f"file is {info.st_size} bytes, over the limit of {limits.max_bytes}")
        parts = []
        left = limits.max_bytes + 1
        while left > 0:
            chunk = os.read(fd, min(left, 1 << 20))
            if not chunk:
                break
            parts.append(chunk)
            left -= len(chunk)
        after = os.fstat(fd)
    finally:
        os.close(fd)
    data = b"".join(parts)
    if len(data) > limits.max_bytes:
        raise ReadError(f"file grew past the limit of {limits.max_bytes} bytes while read")
    if (info.st_size, info.st_mtime_ns) != (after.st_size, after.st_mtime_ns) or len(
        data
    ) != info.st_size:
        raise ReadError("changed while being read")
    return data, hashlib.sha256(data).hexdigest()


def gunzip_limited(data: bytes, limits: Limits) -> bytes:
    try:
        with gzip.GzipFile(fileobj=io.BytesIO(data)) as stream:
            out = stream.read(limits.max_bytes + 1)
    except (OSError, EOFError, zlib.error) as error:
        raise ReadError(f"not a readable gzip file: {error}") from None
    if len(out) > limits.max_bytes:
        raise ReadError(f"decompresses to more than the limit of {limits.max_bytes} bytes")
    return out


_OLE_SIGNATURE = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"


def confirm_type(source_type: str, data: bytes) -> None:
    """Fails when the content contradicts the type the name gave."""
    if source_type == "pdf":
        if b"%PDF-" not in data[:1024]:
            raise ReadError("named .pdf but is not a PDF (no %PDF- header)")
    elif source_type in ("docx", "xlsx"):
        if data.startswith(_OLE_SIGNATURE):
            # Office writes a password-protected document as an OLE compound file holding
            # the encrypted package (and the old .doc/.xls formats use the same container).
            raise ReadError(
                f"named .{source_type} but is an OLE compound file: an encrypted "
                "(password-protected) or legacy-format Office document"
            )
        if not data.startswith(b"PK\x03\x04"):
            raise ReadError(f"named .{source_type} but is not a zip archive")
    elif looks_binary(data):
        raise ReadError(f"named as {source_type} text but holds binary data")


def looks_binary(data: bytes) -> bool:
    """NUL bytes in the first 8 KiB, the mark of a binary file (UTF-16 text aside)."""
    head = data[:8192]
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return False
    return b"\x00" in head


def inflate_archive(data: bytes, limits: Limits, required: str) -> dict[str, bytes]:
    """An office file's zip members, inflated here in bounded steps before any parser sees
    them (zip bombs). The directory's sizes are not trusted: the running total of bytes
    really inflated is held to limits.max_bytes, and each member to MAX_RATIO times its
    compressed size."""
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            members = archive.infolist()
            names = {m.filename for m in members}
            if "EncryptedPackage" in names or any(m.flag_bits & 0x1 for m in members):
                raise ReadError("encrypted archive")
            if len(members) > MAX_ARCHIVE_MEMBERS:
                raise ReadError(f"archive has {len(members)} members, over {MAX_ARCHIVE_MEMBERS}")
            if required not in names:
                raise ReadError(f"archive has no {required}: not this kind of office file")
            declared = sum(m.file_size for m in members)
            if declared > limits.max_bytes:
                raise ReadError(
                    f"archive inflates to {declared} bytes, over the limit of {limits.max_bytes}"
                )
            out: dict[str, bytes] = {}
            budget = [limits.max_bytes]
            for member in members:
                if not member.is_dir():
                    out[member.filename] = _inflate_member(data, member, budget, limits)
            return out
    except (zipfile.BadZipFile, OSError, ValueError, EOFError, zlib.error) as error:
        raise ReadError(f"corrupt or truncated archive: {error}") from None


_LOCAL_HEADER = struct.Struct("<4s22xHH")


def _inflate_member(
    data: bytes, member: zipfile.ZipInfo, budget: list[int], limits: Limits
) -> bytes:
    """One member inflated step by step from its local header on, its real size held to
    what its directory entry declares, to the archive's budget and to MAX_RATIO."""
    start = member.header_offset
    signature, name_size, extra_size = _LOCAL_HEADER.unpack_from(data, start)
    if signature != b"PK\x03\x04":
        raise ReadError(f"corrupt archive: no local header for {member.filename!r}")
    start += _LOCAL_HEADER.size + name_size + extra_size
    raw = memoryview(data)[start : start + member.compress_size]
    if member.compress_type == zipfile.ZIP_STORED:
        body = bytes(raw)
    elif member.compress_type == zipfile.ZIP_DEFLATED:
        inflater = zlib.decompressobj(-zlib.MAX_WBITS)
        parts = []
        size = 0
        pending: bytes | memoryview = raw
        while not inflater.eof:
            chunk = inflater.decompress(pending, _CHUNK)
            pending = inflater.unconsumed_tail
            if not chunk and not pending:
                break
            size += len(chunk)
            if size > member.file_size:
                raise ReadError(
                    f"archive member {member.filename!r} inflates past the {member.file_size:,}"
                    " bytes its directory declares"
                )
            if size > 1 << 20 and size > MAX_RATIO * max(member.compress_size, 1):
                raise ReadError(
                    f"archive member {member.filename!r} inflates more than {MAX_RATIO}"
                    " times its size"
                )
            parts.append(chunk)
        body = b"".join(parts)
    else:
        raise ReadError(
            f"archive member {member.filename!r} uses compression {member.compress_type},"
            " not stored or deflate"
        )
    if len(body) != member.file_size or zlib.crc32(body) != member.CRC:
        raise ReadError(f"corrupt archive: member {member.filename!r} fails its size or CRC")
    budget[0] -= len(body)
    if budget[0] < 0:
        raise ReadError(f"archive inflates to more than the limit of {limits.max_bytes} bytes")
    return body


def stored_archive(members: dict[str, bytes]) -> bytes:
    """Members already inflated and checked, as a zip that stores them as they are: a
    parser reading it inflates nothing, so it cannot meet a bomb."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as archive:
        for name, body in members.items():
            archive.writestr(name, body)
    return out.getvalue()


def decode_text(data: bytes) -> str:
    """UTF-8 (with or without a byte-order mark) first, then the detected encoding."""
    if data.startswith(codecs.BOM_UTF8):
        data = data[3:]
    elif data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        try:
            return data.decode("utf-16")
        except UnicodeDecodeError:
            raise ReadError("invalid UTF-16 text") from None
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        pass
    try:
        import charset_normalizer
    except ImportError:
        raise MissingExtra("text that is not UTF-8", "charset-normalizer", "text") from None
    match = charset_normalizer.from_bytes(data).best()
    if match is None:
        raise ReadError("not text in any encoding that could be detected")
    return str(match)
