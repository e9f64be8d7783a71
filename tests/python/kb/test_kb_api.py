"""The knowledge base as its README promises: paths as a user means them, checked options
kept per root, the whole passage everywhere, errors in one family."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest
from kb_helpers import write_files

from revuradova.errors import RevuradovaError
from revuradova.ingest import Limits, Passage, Position
from revuradova.kb import (
    KnowledgeBase,
    NotAddedError,
    OptionError,
    PassageNotFound,
    SchemaError,
    Where,
    codec,
)


def test_paths_under_a_root_from_any_folder(handbook: Path, tmp_path: Path, monkeypatch):
    monkeypatch.chdir(handbook.parent)
    path = tmp_path / "kb.sqlite"
    with KnowledgeBase.open(path) as kb:
        kb.add("handbook/")  # relative, with a trailing slash
        assert kb.status().roots == [str(handbook)]
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    with KnowledgeBase.open(path) as kb:
        assert kb.refresh().files_unchanged == 5  # a relative root is not lost elsewhere
        change = kb.remove("../handbook/hr")
        assert (change.files_removed, len(kb)) == (2, 4)
        # The removed part stays out when its root is refreshed.
        assert kb.refresh().files_read == 0 and len(kb) == 4
        (handbook / "finance/travel.md").write_text("# Travel\n\nNew travel rules.\n")
        assert kb.refresh(handbook / "finance/travel.md").files_read == 1
        with pytest.raises(NotAddedError, match="nothing added under"):
            kb.refresh("/nowhere")
        with pytest.raises(FileNotFoundError):
            kb.remove(handbook / "hr")  # already removed


def test_a_file_path_is_that_file(tmp_path: Path):
    docs = tmp_path / "docs"
    docs.mkdir()
    for name in ("a[1].md", "a1.md", "*.md", "b.md"):
        (docs / name).write_text(f"# {name}\n\nwords of {name}\n")
    kb = KnowledgeBase()
    assert kb.add(docs / "a[1].md").files_read == 1
    assert kb.add(docs / "*.md").files_read == 1
    assert sorted(Path(p.path).name for p in kb.passages()) == ["*.md", "a[1].md"]


def test_options_are_named_and_checked(handbook: Path):
    kb = KnowledgeBase()
    with pytest.raises(TypeError, match="exlcude"):
        kb.add(handbook, exlcude=["drafts/*"])  # type: ignore[call-arg]
    for options, error, message in [
        ({"knowledge_type": "Procedure"}, ValueError, "unknown knowledge type 'Procedure'"),
        ({"knowledge_type": {"*": "nonsense"}}, ValueError, "unknown knowledge type 'nonsense'"),
        ({"domain": 3}, TypeError, "domain must be a str"),
        ({"include": [1]}, TypeError, "include must be"),
        ({"workers": "4"}, TypeError, "workers must be an int"),
        ({"workers": 0}, ValueError, "workers must be at least 1"),
        ({"max_words": 0}, ValueError, "max_words must be at least 1"),
        ({"limits": {"max_bytes": 5}}, TypeError, "limits must be"),
        ({"follow_symlinks": "yes"}, TypeError, "follow_symlinks"),
    ]:
        with pytest.raises(error, match=message):
            kb.add(handbook, **options)
    assert len(kb) == 0


def test_workers_read_the_same_passages(handbook: Path):
    one, two = KnowledgeBase(), KnowledgeBase()
    one.add(handbook)
    two.add(handbook, workers=2)
    assert list(one.passages()) == list(two.passages())


def test_refresh_reads_with_the_options_of_the_add(handbook: Path, tmp_path: Path):
    (handbook / "big.txt").write_text("receipts " * 400)

    def team(passage: Passage) -> str:
        return "team-" + passage.domain

    path = tmp_path / "kb.sqlite"
    kb = KnowledgeBase.open(path)
    change = kb.add(handbook, domain=team, limits=Limits(max_bytes=1000), exclude="dev/*")
    assert [Path(p).name for p, _ in change.skipped] == ["big.txt"]
    (handbook / "hr/notes.txt").write_text("Receipts go to the team on Fridays.\n")
    (handbook / "big.txt").write_text("receipts changed " * 400)
    (handbook / "dev/deploy.md").write_text("# Deploy\n\nchanged\n")
    change = kb.refresh()
    assert change.files_read == 1 and [Path(p).name for p, _ in change.skipped] == ["big.txt"]
    assert {h.domain for h in kb.search("receipts", 10)} == {"team-finance", "team-hr"}
    assert kb.search("deploy") == []
    kb.close()
    # Another process cannot call the function: it must be given again, never replaced.
    child = subprocess.run(
        [sys.executable, "-P", "-c", REFRESH_ELSEWHERE, str(path)], capture_output=True, text=True
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["OptionError", "team-hr"]


REFRESH_ELSEWHERE = """
import sys
from pathlib import Path
from revuradova.kb import KnowledgeBase, OptionError
kb = KnowledgeBase.open(sys.argv[1])
(Path(kb.status().roots[0]) / "hr/notes.txt").write_text("Receipts on Mondays.")
try:
    kb.refresh()
except OptionError as error:
    print("OptionError")
kb.refresh(domain=lambda p: "team-" + p.domain)
print(kb.search("Mondays")[0].domain)
"""


def test_the_whole_passage_everywhere(handbook: Path):
    kb = KnowledgeBase()
    kb.add(handbook)
    (code,) = kb.search("deploy prod", 5, where=Where(kind="code"))
    assert code.kind == "code" and "./deploy.sh --prod" in code.text
    assert kb.search("deploy prod", 5, where=Where(test=lambda p: p.kind == "code")) == [code]
    assert kb.passage(code.key) == code.passage
    hit = kb.search("receipts report", 1)[0]
    assert hit.text == "Expenses > How to submit\n\n" + hit.passage.body
    with pytest.raises(PassageNotFound) as caught:
        kb.passage("nothing#0")
    assert isinstance(caught.value, KeyError) and "nothing#0" in str(caught.value)


def test_the_stored_form_keeps_every_field():
    passage = Passage(
        "/p/k#3", "/p/k", 3, "xlsx", "data", "finance", ("Sheet", "Q3 > totals"), "a: 1\nb: «2»",
        Position(5, 9, 2, "Q3", (4, 7), "/a~1b/0"), "table", {"sheet": "Q3", "note": "ünï"},
    )  # fmt: skip

    def stored(p: Passage) -> Passage:  # as read back, with its file's path and type
        columns = codec.encode(p)
        return codec.decode((p.path, columns[0], p.source_type, *columns[1:]))

    assert stored(passage) == passage
    bare = Passage("/p/k#0", "/p/k", 0, "local_file", "reference", "general", (), "", Position())
    assert stored(bare) == bare


def test_errors_are_one_family(tmp_path: Path):
    for error in (SchemaError, NotAddedError, OptionError, PassageNotFound):
        assert issubclass(error, RevuradovaError)
    assert issubclass(NotAddedError, FileNotFoundError) and issubclass(SchemaError, ValueError)
    kb = KnowledgeBase()
    with pytest.raises(RevuradovaError):
        kb.remove(tmp_path)
    kb.close()
    with pytest.raises(RevuradovaError, match="closed"):
        kb.search("x")
    with pytest.raises(FileNotFoundError, match="no such folder"):
        KnowledgeBase.open(tmp_path / "missing" / "kb.sqlite")
    assert os.listdir(tmp_path) == []


def test_refreshing_a_part_lists_that_part_only(handbook: Path):
    os.mkfifo(handbook / "hr" / "pipe")
    kb = KnowledgeBase()
    assert [Path(p).name for p, _ in kb.add(handbook).skipped] == ["pipe"]
    (handbook / "finance/travel.md").write_text("# Travel\n\nTrains only.\n")
    change = kb.refresh(handbook / "finance/travel.md")
    assert (change.files_read, change.files_unchanged, change.skipped) == (1, 0, [])
    change = kb.refresh(handbook / "finance")
    assert (change.files_read, change.files_unchanged, change.skipped) == (0, 2, [])
    assert len(kb.search("trains")) == 1


def test_overlapping_roots_and_parts(handbook: Path, tmp_path: Path):
    kb = KnowledgeBase()
    kb.add(handbook / "hr")
    kb.add(handbook)
    # Added again without hr/: hr's files stay, with the root that still covers them.
    assert kb.add(handbook, exclude="hr/*").files_removed == 0
    assert len(kb.search("churn")) == 1
    # A part with nothing stored yet can be removed, and stays out of refreshes.
    write_files(handbook, {"drafts/wip.md": "# Draft\n\nunfinished zebra\n"})
    kb.remove(handbook / "drafts")
    assert kb.refresh().files_read == 0 and kb.search("zebra") == []
    # A part reached through a symbolic link is not followed unless links are.
    outside = write_files(tmp_path / "outside", {"secret.md": "# Secret\n\nhidden walrus\n"})
    os.symlink(outside, handbook / "linked")
    change = kb.refresh(handbook / "linked")
    assert change.files_read == 0 and kb.search("walrus") == []
    assert change.skipped[0][1] == "symbolic link (not followed)"


def test_a_failed_change_keeps_the_functions_given(handbook: Path, tmp_path: Path):
    def team(passage: Passage) -> str:
        return "team-" + passage.domain

    def broken(passage: Passage) -> str:
        raise RuntimeError("no domain for you")

    kb = KnowledgeBase.open(tmp_path / "kb.sqlite")
    kb.add(handbook / "finance", domain=team)
    with pytest.raises(NotAddedError):
        kb.remove([handbook / "finance", tmp_path / "missing"])
    with pytest.raises(RuntimeError, match="no domain"):
        kb.add([handbook / "finance", handbook / "hr"], domain=broken)
    (handbook / "finance/travel.md").write_text("# Travel\n\nTrains only.\n")
    assert kb.refresh().files_read == 1  # the function of the add that committed
    assert kb.search("trains")[0].domain == "team-general"
    kb.close()
