"""What gets listed and opened: special files reported, links never read through, names kept
to the byte, and a file path that is a path, not a pattern."""

import os
import socket
import stat
from pathlib import Path

import pytest
from hypothesis import given
from hypothesis import strategies as st

from revuradova.ingest import (
    Limits,
    ReadError,
    list_files,
    path_bytes,
    path_text,
    read_file,
    read_files,
    read_folder,
    to_knowledge_objects,
)


def outcomes(files, **options):
    return {found.relative: outcome for found, outcome in read_files(files, **options)}


def bodies(outcome):
    return [p.body for p in outcome.passages]


# ------------------------------------------------------------------------- special files


@pytest.fixture
def with_special_files(tmp_path):
    (tmp_path / "doc.txt").write_text("a document")
    os.mkfifo(tmp_path / "pipe.txt")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(tmp_path / "socket.txt"))
    if os.geteuid() == 0:
        os.mknod(tmp_path / "null.txt", stat.S_IFCHR | 0o600, os.makedev(1, 3))
    yield tmp_path
    listener.close()


def test_fifos_sockets_and_devices_are_reported_not_read(with_special_files):
    walk = read_folder(with_special_files)
    assert [p.key for p in walk] == ["doc.txt#0"]
    expected = {
        "pipe.txt": "not a regular file (FIFO)",
        "socket.txt": "not a regular file (socket)",
    }
    if os.geteuid() == 0:
        expected["null.txt"] = "not a regular file (character device)"
    assert dict(walk.report.skipped) == expected
    # A root that is itself a FIFO is skipped the same way; a missing one is an error.
    assert list_files(with_special_files / "pipe.txt") == (
        [],
        [("pipe.txt", "not a regular file (FIFO)")],
    )
    with pytest.raises(FileNotFoundError):
        list_files(with_special_files / "missing")
    with pytest.raises(ReadError, match=r"not a regular file \(FIFO\)"):
        read_file(with_special_files / "pipe.txt")


def test_a_file_replaced_by_a_fifo_after_the_listing_is_not_opened(tmp_path):
    (tmp_path / "doc.txt").write_text("a document")
    files, _ = list_files(tmp_path)
    (tmp_path / "doc.txt").unlink()
    os.mkfifo(tmp_path / "doc.txt")  # opening it for reading would wait for a writer
    assert outcomes(files, limits=Limits(seconds=5)) == {"doc.txt": "not a regular file (FIFO)"}


# --------------------------------------------------------------------------------- links


@pytest.fixture
def inside_and_outside(tmp_path):
    root = tmp_path / "root"
    (root / "sub").mkdir(parents=True)
    (root / "sub" / "doc.txt").write_text("inside the folder")
    (root / "top.txt").write_text("also inside")
    outside = tmp_path / "outside"
    (outside / "sub").mkdir(parents=True)
    (outside / "secret.txt").write_text("outside the folder")
    (outside / "sub" / "doc.txt").write_text("outside the folder")
    return root, outside


def test_a_file_swapped_for_a_link_after_the_listing_is_not_read_through(inside_and_outside):
    root, outside = inside_and_outside
    for follow in (False, True):
        files, _ = list_files(root, follow_symlinks=follow)
        (root / "top.txt").rename(root / "top.bak")
        os.symlink(outside / "secret.txt", root / "top.txt")
        got = outcomes(files)
        assert got["top.txt"] == "became a symbolic link after the listing"
        assert bodies(got["sub/doc.txt"]) == ["inside the folder"]
        (root / "top.txt").unlink()
        (root / "top.bak").rename(root / "top.txt")


def test_a_folder_swapped_for_a_link_after_the_listing_is_not_read_through(inside_and_outside):
    root, outside = inside_and_outside
    files, _ = list_files(root)
    (root / "sub").rename(root / "sub.bak")
    os.symlink(outside / "sub", root / "sub")
    got = outcomes(files)
    assert got["sub/doc.txt"] == "replaced by another file after the listing"
    assert bodies(got["top.txt"]) == ["also inside"]


def test_followed_links_stay_inside_the_root(inside_and_outside):
    root, outside = inside_and_outside
    os.symlink(outside / "secret.txt", root / "out.txt")
    os.symlink(root / "sub" / "doc.txt", root / "alias.txt")
    files, skipped = list_files(root, follow_symlinks=True)
    assert skipped == [("out.txt", "symbolic link out of the folder")]
    alias = next(f for f in files if f.relative == "alias.txt")
    assert alias.path == os.fsencode(root / "sub" / "doc.txt")
    texts = [b for o in outcomes(files).values() for b in bodies(o)]
    assert "outside the folder" not in texts and texts.count("inside the folder") == 2


# --------------------------------------------------------------------------------- names


@given(st.binary(max_size=40))
def test_path_text_is_valid_utf8_injective_and_reversible(raw):
    text = path_text(raw)
    text.encode("utf-8")  # raises on a lone surrogate
    assert path_bytes(text) == raw


def test_path_text_escapes():
    assert path_text(b"caf\xe9") == "caf\\xe9"
    assert path_text("café".encode()) == "café"
    assert path_text(b"a\\x41") == "a\\x5cx41"  # a literal backslash that looks escaped
    assert path_text(b"a\\b") == "a\\b"


def test_names_keep_their_bytes_in_keys_and_reports(tmp_path):
    root = os.fsencode(tmp_path)
    for raw in (b"caf\xe9.txt", b"caf\xe8.txt", b"a\\x41.txt"):
        with open(root + b"/" + raw, "wb") as stream:
            stream.write(b"text of " + raw.replace(b"\\", b"/"))
    os.mkfifo(root + b"/pipe\xff")
    walk = read_folder(root)  # a bytes root
    keys = sorted(p.key for p in walk)
    assert keys == ["a\\x5cx41.txt#0", "caf\\xe8.txt#0", "caf\\xe9.txt#0"]
    assert dict(walk.report.skipped) == {"pipe\\xff": "not a regular file (FIFO)"}
    files, _ = list_files(Path(tmp_path))
    assert [f.path for f in files] == [root + b"/a\\x41.txt", root + b"/caf\xe8.txt",
                                       root + b"/caf\xe9.txt"]  # fmt: skip
    assert [path_bytes(f.relative) for f in files] == [b"a\\x41.txt", b"caf\xe8.txt",
                                                       b"caf\xe9.txt"]  # fmt: skip


def test_lone_surrogates_in_data_become_replacement_characters(tmp_path):
    (tmp_path / "odd.json").write_bytes(b'{"name": "bad \\ud800 half", "\\udfff": 1}')
    (tmp_path / "fine.txt").write_text("fine")
    walk = read_folder(tmp_path)
    catalogue = to_knowledge_objects(walk)
    assert walk.report.skipped == []
    (odd,) = [p for _, p in catalogue if p.path == "odd.json"]
    assert odd.body == "name: bad \ufffd half\n\ufffd: 1"


# --------------------------------------------------------------------------------- paths


def test_a_file_root_is_that_file_alone_never_a_pattern(tmp_path):
    for name in ("a[1].md", "a1.md", "*.md", "b.md"):
        (tmp_path / name).write_text(f"# {name}\n\ntext\n")
    (tmp_path / "deeper").mkdir()
    (tmp_path / "deeper" / "c.md").write_text("# c\n")
    os.mkfifo(tmp_path / "deeper" / "pipe")
    for name in ("a[1].md", "*.md"):
        files, skipped = list_files(tmp_path / name, include=["*.txt"], exclude=["*"])
        assert [(f.relative, f.path) for f in files] == [(name, os.fsencode(tmp_path / name))]
        assert skipped == []
        ((_, outcome),) = read_files(files, key_paths=[f"docs/{name}"], domains=["team"])
        assert [(p.key, p.domain, p.headings) for p in outcome.passages] == [
            (f"docs/{name}#0", "team", (name,))
        ]
    # bytes and PathLike roots name the same file.
    assert list_files(os.fsencode(tmp_path / "b.md"))[0] == list_files(tmp_path / "b.md")[0]


def test_listing_sorts_and_applies_patterns_to_folders(tmp_path):
    for name in ("b/x.md", "a/y.md", "a/skip/z.md", "c.txt"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text("text")
    files, _ = list_files(tmp_path, include=["*.md"], exclude=["a/skip/"])
    assert [f.relative for f in files] == ["a/y.md", "b/x.md"]
    info = os.stat(tmp_path / "a" / "y.md")
    assert (files[0].size, files[0].mtime_ns, files[0].device, files[0].inode) == (
        info.st_size, info.st_mtime_ns, info.st_dev, info.st_ino,
    )  # fmt: skip
    ((_, outcome), _) = read_files(files)
    assert outcome.passages[0].domain == "a"
    assert outcome.sha256 == "982d9e3eb996f559e633f4d194def3761d909f5a3b647d1a851fead67c32c9d1"
