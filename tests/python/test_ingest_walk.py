"""A folder walked into passages, knowledge objects and answers; the report of what it skipped."""

import os
from concurrent.futures import ThreadPoolExecutor

import pytest
from ingest_fixtures import docx_bytes, pdf_bytes, xlsx_bytes

from revuradova import PyBM25Indexer, PyRetrievalOrchestrator
from revuradova.ingest import Limits, list_files, read_files, read_folder, to_knowledge_objects


@pytest.fixture
def folder(tmp_path):
    files = {
        "finance/expenses.md": b"# Expenses\n\n## How to submit\n\n1. Open the app.\n2. Submit.\n",
        "finance/budget.xlsx": xlsx_bytes(),
        "hr/handbook.docx": docx_bytes(),
        "hr/guide.pdf": pdf_bytes(),
        "ops/services.json": b'[{"service": "billing-api", "owner": "payments"}]',
        "ops/config.yaml": b"retention_days: 30\n",
        "ops/hosts.csv": b"host,role\nweb1,frontend\n",
        "web/index.html": b"<title>Intranet</title><h1>Welcome</h1><p>News and links.</p>",
        "CHANGELOG.txt": b"Fixed the login bug. Added export.",
        "broken.pdf": b"not a pdf at all",
        "empty.txt": b"",
    }
    for name, data in files.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return tmp_path


def test_every_type_read_with_report(folder):
    walk = read_folder(folder)
    passages = list(walk)
    assert dict(walk.report.files) == {
        "csv": 1, "docx": 1, "html": 1, "json": 1, "local_file": 1, "markdown": 1, "pdf": 1,
        "xlsx": 1, "yaml": 1,
    }  # fmt: skip
    assert dict(walk.report.skipped) == {
        "broken.pdf": "named .pdf but is not a PDF (no %PDF- header)",
        "empty.txt": "empty file",
    }
    assert walk.report.passages == len(passages)
    by_key = {p.key: p for p in passages}
    assert by_key["finance/expenses.md#0"].knowledge_type == "procedure"
    assert by_key["finance/expenses.md#0"].domain == "finance"
    assert by_key["ops/hosts.csv#0"].knowledge_type == "data"
    assert by_key["CHANGELOG.txt#0"].knowledge_type == "discussion"
    assert by_key["CHANGELOG.txt#0"].domain == "general"
    assert by_key["hr/guide.pdf#1"].position.page == 2


def test_workers_and_any_executor_give_the_same_passages(folder):
    alone = [p.key for p in read_folder(folder)]
    assert [p.key for p in read_folder(folder, workers=2)] == alone
    with ThreadPoolExecutor(2) as pool:
        assert [p.key for p in read_folder(folder, executor=pool)] == alone


def test_include_exclude_and_caller_types(folder):
    walk = read_folder(
        folder,
        include=["*.md", "*.csv"],
        exclude=["ops/*"],
        knowledge_type={"finance/*": "policy"},
        domain=lambda p: p.domain.upper(),
    )
    passages = list(walk)
    assert {(p.key, p.knowledge_type, p.domain) for p in passages} == {
        ("finance/expenses.md#0", "policy", "FINANCE")
    }
    with pytest.raises(
        ValueError, match="unknown knowledge type 'procedures'; accepted: procedure"
    ):
        list(read_folder(folder, knowledge_type="procedures"))


def test_links_loops_unreadable_and_odd_names(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "doc.txt").write_text("inside")
    os.symlink(tmp_path / "a", tmp_path / "a" / "loop")
    os.symlink("/etc/hostname", tmp_path / "outside.txt")
    odd = os.fsencode(tmp_path) + b"/caf\xe9.txt"
    with open(odd, "wb") as f:
        f.write(b"odd name")
    locked = tmp_path / "locked.txt"
    locked.write_text("secret")
    locked.chmod(0)
    walk = read_folder(tmp_path)
    keys = [p.key for p in walk]
    skipped = dict(walk.report.skipped)
    assert skipped["a/loop"] == "symbolic link (not followed)"
    assert skipped["outside.txt"] == "symbolic link (not followed)"
    assert "caf\\xe9.txt#0" in keys and "a/doc.txt#0" in keys
    if os.geteuid() != 0:
        assert skipped["locked.txt"] == "not readable (permission denied)"
    followed = read_folder(tmp_path, follow_symlinks=True)
    keys = [p.key for p in followed]
    assert dict(followed.report.skipped)["outside.txt"] == "symbolic link out of the folder"
    assert keys.count("a/doc.txt#0") == 1


def test_progress_callback_and_limits(folder):
    seen = []
    walk = read_folder(folder, progress=lambda done, total, path: seen.append((done, total)))
    list(walk)
    assert seen[-1] == (11, 11)
    small = read_folder(folder, limits=Limits(max_bytes=100))
    list(small)
    assert "over the limit of 100" in dict(small.report.skipped)["hr/handbook.docx"]


def test_passages_become_objects_that_both_roads_answer(folder):
    catalogue = to_knowledge_objects(read_folder(folder))
    index = PyBM25Indexer()
    for obj in catalogue.objects:
        index.index_document(obj)
    best, _ = index.search("billing-api owner", 1)[0]
    assert catalogue.passage(best).key == "ops/services.json#0"
    progressive = PyRetrievalOrchestrator(False, False, False, False, True, 3)
    ids, summary = progressive.search("How do I submit expenses?", catalogue.objects)
    assert catalogue.passage(ids[0]).path == "finance/expenses.md"
    assert summary.startswith("Query: 'How do I submit expenses?' | Filtered: ")
    # The heading path is part of the indexed text, so a section's topic is searchable.
    expenses = catalogue.passage(ids[0])
    assert expenses.text == "Expenses > How to submit\n\n" + expenses.body
    (hit,) = index.search("submit", 1)
    assert catalogue.passage(hit[0]).key == "finance/expenses.md#0"


def test_files_that_vanish_or_stall_after_the_listing(tmp_path):
    for name in "abcd":
        (tmp_path / f"{name}.txt").write_text(f"file {name} words")
    # A page whose parsing time grows with the square of its nesting: seconds at this depth.
    (tmp_path / "c.html").write_bytes(b"<div>" * 80_000 + b"x" + b"</div>" * 80_000)
    files, skipped = list_files(tmp_path)
    assert skipped == []
    (tmp_path / "b.txt").unlink()
    (tmp_path / "d.txt").write_text("rewritten, so larger than when listed")
    outcomes = dict(
        (found.relative, outcome)
        for found, outcome in read_files(files, limits=Limits(seconds=1), workers=2)
    )
    assert outcomes["b.txt"] == "vanished during the walk"
    assert outcomes["c.html"] == "took longer than the limit of 1 s"
    assert [p.key for p in outcomes["a.txt"].passages] == ["a.txt#0"]
    assert outcomes["d.txt"].passages[0].body == "rewritten, so larger than when listed"
