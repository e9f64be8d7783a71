"""Reading throughput per source type against the bare parser, and a folder with 2 workers.

    python -m benchmarks ingest [--files N]

Files are generated from the standard library's docstrings (real prose) with the writers the
test extra installs. For each type: MB/s and passages/s of read_bytes + passages, the bare
parser's MB/s on the same bytes, and our overhead beyond it (goal: at most 10%). Then a
folder of at least 2,000 mixed files read with 1 and with 2 worker processes (goal: 1.8x).
Minimum of 3 runs each. Writes results/ingest.json and results/ingest.md.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

import report  # noqa: E402
from corpora import stdlib_docstrings  # noqa: E402
from ingest_fixtures import docx_bytes, pdf_bytes, xlsx_bytes  # noqa: E402

from revuradova.ingest import document_passages, read_bytes, read_folder  # noqa: E402


def make_files(paragraphs: list[str], count: int) -> dict[str, list[tuple[str, bytes]]]:
    def chunk(i: int, n: int = 12) -> list[str]:
        return [paragraphs[(i * n + j) % len(paragraphs)] for j in range(n)]

    files: dict[str, list[tuple[str, bytes]]] = {t: [] for t in TYPES}
    for i in range(count):
        parts = chunk(i)
        md = "\n\n".join(f"## Part {j}\n\n{p}" for j, p in enumerate(parts))
        files["markdown"].append((f"d{i}.md", f"# Doc {i}\n\n{md}\n".encode()))
        html = "".join(f"<h2>Part {j}</h2><p>{p}</p>" for j, p in enumerate(parts))
        page = f"<html><head><title>Doc {i}</title></head><body>{html}</body></html>"
        files["html"].append((f"d{i}.html", page.encode()))
        files["local_file"].append((f"d{i}.txt", "\n\n".join(parts).encode()))
        rows = io.StringIO()
        writer = csv.writer(rows)
        writer.writerow(["id", "text"])
        writer.writerows([j, p] for j, p in enumerate(parts))
        files["csv"].append((f"d{i}.csv", rows.getvalue().encode()))
        records = [{"id": j, "text": p} for j, p in enumerate(parts)]
        files["json"].append((f"d{i}.json", json.dumps(records).encode()))
        yaml_text = "".join(f"- id: {j}\n  text: {json.dumps(p)}\n" for j, p in enumerate(parts))
        files["yaml"].append((f"d{i}.yaml", yaml_text.encode()))
        if i < max(5, count // 10):
            files["pdf"].append((f"d{i}.pdf", pdf_bytes(tuple(p[:1500] for p in parts[:4]))))
            files["docx"].append((f"d{i}.docx", docx_bytes()))
            files["xlsx"].append((f"d{i}.xlsx", xlsx_bytes()))
    return files


def bare_parsers():
    import docx
    import pypdfium2
    import yaml
    from markdown_it import MarkdownIt
    from python_calamine import CalamineWorkbook
    from selectolax.lexbor import LexborHTMLParser

    md = MarkdownIt("commonmark").enable("table")

    def pdf(data):
        document = pypdfium2.PdfDocument(data)
        for page in document:
            page.get_textpage().get_text_bounded()

    def xlsx(data):
        workbook = CalamineWorkbook.from_filelike(io.BytesIO(data))
        for name in workbook.sheet_names:
            workbook.get_sheet_by_name(name).to_python()

    return {
        "markdown": lambda d: md.parse(d.decode()),
        "html": lambda d: LexborHTMLParser(d.decode()).body.text(),
        "local_file": lambda d: d.decode(),
        "csv": lambda d: list(csv.reader(io.StringIO(d.decode()))),
        "json": lambda d: json.loads(d),
        "yaml": lambda d: yaml.load(d.decode(), Loader=yaml.CSafeLoader),
        "pdf": pdf,
        "docx": lambda d: [p.text for p in docx.Document(io.BytesIO(d)).paragraphs],
        "xlsx": xlsx,
    }


TYPES = ("markdown", "html", "local_file", "csv", "json", "yaml", "pdf", "docx", "xlsx")


def best_of(runs: int, function) -> float:
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def per_type(files, runs: int = 3) -> dict:
    bare = bare_parsers()
    out = {}
    for kind in TYPES:
        items = files[kind]
        size = sum(len(d) for _, d in items)
        counted = [0]

        def ours(items=items, counted=counted):
            counted[0] = 0
            for name, data in items:
                document = read_bytes(data, name)
                counted[0] += sum(1 for _ in document_passages(document, name, "bench"))

        def parser(items=items, parse=bare[kind]):
            for _, data in items:
                parse(data)

        ours_s, bare_s = best_of(runs, ours), best_of(runs, parser)
        out[kind] = {
            "files": len(items),
            "mb": size / 1e6,
            "ours_mb_s": size / 1e6 / ours_s,
            "passages_s": counted[0] / ours_s,
            "bare_mb_s": size / 1e6 / bare_s,
            "overhead": ours_s / bare_s - 1,
        }
    return out


def folder(files, runs: int = 3) -> dict:
    with tempfile.TemporaryDirectory() as root:
        count = 0
        for kind, items in files.items():
            os.makedirs(os.path.join(root, kind), exist_ok=True)
            for name, data in items:
                Path(root, kind, name).write_bytes(data)
                count += 1
        timings = {}
        for workers in (1, 2):
            timings[workers] = best_of(runs, lambda w=workers: list(read_folder(root, workers=w)))
    return {"files": count, "one_s": timings[1], "two_s": timings[2],
            "speedup": timings[1] / timings[2]}  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=300, help="files per text type")
    args = parser.parse_args()
    paragraphs = [p for _, d in stdlib_docstrings() for p in d.split("\n\n") if len(p) > 80]
    files = make_files(paragraphs, args.files)
    result = {"per_type": per_type(files), "folder": folder(files)}
    lines = ["| type | files | MB | ours MB/s | passages/s | bare parser MB/s | overhead |",
             "|---|---|---|---|---|---|---|"]  # fmt: skip
    for kind, r in result["per_type"].items():
        lines.append(
            f"| {kind} | {r['files']} | {r['mb']:.1f} | {r['ours_mb_s']:.1f} | "
            f"{r['passages_s']:,.0f} | {r['bare_mb_s']:.1f} | {r['overhead']:+.0%} |"
        )
    f = result["folder"]
    lines.append("")
    lines.append(f"Folder of {f['files']} mixed files: 1 worker {f['one_s']:.2f} s, "
                 f"2 workers {f['two_s']:.2f} s, {f['speedup']:.2f}x (goal 1.8x).")  # fmt: skip
    report.write("ingest", result, "\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
