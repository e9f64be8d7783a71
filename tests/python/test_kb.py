"""The knowledge base: hits with snippets, persistence, refresh, removal, filters, errors."""

import os
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from revuradova.kb import ClosedError, KnowledgeBase, SchemaError, Where


@pytest.fixture
def folder(tmp_path):
    docs = tmp_path / "docs"
    files = {
        "finance/expenses.md": "# Expenses\n\n## How to submit\n\n1. Open the expenses app.\n"
        "2. Attach receipts and submit the report.\n",
        "finance/travel.md": "# Travel policy\n\nBookings must be approved. Travel is "
        "compliant when booked through the portal.\n",
        "hr/glossary.md": "# Glossary\n\nChurn rate is the share of customers who leave.\n",
        "hr/notes.txt": "The expenses team meets on Mondays to review receipts.\n",
    }
    for name, text in files.items():
        (docs / name).parent.mkdir(parents=True, exist_ok=True)
        (docs / name).write_text(text)
    return docs


def test_hits_carry_what_a_user_shows(folder):
    kb = KnowledgeBase()
    change = kb.add(folder)
    assert change.files_read == 4 and change.skipped == []
    (hit,) = kb.search("receipts report", 1)
    assert hit.key == f"{folder}/finance/expenses.md#0"
    assert (hit.source_type, hit.knowledge_type, hit.domain) == ("markdown", "procedure", "finance")
    assert hit.headings == ("Expenses", "How to submit")
    assert hit.score > 0 and hit.kind == "text"
    assert "«receipts»" in hit.snippet.text and "«report»" in hit.snippet.text
    for start, end in hit.snippet.spans:
        assert hit.snippet.plain[start:end].lower() in {"receipts", "report"}


def test_filters_are_exact(tmp_path):
    docs = tmp_path / "d"
    for i in range(300):
        (docs / ("a" if i % 50 else "b")).mkdir(parents=True, exist_ok=True)
        (docs / ("a" if i % 50 else "b") / f"{i}.txt").write_text(f"alpha document {i}")
    kb = KnowledgeBase()
    kb.add(docs)
    # The 6 passages of domain b rank anywhere among 300 equal hits: all must come back.
    hits = kb.search("alpha", 10, where=Where(domain="b"))
    assert len(hits) == 6 and {h.domain for h in hits} == {"b"}
    assert len(kb.search("alpha", 10, where=Where(path="*/b/1?0.txt"))) == 2


def test_ask_orders_by_intent_where_measured_and_never_comes_back_empty(folder):
    kb = KnowledgeBase()
    kb.add(folder)
    # Procedures are left to the ranking (no window): no road, no summary.
    answer = kb.ask("How do I submit the expenses report?", 2)
    assert answer.hits[0].key.endswith("expenses.md#0")
    assert (answer.intent, answer.how, answer.summary) == ("ProcedureGuidance", "bm25", "")
    kb.intent_window = 3  # every intent gets a window: the road runs and reports
    answer = kb.ask("How do I submit the expenses report?", 2)
    assert answer.summary.startswith("Query: 'How do I submit the expenses report?'")
    assert len(answer.hits) == 2 and answer.how in ("intent", "intent+bm25")
    kb.intent_window = None
    # Definitions have their window by default; no passage defines receipts: BM25 fills in.
    other = kb.ask("What is receipts?", 3)
    assert other.intent == "Definition" and other.summary.startswith("Query: 'What is receipts?'")
    assert other.hits and other.how in ("bm25", "intent+bm25")
    assert kb.ask("zzzz unknown words", 3).how == "none"


def test_ask_reorders_only_the_best_few_by_intent(tmp_path):
    (tmp_path / "notes.md").write_text(
        "# Notes\n\nInstall the tool: the tool install is quick, install the tool.\n"
    )
    (tmp_path / "guide.md").write_text("# Setting up\n\n1. Download it.\n2. Install the tool.\n")
    kb = KnowledgeBase()
    kb.add(tmp_path)
    kb.intent_window = 2
    question = "How do I install the tool?"
    by_bm25 = [h.key for h in kb.search(question, 2)]
    assert by_bm25[0].endswith("notes.md#0")
    answer = kb.ask(question, 2)
    assert [h.key for h in answer.hits] == by_bm25[::-1] and answer.how == "intent+bm25"
    assert [h.key for h in kb.ask(question, 1).hits] == by_bm25[1:]  # reordered, then cut
    kb.intent_window = 1  # the intent may reorder only the first passage: BM25's order
    answer = kb.ask(question, 2)
    assert [h.key for h in answer.hits] == by_bm25 and answer.how == "bm25"
    assert [p.key for p in kb.passages()] == sorted(by_bm25)


def test_ask_raises_the_passage_that_keeps_the_question_phrasing(tmp_path):
    # BM25 prefers the short note, which has both words, apart; ask prefers the passage
    # where they stand together as the question has them.
    (tmp_path / "a.txt").write_text("Remote names, branch names: each remote keeps branches.\n")
    (tmp_path / "b.txt").write_text(
        "A remote branch follows a branch of a remote repository for you and me today.\n"
    )
    for n in range(3):
        (tmp_path / f"other{n}.txt").write_text(f"Unrelated note number {n} about lunch.\n")
    kb = KnowledgeBase()
    kb.add(tmp_path)
    question = "remote branch"
    assert kb.search(question, 1)[0].key.endswith("a.txt#0")
    answer = kb.ask(question, 2)
    assert answer.hits[0].key.endswith("b.txt#0")
    assert answer.hits[0].score > kb.search(question, 2)[1].score  # raised, not reordered only
    # Without a pair of content words there is no phrasing to keep: the ranking stands.
    assert kb.ask("remote", 1).hits[0].key == kb.search("remote", 1)[0].key


def test_persisted_refreshed_and_removed(folder, tmp_path):
    path = tmp_path / "kb.sqlite"
    with KnowledgeBase.open(path) as kb:
        kb.add(folder, domain={"*/hr/*": "people"})
        keys = sorted(h.key for h in kb.search("receipts expenses", 10))
    with KnowledgeBase.open(path) as kb:
        assert sorted(h.key for h in kb.search("receipts expenses", 10)) == keys
        assert {h.domain for h in kb.search("receipts", 10)} == {"finance", "people"}
        # Unchanged files are not read again.
        assert kb.refresh().files_read == 0
        (folder / "hr/notes.txt").write_text("Receipts are now reviewed on Fridays.\n")
        (folder / "finance/travel.md").unlink()
        os.utime(folder / "hr/glossary.md", ns=(1, 1))  # touched, same content
        change = kb.refresh()
        assert (change.files_read, change.files_removed, change.files_unchanged) == (1, 1, 2)
        assert kb.search("Fridays", 1)[0].domain == "people"
        assert kb.search("portal", 5) == []
        kb.remove(folder / "hr")
        assert {h.path.split("/")[-2] for h in kb.search("receipts expenses", 10)} == {"finance"}
        with pytest.raises(FileNotFoundError):
            kb.remove(folder / "nothing-here")


def test_reopened_base_scores_as_the_one_that_wrote_it(folder, tmp_path):
    # Headings with quotes, backslashes and non-ASCII text: the indexed text rebuilt from
    # the store must be the text indexed when the passages were added.
    (folder / "hr/odd.md").write_text(
        '# Caf\u00e9 "q" \\ x\n\n## \u00c9t\u00e9 > b\n\nreceipts here\n'
    )
    path = tmp_path / "kb.sqlite"
    with KnowledgeBase.open(path) as kb:
        kb.add(folder)
        kb.add(folder / "hr/notes.txt")  # added again: replaces, changes no score
        written = [(h.key, h.score, h.headings) for h in kb.search("receipts caf\u00e9 b", 10)]
    with KnowledgeBase.open(path) as kb:
        assert [
            (h.key, h.score, h.headings) for h in kb.search("receipts caf\u00e9 b", 10)
        ] == written
    assert ("\u00c9t\u00e9 > b" in written[0][2]) and len(written) == 3


def test_removal_of_several_paths_is_one_change(folder):
    kb = KnowledgeBase()
    kb.add(folder)
    with pytest.raises(FileNotFoundError, match="nothing added under"):
        kb.remove([folder / "hr", folder / "nothing"])
    assert len(kb) == 4  # the first path's removal was rolled back with the second's failure
    change = kb.remove([folder / "hr", folder / "finance/travel.md"])
    assert (change.files_removed, change.passages_removed, len(kb)) == (3, 3, 1)
    assert [h.key for h in kb.search("receipts travel churn", 10)] == [
        f"{folder}/finance/expenses.md#0"
    ]


def test_errors_a_user_can_act_on(folder, tmp_path):
    kb = KnowledgeBase()
    with pytest.raises(FileNotFoundError, match="no such file or folder"):
        kb.add(tmp_path / "missing")
    with pytest.raises(ValueError, match="unknown knowledge type 'Procedure'; accepted:"):
        kb.add(folder, knowledge_type="Procedure")
    assert len(kb) == 0  # the failed add left nothing behind
    kb.close()
    with pytest.raises(ClosedError):
        kb.search("x")
    newer = tmp_path / "newer.sqlite"
    KnowledgeBase.open(newer).close()
    with sqlite3.connect(newer) as db:
        db.execute("UPDATE meta SET value = '99' WHERE name = 'schema'")
    with pytest.raises(SchemaError, match="newer revuradova"):
        KnowledgeBase.open(newer)
    other = tmp_path / "other.sqlite"
    with sqlite3.connect(other) as db:
        db.execute("CREATE TABLE t (x)")
    with pytest.raises(SchemaError, match="not a knowledge base"):
        KnowledgeBase.open(other)


WRITER = """
import sys
from revuradova.kb import KnowledgeBase
kb = KnowledgeBase.open(sys.argv[1])
print("adding", flush=True)
# Halfway through the reading, well before the commit that ends the add.
kb.add(sys.argv[2], progress=lambda done, total, path: done == 1500 and print("halfway", flush=True))
print("done", flush=True)
"""


def test_a_killed_writer_leaves_the_previous_state(folder, tmp_path):
    path = tmp_path / "kb.sqlite"
    with KnowledgeBase.open(path) as kb:
        kb.add(folder)
        before = sorted(h.key for h in kb.search("receipts", 10))
    big = tmp_path / "big"
    big.mkdir()
    for i in range(3000):
        (big / f"{i}.txt").write_text(f"receipts page {i} " * 50)
    child = subprocess.Popen(
        [sys.executable, "-P", "-c", WRITER, str(path), str(big)], stdout=subprocess.PIPE, text=True
    )
    assert child.stdout.readline().strip() == "adding"
    assert child.stdout.readline().strip() == "halfway"
    child.send_signal(signal.SIGKILL)
    assert child.wait() == -signal.SIGKILL  # killed inside the add, not after it
    with KnowledgeBase.open(path) as kb:
        assert sorted(h.key for h in kb.search("receipts", 10)) == before


def test_reads_from_threads_while_writing(folder):
    from concurrent.futures import ThreadPoolExecutor

    kb = KnowledgeBase()
    kb.add(folder)

    def read(i):
        return [h.key for h in kb.search("receipts", 3)] and kb.ask("How do I submit?", 2).how

    with ThreadPoolExecutor(4) as pool:
        results = pool.map(read, range(200))
        for _ in range(5):
            (folder / "hr/notes.txt").write_text(f"receipts {time.time()}\n")
            kb.refresh()
        assert all(results)


def test_memory_error_inside_add_leaves_the_base_as_it_was(folder, monkeypatch):
    kb = KnowledgeBase()
    kb.add(folder / "finance")
    before = [h.key for h in kb.search("receipts travel", 10)]
    from revuradova import _postings

    def failing(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(_postings, "segment", failing)
    with pytest.raises(MemoryError):
        kb.add(folder / "hr")
    monkeypatch.undo()
    assert [h.key for h in kb.search("receipts travel", 10)] == before
    assert len(kb) == 2
    kb.refresh()  # the store was rolled back too: nothing of hr/ is there to refresh
    assert {h.path.split("/")[-2] for h in kb.search("receipts", 10)} == {"finance"}


def test_the_demo_answers_from_every_file_type():
    demo = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "knowledge_base.py")
    run = subprocess.run([sys.executable, "-P", demo], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "read 13 files into 13 passages" in run.stdout and "skipped" not in run.stdout
    # The intents measured to gain from their window say how it filtered: definitions.
    assert (
        run.stdout.count("| Filtered: ") == 1
        and "(intent Definition; chosen by intent" in run.stdout
    )
    for name in ("submit-expense-report.md#0", "travel-policy-2026.pdf#0", "churn.html#0",
                 "service-catalog.yaml#0", "budget-2027.xlsx#0"):  # fmt: skip
        assert name in run.stdout


def test_snippet_marks_whole_words_in_the_densest_window():
    from revuradova.kb import Analysis
    from revuradova.kb.snippets import make_snippet

    query_terms = Analysis().finder

    text = "Tlingit speakers. " + "filler words here. " * 30 + "Use git to clone; git pull updates."
    snippet = make_snippet(text, query_terms("git clone"), width=60)
    assert "Tlingit" not in snippet.text and snippet.text.startswith("…")
    assert snippet.text.count("«git»") == 2 and "«clone»" in snippet.text
    assert [snippet.plain[a:b] for a, b in snippet.spans] == ["git", "clone", "git"]
    assert make_snippet("short text", query_terms("")).text == "short text"
