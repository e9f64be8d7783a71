"""Writes examples/docs: the sample company documents as real files of every source type.

    python scripts/make_example_docs.py     (needs the test extra's writers)

The texts are those of examples/data/corpus.json; each file is written in its source type
with that format's own writer (python-docx, xlsxwriter, fpdf2, PyYAML), so the demo reads
real PDF, Word and Excel files.
"""

from __future__ import annotations

import csv
import io
import json
from pathlib import Path

import docx
import xlsxwriter
import yaml
from fpdf import FPDF

ROOT = Path(__file__).resolve().parent.parent / "examples"
OUT = ROOT / "docs"

TABLES = {
    "csv": [
        ["region", "sales (million EUR)", "change"],
        ["Europe", "4.2", "grew 8 percent against the second quarter"],
        ["North America", "5.1", ""],
        ["Asia Pacific", "2.7", "declining for the second quarter in a row"],
    ],
    "xlsx": [
        ["department", "budget 2027 (million EUR)"],
        ["engineering", 12.5],
        ["sales", 8.1],
        ["marketing", 4.0],
        ["general and administrative", 3.2],
    ],
}
RECORDS = {
    "json": {
        "report": "Weekly support tickets",
        "opened": 1240,
        "closed": 1198,
        "median first response": "42 minutes",
        "note": "Ticket volume has been growing since the pricing change in August.",
    },
    "yaml": {
        "services": [
            {"name": "billing-api", "owner": "payments team", "on-call": True},
            {"name": "search-api", "owner": "platform team", "on-call": True},
            {"name": "notifications", "owner": "growth team", "on-call": True},
        ]
    },
}


def title_of(location: str) -> str:
    return Path(location).stem.replace("-", " ").capitalize()


def write(kind: str, title: str, text: str) -> bytes:
    if kind == "markdown":
        return f"# {title}\n\n{text}\n".encode()
    if kind == "html":
        return (f"<html><head><title>{title}</title></head><body><nav>Wiki home</nav>"
                f"<h1>{title}</h1><p>{text}</p></body></html>").encode()  # fmt: skip
    if kind == "local_file":
        return f"{title}\n\n{text}\n".encode()
    if kind == "pdf":
        pdf = FPDF()
        pdf.set_title(title)
        pdf.set_font("helvetica", size=12)
        pdf.add_page()
        pdf.start_section(title)
        pdf.multi_cell(0, 8, text)
        return bytes(pdf.output())
    if kind == "docx":
        document = docx.Document()
        document.add_heading(title, level=1)
        for sentence in text.split(". "):
            document.add_paragraph(sentence.rstrip(".") + ".")
        out = io.BytesIO()
        document.save(out)
        return out.getvalue()
    if kind == "csv":
        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerows(TABLES["csv"])
        return out.getvalue().encode()
    if kind == "xlsx":
        out = io.BytesIO()
        workbook = xlsxwriter.Workbook(out, {"in_memory": True})
        sheet = workbook.add_worksheet("Budget 2027")
        for row, values in enumerate(TABLES["xlsx"]):
            sheet.write_row(row, 0, values)
        workbook.close()
        return out.getvalue()
    if kind == "json":
        return json.dumps(RECORDS["json"], indent=2).encode()
    if kind == "yaml":
        return yaml.safe_dump(RECORDS["yaml"], sort_keys=False).encode()
    raise ValueError(kind)


EXTENSIONS = {"markdown": ".md", "html": ".html", "local_file": ".txt", "pdf": ".pdf",
              "docx": ".docx", "csv": ".csv", "xlsx": ".xlsx", "json": ".json", "yaml": ".yaml"}  # fmt: skip


def main() -> None:
    corpus = json.loads((ROOT / "data" / "corpus.json").read_text())
    for doc in corpus:
        folder = OUT / doc["domain"].replace(" ", "-")
        folder.mkdir(parents=True, exist_ok=True)
        name = Path(doc["source_location"]).stem + EXTENSIONS[doc["source_type"]]
        data = write(doc["source_type"], title_of(doc["source_location"]), doc["content"])
        (folder / name).write_bytes(data)
        print(folder.relative_to(ROOT) / name, len(data), "bytes")


if __name__ == "__main__":
    main()
