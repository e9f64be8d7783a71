"""Several processes on one base: a reader sees another process's commit at its next call;
writers take turns and lose nothing; a writer kept waiting too long gets BusyError."""

from __future__ import annotations

import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from kb_helpers import write_files

from revuradova.kb import BusyError, KnowledgeBase

WRITER = """
import sys
from revuradova.kb import KnowledgeBase
with KnowledgeBase.open(sys.argv[1], timeout=60) as kb:
    for folder in sys.argv[2:]:
        kb.add(folder)
        kb.refresh()
"""

REFRESHER = """
import sys
from revuradova.kb import KnowledgeBase
with KnowledgeBase.open(sys.argv[1]) as kb:
    assert kb.refresh().files_read == 1
"""


def test_a_reader_sees_another_process_commit_at_its_next_call(tmp_path: Path) -> None:
    base = tmp_path / "kb.sqlite"
    docs = write_files(tmp_path / "docs", {"a.md": "# A\n\nfirst words\n"})
    reader = KnowledgeBase.open(base)
    assert reader.search("first") == []
    subprocess.run([sys.executable, "-P", "-c", WRITER, str(base), str(docs)], check=True)
    assert [h.key.rsplit("/", 1)[1] for h in reader.search("first")] == ["a.md#0"]
    (docs / "a.md").write_text("# A\n\nsecond words\n")
    subprocess.run([sys.executable, "-P", "-c", REFRESHER, str(base)], check=True)
    assert reader.search("first") == [] and len(reader.search("second")) == 1
    assert len(reader) == 1 and reader.status().files == 1
    reader.close()


def test_two_writers_take_turns_and_lose_nothing(tmp_path: Path) -> None:
    base = tmp_path / "kb.sqlite"
    folders = []
    for w in range(2):
        for f in range(3):
            files = {f"{i}.txt": f"writer{w} folder{f} file{i} shared\n" for i in range(20)}
            folders.append(str(write_files(tmp_path / f"w{w}f{f}", files)))
    KnowledgeBase.open(base).close()
    children = [
        subprocess.Popen(
            [sys.executable, "-P", "-c", WRITER, str(base), *folders[w * 3 : w * 3 + 3]]
        )
        for w in range(2)
    ]
    assert [child.wait(timeout=120) for child in children] == [0, 0]
    with KnowledgeBase.open(base) as kb:
        assert len(kb) == 120 and kb.status().files == 120
        assert len(kb.search("shared", 200)) == 120
        for w in range(2):
            assert len(kb.search(f"writer{w}", 200)) == 60


def test_a_writer_waits_then_gets_a_clear_error(tmp_path: Path) -> None:
    base = tmp_path / "kb.sqlite"
    docs = write_files(tmp_path / "docs", {"a.txt": "words\n"})
    kb = KnowledgeBase.open(base, timeout=0.3)
    blocker = sqlite3.connect(base, isolation_level=None, check_same_thread=False)
    blocker.execute("BEGIN IMMEDIATE")
    started = time.monotonic()
    with pytest.raises(BusyError, match="being changed by another process"):
        kb.add(docs)
    assert time.monotonic() - started >= 0.25  # it waited before giving up
    assert kb.search("words") == []  # reading goes on while another process writes
    # Once the other writer is done, this one goes ahead.
    release = threading.Timer(0.2, lambda: blocker.execute("COMMIT"))
    release.start()
    kb2 = KnowledgeBase.open(base, timeout=5)
    kb2.add(docs)
    release.join()
    assert len(kb.search("words")) == 1
    kb.close()
    kb2.close()
    blocker.close()
