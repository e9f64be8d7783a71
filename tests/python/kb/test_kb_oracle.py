"""The index kept in place scores exactly as one built fresh: random sequences of adds,
edits, refreshes and removes (with merges made frequent), compared after every step with
the same passages indexed from scratch."""

from __future__ import annotations

import random
from pathlib import Path

import pytest
from kb_helpers import answers, fresh_answers

from revuradova.kb import KnowledgeBase, merge

WORDS = (
    "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi omicron pi rho "
    "sigma tau upsilon phi chi psi omega receipts expenses travel policy deploy 22 04 q3 hr"
).split()
QUERIES = ["alpha", "beta gamma", "receipts travel policy", "q3 hr 22", "omega pi rho sigma",
           "zeta zeta eta", "nothing-matches-this"]  # fmt: skip


def text(rng: random.Random) -> str:
    paragraphs = []
    for _ in range(rng.randint(1, 4)):
        paragraphs.append(" ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 40))))
    return "\n\n".join(paragraphs) + "\n"


@pytest.mark.parametrize("seed", range(6))
def test_random_changes_score_as_a_fresh_index(tmp_path: Path, seed: int, monkeypatch) -> None:
    # Merges after every few changes, so that every path of the policy is taken.
    monkeypatch.setattr(merge, "MERGE_FACTOR", 2)
    rng = random.Random(seed)
    docs = tmp_path / "docs"
    docs.mkdir()
    path = tmp_path / "kb.sqlite"
    names = [f"{folder}/{i}.txt" for folder in ("a", "b", "c") for i in range(6)]
    with KnowledgeBase.open(path) as kb:
        for step in range(14):
            action = rng.choice(["write", "write", "delete", "refresh", "add", "remove"])
            name = rng.choice(names)
            target = docs / name
            if action == "write":
                target.parent.mkdir(exist_ok=True)
                target.write_text(text(rng))
                if rng.random() < 0.5:
                    kb.refresh()
                else:
                    kb.add(target)
            elif action == "delete" and target.exists():
                target.unlink()
                kb.refresh()
            elif action == "add":
                kb.add(docs, max_words=rng.choice([5, 20, 300]))
            elif action == "remove":
                folder = docs / name.split("/")[0]
                try:
                    kb.remove(rng.choice([folder, target]))
                except FileNotFoundError:
                    pass
            else:
                kb.refresh()
            got = answers(kb, QUERIES)
            assert got == fresh_answers(path, tmp_path, QUERIES), f"step {step}: {action} {name}"
        # The index's own statistics match the passages it holds.
        assert kb.status().passages == len(list(kb.passages()))


def test_removed_passages_never_come_back(tmp_path: Path, monkeypatch) -> None:
    monkeypatch.setattr(merge, "MERGE_FACTOR", 100)  # removals stay pending as deletions
    docs = tmp_path / "docs"
    docs.mkdir()
    for i in range(30):
        (docs / f"{i}.txt").write_text(f"shared words number{i}\n")
    kb = KnowledgeBase()
    kb.add(docs)
    for i in range(0, 30, 3):
        kb.remove(docs / f"{i}.txt")
    keys = {h.key for h in kb.search("shared words", 100)}
    assert len(keys) == 20 and not any(k.endswith(("/0.txt#0", "/3.txt#0")) for k in keys)
    assert kb.search("number3", 5) == [] and len(kb.search("number4", 5)) == 1
