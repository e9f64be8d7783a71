"""Answer quality of the knowledge base on real documents, against bm25s.

    python -m benchmarks quality-django

The corpus is the documentation tree of one pinned Django release (documents.py), read
into passages by the knowledge base. data/quality_questions.jsonl holds 52 questions, each
with its shape (procedure, definition, policy, reference) and the keys of the passages
judged to answer it (keys relative to the docs folder). The judgements were made by hand
on the passages this package cuts; if a change to the readers renames the passages, the
run stops and says which keys no longer exist.

For each system and question the top 10 are taken. Reported per system, over all questions
and per shape: top-1 (the first hit answers), top-3 (an answering passage among the first
3) and MRR (mean of 1/rank of the first answering passage, 0 when none is in the top 10).
Systems: KnowledgeBase.search (BM25), KnowledgeBase.ask (BM25 candidates ordered by the
question's intent), and bm25s on the same passage texts in its recommended configuration
(its tokenizer with English stop words, its default Lucene scoring).
Writes results/quality.json and results/quality.md.
"""

from __future__ import annotations

import json
import sys
from collections import defaultdict
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import documents  # noqa: E402
import report  # noqa: E402

from revuradova.kb import Analysis, KnowledgeBase  # noqa: E402

HERE = Path(__file__).resolve().parent
QUESTIONS = HERE / "data" / "quality_questions.jsonl"
TOP = 10


def load_questions() -> list[dict]:
    with QUESTIONS.open(encoding="utf-8") as stream:
        return [json.loads(line) for line in stream if line.strip()]


class Bm25sOnPassages:
    name = "bm25s"

    def __init__(self, keys: list[str], texts: list[str]) -> None:
        import bm25s

        self.bm25s = bm25s
        self.keys = keys
        self.retriever = bm25s.BM25()
        self.retriever.index(bm25s.tokenize(texts, stopwords="en", show_progress=False),
                             show_progress=False)  # fmt: skip

    def __call__(self, question: str) -> list[str]:
        tokens = self.bm25s.tokenize([question], stopwords="en", show_progress=False)
        if not tokens.vocab:
            return []
        docs, scores = self.retriever.retrieve(tokens, k=TOP, show_progress=False)
        return [self.keys[int(d)] for d, s in zip(docs[0], scores[0], strict=True) if s > 0]


def scores(ranked: list[str], answers: set[str]) -> tuple[float, float, float]:
    rank = next((i + 1 for i, key in enumerate(ranked[:TOP]) if key in answers), None)
    if rank is None:
        return 0.0, 0.0, 0.0
    return float(rank == 1), float(rank <= 3), 1.0 / rank


def main() -> None:
    docs = documents.django_docs()
    prefix = f"{docs}/"
    kb = KnowledgeBase()
    change = kb.add(docs, include=list(documents.INCLUDE), exclude=list(documents.EXCLUDE))
    passages = list(kb.passages())
    keys = [p.key.removeprefix(prefix) for p in passages]
    questions = load_questions()
    missing = sorted({a for q in questions for a in q["answers"]} - set(keys))
    if missing:
        sys.exit(f"{len(missing)} judged passages no longer exist (readers changed?): {missing}")
    texts = [p.text for p in passages]
    bm25s_system = Bm25sOnPassages(keys, texts)
    systems = {
        "search": lambda q: [h.key.removeprefix(prefix) for h in kb.search(q, TOP)],
        "ask": lambda q: [h.key.removeprefix(prefix) for h in kb.ask(q, TOP).hits],
        "bm25s": bm25s_system,
    }
    # The knowledge base's other analyses, on the same passages: the measurements behind
    # its default (Analysis()).
    for min_bytes, stemmer in ((1, ""), (1, "english"), (2, "english"), (3, "")):
        analysis = Analysis(min_bytes, stemmer)
        if analysis == kb.analysis:
            continue
        other = KnowledgeBase(analysis=analysis)
        other.add(docs, include=list(documents.INCLUDE), exclude=list(documents.EXCLUDE))
        name = f"search ({min_bytes} byte{'s' * (min_bytes > 1)}, {stemmer or 'no'} stemmer)"
        systems[name] = lambda q, other=other: [
            h.key.removeprefix(prefix) for h in other.search(q, TOP)
        ]
    table: dict[str, dict] = {name: defaultdict(lambda: [0, 0, 0, 0]) for name in systems}
    for q in questions:
        answers = set(q["answers"])
        for name, system in systems.items():
            got = scores(system(q["question"]), answers)
            for group in ("all", q["shape"], "intent" if q["shape"] != "reference" else None):
                if group is None:
                    continue
                cell = table[name][group]
                cell[0] += got[0]
                cell[1] += got[1]
                cell[2] += got[2]
                cell[3] += 1
    result = {
        "corpus": f"Django {documents.RELEASE} docs",
        "files": change.files_read,
        "passages": len(kb),
        "questions": len(questions),
        "systems": {
            name: {
                group: {"n": n, "top1": t1 / n, "top3": t3 / n, "mrr": rr / n}
                for group, (t1, t3, rr, n) in groups.items()
            }
            for name, groups in table.items()
        },
    }
    report.write("quality_django", result, markdown(result))
    print(markdown(result))


def markdown(result: dict) -> str:
    groups = ["all", "intent", "procedure", "definition", "policy", "reference"]
    lines = [
        f"{result['questions']} questions over {result['passages']:,} passages of "
        f"{result['files']} files ({result['corpus']}); top-1 / top-3 / MRR@10.",
        "",
        "| system | " + " | ".join(
            f"{g} ({result['systems']['search'][g]['n']})" for g in groups
        ) + " |",
        "|---|" + "---|" * len(groups),
    ]  # fmt: skip
    for name, table in result["systems"].items():
        cells = [
            f"{table[g]['top1']:.2f} / {table[g]['top3']:.2f} / {table[g]['mrr']:.2f}"
            for g in groups
        ]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines.append("")
    lines.append("`intent` is the procedure, definition and policy questions together.")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
