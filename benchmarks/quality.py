"""Answer quality on held-out questions, every system on the same passages.

    python -m benchmarks quality [--set git|postgresql] [--no-dense]

The two judged sets of judged.py: "git" (the knowledge base's choices were tuned on it) and
"postgresql" (held out). Each corpus is read once by the knowledge base; its passages'
texts are then given, as they are, to every peer, so that all rank the same texts and one
judge (judged.judge: the answering file and a phrase of the answer) scores them all.

Systems, each in its best configuration for questions in English:
- search, ask: KnowledgeBase.search / ask, BM25 over the base's own analysis (the lexical
  road alone);
- search hybrid, ask hybrid: the same with the dense road on (reciprocal-rank fusion of
  BM25 and all-MiniLM-L6-v2);
- dense (MiniLM): the knowledge base's dense road alone, the dense peer: what a small
  local embedding model gives by itself;
- bm25s: its tokenizer, English stop words and the Snowball English stemmer (PyStemmer);
- tantivy: its en_stem analyser, the question parsed leniently (any word may match);
- FTS5: SQLite's porter tokenizer over unicode61, the question's words OR-ed, bm25 rank.

Printed per system: top-1, top-3 and MRR@10 over all questions and over the paraphrased
ones, top-3 per shape, and the indexing (and, for the dense road, encoding) time. Writes
results/quality.json and results/quality.md and the README's quality table.
"""

from __future__ import annotations

import argparse
import re
import sqlite3
import sys
import time
from collections import defaultdict
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import judged  # noqa: E402
import report  # noqa: E402

from revuradova.kb import KnowledgeBase  # noqa: E402

TOP = 10
SHAPES = ("procedure", "definition", "fact", "comparison", "troubleshooting", "policy")


def words(text: str) -> list[str]:
    return re.findall(r"\w+", text)


class Bm25s:
    name = "bm25s"

    def __init__(self, texts: list[str]) -> None:
        import bm25s
        import Stemmer

        self.bm25s, self.stemmer = bm25s, Stemmer.Stemmer("english")
        self.retriever = bm25s.BM25()
        tokens = bm25s.tokenize(texts, stopwords="en", stemmer=self.stemmer, show_progress=False)
        self.retriever.index(tokens, show_progress=False)

    def __call__(self, question: str) -> list[int]:
        tokens = self.bm25s.tokenize([question], stopwords="en", stemmer=self.stemmer,
                                     show_progress=False)  # fmt: skip
        if not tokens.vocab:
            return []
        docs, scores = self.retriever.retrieve(tokens, k=TOP, show_progress=False)
        return [int(d) for d, s in zip(docs[0], scores[0], strict=True) if s > 0]


class Tantivy:
    name = "tantivy"

    def __init__(self, texts: list[str]) -> None:
        import tantivy

        builder = tantivy.SchemaBuilder()
        builder.add_integer_field("n", stored=True, indexed=False)
        builder.add_text_field("text", stored=False, tokenizer_name="en_stem")
        self.index = tantivy.Index(builder.build())
        writer = self.index.writer(heap_size=256_000_000)
        for n, text in enumerate(texts):
            writer.add_document(tantivy.Document(n=n, text=text))
        writer.commit()
        writer.wait_merging_threads()
        self.index.reload()
        self.searcher = self.index.searcher()

    def __call__(self, question: str) -> list[int]:
        query = " ".join(words(question))
        if not query:
            return []
        parsed, _ = self.index.parse_query_lenient(query, ["text"])
        hits = self.searcher.search(parsed, TOP).hits
        return [self.searcher.doc(address)["n"][0] for _, address in hits]


class Fts5:
    name = "FTS5"

    def __init__(self, texts: list[str]) -> None:
        self.db = sqlite3.connect(":memory:")
        self.db.execute("CREATE VIRTUAL TABLE p USING fts5(text, tokenize = 'porter unicode61')")
        self.db.executemany("INSERT INTO p (rowid, text) VALUES (?, ?)", enumerate(texts))

    def __call__(self, question: str) -> list[int]:
        found = words(question)
        if not found:
            return []
        match = " OR ".join(f'"{w}"' for w in found)
        rows = self.db.execute("SELECT rowid FROM p WHERE p MATCH ? ORDER BY rank LIMIT ?",
                               (match, TOP))  # fmt: skip
        return [row[0] for row in rows]


def scores(ranked: list[str], answers: set[str]) -> tuple[float, float, float]:
    rank = next((i + 1 for i, key in enumerate(ranked[:TOP]) if key in answers), None)
    if rank is None:
        return 0.0, 0.0, 0.0
    return float(rank == 1), float(rank <= 3), 1.0 / rank


def run_set(name: str, dense: bool) -> dict:
    folder = judged.root(name)
    include = list(judged.CORPORA[name].include)
    questions = judged.questions(name)
    started = time.perf_counter()
    kb = KnowledgeBase()
    change = kb.add(folder, include=include)
    times = {"search": time.perf_counter() - started}
    passages = list(kb.passages())
    keys = [p.key for p in passages]
    texts = [p.text for p in passages]
    position = {key: n for n, key in enumerate(keys)}
    answers = judged.judge(questions, keys, texts, f"{folder}/")
    unanswerable = [q["question"] for q, a in zip(questions, answers, strict=True) if not a]
    if unanswerable:
        sys.exit(f"{name}: judged answers found in no passage: {unanswerable}")

    def keyed(hits: list) -> list[int]:
        return [position[h.key] for h in hits]

    systems: dict = {
        "search": lambda q: keyed(kb.search(q, TOP, mode="bm25")),
        "ask": lambda q: keyed(kb.ask(q, TOP, mode="bm25").hits),
    }
    if dense:
        started = time.perf_counter()
        kb.enable_dense(True)
        times["encode"] = time.perf_counter() - started
        systems["search hybrid"] = lambda q: keyed(kb.search(q, TOP, mode="hybrid"))
        systems["ask hybrid"] = lambda q: keyed(kb.ask(q, TOP, mode="hybrid").hits)
        systems["dense (MiniLM)"] = lambda q: keyed(kb.search(q, TOP, mode="dense"))
    for peer in (Bm25s, Tantivy, Fts5):
        started = time.perf_counter()
        systems[peer.name] = peer(texts)
        times[peer.name] = time.perf_counter() - started
    table: dict[str, dict] = {}
    for system, answer in systems.items():
        cells: dict[str, list[float]] = defaultdict(lambda: [0.0, 0.0, 0.0, 0.0])
        started = time.perf_counter()
        for question, good in zip(questions, answers, strict=True):
            got = scores([keys[i] for i in answer(question["question"])], good)
            groups = ["all", question["shape"]]
            if question.get("paraphrased"):
                groups.append("paraphrased")
            for group in groups:
                cell = cells[group]
                for k in range(3):
                    cell[k] += got[k]
                cell[3] += 1
        ms = (time.perf_counter() - started) / len(questions) * 1000
        table[system] = {
            "ms_per_question": ms,
            **{g: {"n": int(n), "top1": a / n, "top3": b / n, "mrr": c / n}
               for g, (a, b, c, n) in cells.items()},
        }  # fmt: skip
    return {
        "set": name,
        "tuned": name == judged.TUNED,
        "package": f"{judged.CORPORA[name].package} {judged.CORPORA[name].version}",
        "files": change.files_read,
        "passages": len(passages),
        "questions": len(questions),
        "paraphrased": sum(bool(q.get("paraphrased")) for q in questions),
        "seconds": times,
        "systems": table,
    }


def markdown(results: list[dict]) -> str:
    lines = []
    for result in results:
        role = "tuned on" if result["tuned"] else "held out"
        lines += [
            f"**{result['set']}** ({role}): {result['questions']} questions "
            f"({result['paraphrased']} paraphrased) over {result['passages']:,} passages of "
            f"{result['files']} files ({result['package']}). top-1 / top-3 / MRR@10; "
            "top-3 per shape.",
            "",
            "| system | all | paraphrased | "
            + " | ".join(SHAPES) + " | ms/question |",
            "|---|---|---|" + "---|" * len(SHAPES) + "---|",
        ]  # fmt: skip
        for system, row in result["systems"].items():

            def cell(group: str, row: dict = row) -> str:
                c = row.get(group)
                return f"{c['top1']:.2f} / {c['top3']:.2f} / {c['mrr']:.2f}" if c else "–"

            shapes = [f"{row[s]['top3']:.2f}" if s in row else "–" for s in SHAPES]
            lines.append(f"| {system} | {cell('all')} | {cell('paraphrased')} | "
                         + " | ".join(shapes) + f" | {row['ms_per_question']:.1f} |")  # fmt: skip
        seconds = result["seconds"]
        timing = ", ".join(f"{k} {v:.1f} s" for k, v in seconds.items())
        lines += ["", f"Indexing (and encoding) time: {timing}."]
        if "encode" in seconds:
            lines[-1] += f" Encoding: {result['passages'] / seconds['encode']:.0f} passages/s."
        lines.append("")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--set", choices=sorted(judged.CORPORA), action="append")
    parser.add_argument("--no-dense", action="store_true")
    args = parser.parse_args()
    results = [run_set(name, not args.no_dense)
               for name in (args.set or [judged.TUNED, judged.HELD_OUT])]  # fmt: skip
    text = markdown(results)
    report.write("quality", {"machine": report.machine(), "sets": results}, text,
                 readme_section="quality")  # fmt: skip
    print(text)


if __name__ == "__main__":
    main()
