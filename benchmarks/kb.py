"""The knowledge base beside SQLite FTS5 and tantivy, on the same Markdown files, each step
in a process of its own, as a new user would meet them.

    python -m benchmarks kb [--sizes 100000,1000000] [--queries 300]

The folder: files of ten sections each ("## heading" and one paragraph of the docstrings of
the standard library and the bench extra's packages, whitespace collapsed), so one passage
per section. For each system and size: build (read and index the folder), open and first
search in a fresh process, search p50 / p99 with the ten hits' text, one file edited and
then refreshed, one file removed, the size on disk and the resident memory of the process
after open and first search. The peers are fed the same sections (a heading split done
in Python) and run at their best: FTS5 (porter unicode61, WAL), tantivy (en_stem, on disk,
every core for indexing). Writes results/kb.json and results/kb.md.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import report  # noqa: E402
from measure import current_rss_bytes, percentile  # noqa: E402
from measure import latencies as timed_calls  # noqa: E402

SECTION = re.compile(r"^## (.*)$", re.M)
SECTIONS_PER_FILE = 10
SYSTEMS = ("revuradova", "fts5", "tantivy")


# --- the folder ---------------------------------------------------------------------------


def make_folder(root: Path, passages: int, seed: int = 5) -> list[str]:
    """Writes the folder; returns words to draw queries from."""
    from corpora import docstring_paragraphs

    paragraphs, _ = docstring_paragraphs()
    paragraphs = [p for p in paragraphs if 5 <= len(p.split()) <= 250]
    rng = random.Random(seed)
    files = passages // SECTIONS_PER_FILE
    for f in range(files):
        folder = root / f"team{f % 50}" / f"part{f % 7}"
        folder.mkdir(parents=True, exist_ok=True)
        body = "".join(
            f"## {' '.join(rng.choice(paragraphs).split()[:4])}\n\n{rng.choice(paragraphs)}\n\n"
            for _ in range(SECTIONS_PER_FILE)
        )
        (folder / f"doc{f}.md").write_text(f"# Document {f}\n\n{body}")
    words = [w for p in rng.sample(paragraphs, 400) for w in p.split()[:6] if w.isalpha()]
    return [" ".join(rng.sample(words, rng.randint(2, 4))) for _ in range(1000)]


def sections(path: Path) -> list[tuple[str, str]]:
    """(heading, body) of a file, as the peers are fed it."""
    text = path.read_text()
    marks = list(SECTION.finditer(text))
    return [
        (m.group(1), text[m.end() : marks[i + 1].start() if i + 1 < len(marks) else None].strip())
        for i, m in enumerate(marks)
    ]


def all_files(root: Path) -> list[Path]:
    return sorted(root.rglob("*.md"))


# --- one step of one system, in its own process -------------------------------------------


def step(system: str, what: str, store: Path, folder: Path, extra: str) -> dict:
    # The library is imported before the clock starts, for every system alike; the
    # import's own time is reported apart.
    started = time.perf_counter()
    if system == "revuradova":
        from revuradova.kb import KnowledgeBase
    elif system == "tantivy":
        import tantivy
    imported = time.perf_counter() - started
    start = time.perf_counter()
    result: dict = {"import_s": imported}
    if system == "revuradova":
        if what == "build":
            with KnowledgeBase.open(store) as kb:
                kb.add(folder, progress=False, workers=1)  # the goal is set for one reader
                result["passages"] = len(kb)
        elif what == "open":
            kb = KnowledgeBase.open(store)
            hits = kb.search(extra, 10)
            result["hits"] = [h.text for h in hits]
        elif what == "search":
            kb = KnowledgeBase.open(store)
            return {"latencies": latencies(lambda q: [h.text for h in kb.search(q, 10)], extra)}
        elif what == "edit":
            kb = KnowledgeBase.open(store)
            edit(Path(extra))
            start = time.perf_counter()
            change = kb.refresh(extra, progress=False)
            assert change.files_read == 1, change
        elif what == "refresh-all":
            kb = KnowledgeBase.open(store)
            edit(Path(extra))
            start = time.perf_counter()
            assert kb.refresh(progress=False).files_read == 1
        elif what == "remove":
            kb = KnowledgeBase.open(store)
            start = time.perf_counter()
            kb.remove(extra)
    elif system == "fts5":
        db = sqlite3.connect(store, isolation_level=None)
        db.execute("PRAGMA journal_mode = WAL")
        db.execute("PRAGMA synchronous = NORMAL")
        if what == "build":
            db.execute("CREATE VIRTUAL TABLE docs USING fts5(path UNINDEXED, heading, body, "
                       "tokenize = 'porter unicode61')")  # fmt: skip
            db.execute("BEGIN")
            for path in all_files(folder):
                db.executemany("INSERT INTO docs VALUES (?, ?, ?)",
                               [(str(path), h, b) for h, b in sections(path)])  # fmt: skip
            db.execute("COMMIT")
        elif what == "open":
            result["hits"] = fts5_search(db, extra)
        elif what == "search":
            return {"latencies": latencies(lambda q: fts5_search(db, q), extra)}
        elif what in ("edit", "remove"):
            path = Path(extra)
            if what == "edit":
                edit(path)
            start = time.perf_counter()
            db.execute("BEGIN")
            db.execute("DELETE FROM docs WHERE path = ?", (str(path),))
            if what == "edit":
                db.executemany("INSERT INTO docs VALUES (?, ?, ?)",
                               [(str(path), h, b) for h, b in sections(path)])  # fmt: skip
            db.execute("COMMIT")
    elif system == "tantivy":
        if what == "build":
            builder = tantivy.SchemaBuilder()
            builder.add_text_field("path", stored=True, tokenizer_name="raw")
            builder.add_text_field("heading", stored=True, tokenizer_name="en_stem")
            builder.add_text_field("body", stored=True, tokenizer_name="en_stem")
            store.mkdir()
            index = tantivy.Index(builder.build(), path=str(store))
            writer = index.writer(heap_size=256_000_000)
            for path in all_files(folder):
                for h, b in sections(path):
                    writer.add_document(tantivy.Document(path=str(path), heading=h, body=b))
            writer.commit()
            writer.wait_merging_threads()
        else:
            index = tantivy.Index.open(str(store))
            if what == "open":
                result["hits"] = tantivy_search(index, extra)
            elif what == "search":
                return {"latencies": latencies(lambda q: tantivy_search(index, q), extra)}
            elif what in ("edit", "remove"):
                path = Path(extra)
                if what == "edit":
                    edit(path)
                start = time.perf_counter()
                writer = index.writer(heap_size=50_000_000, num_threads=1)
                writer.delete_documents("path", str(path))
                if what == "edit":
                    for h, b in sections(path):
                        writer.add_document(tantivy.Document(path=str(path), heading=h, body=b))
                writer.commit()
                writer.wait_merging_threads()
    result["seconds"] = time.perf_counter() - start
    result["rss"] = current_rss_bytes()
    return result


def fts5_search(db: sqlite3.Connection, query: str) -> list[str]:
    words = re.findall(r"\w+", query)
    if not words:
        return []
    match = " OR ".join(f'"{w}"' for w in words)
    return [
        f"{h}\n\n{b}"
        for _, h, b in db.execute(
            "SELECT path, heading, body FROM docs WHERE docs MATCH ? ORDER BY rank LIMIT 10",
            (match,),
        )
    ]


def tantivy_search(index, query: str) -> list[str]:
    searcher = index.searcher()
    words = re.findall(r"\w+", query)
    parsed = index.parse_query(" ".join(words), ["heading", "body"])
    hits = searcher.search(parsed, 10).hits
    return [
        f"{doc['heading'][0]}\n\n{doc['body'][0]}"
        for doc in (searcher.doc(address) for _, address in hits)
    ]


def latencies(search, queries_text: str) -> list[float]:
    """Seconds per query, after a warm-up of the first twenty."""
    queries = json.loads(queries_text)
    for q in queries[:20]:
        search(q)
    return timed_calls(search, queries)


def edit(path: Path) -> None:
    text = path.read_text()
    path.write_text(text.replace("\n\n", "\n\nEdited on purpose. ", 1))


def size_on_disk(store: Path) -> int:
    if store.is_dir():
        return sum(p.stat().st_size for p in store.rglob("*") if p.is_file())
    return sum(
        os.path.getsize(f"{store}{s}")
        for s in ("", "-wal", "-shm")
        if os.path.exists(f"{store}{s}")
    )


def in_process(*args: str) -> dict:
    run = subprocess.run(
        [sys.executable, "-P", __file__, "--step", *args], capture_output=True, text=True,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(
            filter(None, [str(Path(__file__).resolve().parent), os.environ.get("PYTHONPATH")]))},
    )  # fmt: skip
    if run.returncode != 0:
        raise RuntimeError(f"{args}: {run.stderr}")
    return json.loads(run.stdout.strip().splitlines()[-1])


# --- the whole comparison -------------------------------------------------------------------


def measure(size: int, queries: int, work: Path) -> dict:
    folder = work / "docs"
    drawn = make_folder(folder, size)
    asked = json.dumps(drawn[:queries])
    files = all_files(folder)
    out: dict = {"passages": size, "files": len(files), "systems": {}}
    for system in SYSTEMS:
        # Every system edits and removes files of its own copy: the folder stays the same
        # for the next one.
        mine = work / f"docs-{system}"
        shutil.copytree(folder, mine)
        store = work / f"{system}.store"
        row: dict = {}
        row["build_s"] = in_process(system, "build", str(store), str(mine), "")["seconds"]
        opened = in_process(system, "open", str(store), str(mine), drawn[-1])
        row["open_first_search_s"] = opened["seconds"]
        row["import_s"] = opened["import_s"]
        row["rss_after_open"] = opened["rss"]
        times = in_process(system, "search", str(store), str(mine), asked)["latencies"]
        row["search_p50_ms"] = percentile(times, 0.5) * 1e3
        row["search_p99_ms"] = percentile(times, 0.99) * 1e3
        target = sorted(p for p in mine.rglob("*.md"))[len(files) // 2]
        row["edit_refresh_s"] = in_process(system, "edit", str(store), str(mine), str(target))[
            "seconds"
        ]
        if system == "revuradova":
            row["edit_refresh_all_s"] = in_process(
                system, "refresh-all", str(store), str(mine), str(target)
            )["seconds"]
        gone = sorted(p for p in mine.rglob("*.md"))[len(files) // 3]
        row["remove_s"] = in_process(system, "remove", str(store), str(mine), str(gone))["seconds"]
        row["disk_bytes"] = size_on_disk(store)
        out["systems"][system] = row
        print(f"  {size:,} {system}: " + ", ".join(f"{k} {v:.4g}" for k, v in row.items()),
              flush=True)  # fmt: skip
        shutil.rmtree(mine)
    return out


STEPS = [
    ("build (read + index), s", "build_s", "lower"),
    ("open + first search, s", "open_first_search_s", "lower"),
    ("search p50, 10 hits with their text, ms", "search_p50_ms", "lower"),
    ("search p99, ms", "search_p99_ms", "lower"),
    ("one file edited, then refresh, s", "edit_refresh_s", "lower"),
    ("remove one file, s", "remove_s", "lower"),
    ("disk, MB", "disk_bytes", "lower"),
    ("resident memory after open, MB", "rss_after_open", "lower"),
]


def table(result: dict) -> str:
    rows = result["systems"]
    lines = [
        f"{result['passages']:,} passages in {result['files']:,} Markdown files",
        "",
        "| step | revuradova | SQLite FTS5 | tantivy | ratio to the better peer |",
        "|---|---|---|---|---|",
    ]
    for name, key, _ in STEPS:
        scale = 1e-6 if key in ("disk_bytes", "rss_after_open") else 1
        values = [rows[s][key] * scale for s in SYSTEMS]
        best_peer = min(values[1:])
        ratio = values[0] / best_peer if best_peer else float("inf")
        lines.append(f"| {name} | " + " | ".join(f"{v:.3g}" for v in values) + f" | {ratio:.2f}x |")
    ours = rows["revuradova"]
    lines.append("")
    lines.append(f"revuradova's full refresh after one edit (the folder listed): "
                 f"{ours['edit_refresh_all_s']:.3g} s. Importing the library, not counted "
                 f"above: revuradova.kb {ours['import_s'] * 1e3:.0f} ms, tantivy "
                 f"{rows['tantivy']['import_s'] * 1e3:.0f} ms.")  # fmt: skip
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--queries", type=int, default=300)
    parser.add_argument("--step", nargs=5)
    args = parser.parse_args()
    if args.step:
        system, what, store, folder, extra = args.step
        print(json.dumps(step(system, what, Path(store), Path(folder), extra)))
        return
    results = []
    for size in (int(s) for s in args.sizes.split(",")):
        with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_TMP")) as work:
            results.append(measure(size, args.queries, Path(work)))
        print(table(results[-1]), flush=True)
    report.write("kb", results, "\n\n".join(table(r) for r in results) + "\n")


if __name__ == "__main__":
    main()
