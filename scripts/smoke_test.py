"""Imports the installed package and runs one search on each road (used by make wheel-check)."""

import revuradova
from revuradova import PyBM25Indexer, PyKnowledgeObject, PyRetrievalOrchestrator

docs = [
    PyKnowledgeObject(
        "markdown", "a.md", "procedure", "finance", "How to submit an expense report"
    ),
    PyKnowledgeObject("pdf", "b.pdf", "policy", "hr compliance", "Travel policy and receipts"),
]
index = PyBM25Indexer()
for doc in docs:
    index.index_document(doc)
assert [d for d, _ in index.search("expense report", 5)] == [docs[0].id]
ids, summary = PyRetrievalOrchestrator(False, False, False, False, True, 5).search(
    "How do I submit an expense report?", docs
)
assert ids == [docs[0].id], (ids, summary)
print(f"revuradova {revuradova.__version__} from {revuradova.__file__}: ok")

# The knowledge base and its command, as a user without any extra installed meets them.
import os  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402

from revuradova.kb import KnowledgeBase  # noqa: E402

with tempfile.TemporaryDirectory() as work:
    folder = os.path.join(work, "notes")
    os.mkdir(folder)
    with open(os.path.join(folder, "expenses.txt"), "w") as stream:
        stream.write("Submit the expense report with its receipts.\n")
    with KnowledgeBase.open(os.path.join(work, "kb.sqlite")) as kb:
        assert kb.add(folder).files_read == 1
        assert kb.search("receipts")[0].key.endswith("expenses.txt#0")
    command = os.path.join(os.path.dirname(sys.executable), "revuradova")
    env = dict(os.environ, REVURADOVA_DB=os.path.join(work, "cli.sqlite"))
    for args in (["add", folder], ["search", "receipts"], ["status"]):
        run = subprocess.run([command, *args], env=env, capture_output=True, text=True)
        assert run.returncode == 0, (args, run.stderr)
    assert "expenses.txt#0" in run.stdout or "files" in run.stdout
print("knowledge base and command: ok")
