"""Each reader turns a real or generated file into ordered sections with positions."""

import gzip
import sysconfig
from pathlib import Path

import pytest
from ingest_fixtures import docx_bytes, pdf_bytes, xlsx_bytes

from revuradova.ingest import Limits, ReadError, cut, read_bytes, read_file


def texts(document):
    return [(s.headings, s.text, s.kind) for s in document.sections]


def test_offsets_index_the_extracted_text():
    data = "# Guide\n\nIntro.\n\n## How to install\n\n1. Run it.\n\n```\ncode()\n```\n"
    document = read_bytes(data.encode(), "g.md")
    extracted = "\n\n".join(s.text for s in document.sections)
    for section in document.sections:
        assert extracted[section.position.start : section.position.end] == section.text


def test_markdown_headings_and_code():
    data = b"Title\n=====\n\nIntro.\n\n## How to install\n\nRun **pip**.\n\n```sh\npip x\n```\n"
    assert texts(read_bytes(data, "a.md")) == [
        (("Title",), "Intro.", "text"),
        (("Title", "How to install"), "Run pip.", "text"),
        (("Title", "How to install"), "pip x", "code"),
    ]


def test_plain_text_titles_underlined_as_in_restructuredtext():
    data = (
        b"=========\nThe guide\n=========\n\nIntro.\n\nHow to install\n--------------\n\n"
        b"Run it.\n\nShort\n---\nnot a rule under a longer title\n\nUpgrading\n~~~~~~~~~\n\n"
        b"Then.\n\nNext part\n---------\nMore.\n"
    )
    assert texts(read_bytes(data, "guide.txt")) == [
        (("The guide",), "Intro.", "text"),
        (
            ("The guide", "How to install"),
            "Run it.\n\nShort\n---\nnot a rule under a longer title",
            "text",
        ),
        (("The guide", "How to install", "Upgrading"), "Then.", "text"),
        (("The guide", "Next part"), "More.", "text"),
    ]
    # Code files keep their text whole, rules and all.
    code = b"x = 1\n\nTitle\n=====\n"
    assert texts(read_bytes(code, "a.py")) == [((), "x = 1\n\nTitle\n=====", "code")]


def test_html_drops_scripts_styles_and_navigation():
    page = (
        b"<html><head><title>Handbook</title><style>p{}</style></head><body>"
        b"<nav>Home | About</nav><p>Welcome.</p><h1>Leave</h1><p>Ask <b>your</b> lead.</p>"
        b"<script>track()</script><h2>Sick leave</h2><ul><li>Call in</li></ul>"
        b"<pre>x = 1</pre></body></html>"
    )
    document = read_bytes(page, "p.html")
    assert document.title == "Handbook"
    assert texts(document) == [
        (("Handbook",), "Welcome.", "text"),
        (("Leave",), "Ask your lead.", "text"),
        (("Leave", "Sick leave"), "Call in", "text"),
        (("Leave", "Sick leave"), "x = 1", "code"),
    ]


def test_csv_dialect_and_rows():
    document = read_bytes(b"name;team\nAnn;sales\n\nBob;support\n", "people.csv")
    assert [(s.text, s.position.rows) for s in document.sections] == [
        ("name: Ann\nteam: sales", (1, 2)),
        ("name: Bob\nteam: support", (3, 4)),
    ]


@pytest.mark.parametrize("delimiter", [",", ";", "\t", "|"])
def test_csv_delimiter_with_quoted_fields(delimiter):
    data = f'name{delimiter}note\nAnn{delimiter}"says {delimiter}hi, there"\n'.encode()
    (section,) = read_bytes(data, "notes.csv").sections
    assert section.text == f"name: Ann\nnote: says {delimiter}hi, there"


def test_json_and_yaml_pointers():
    data = b'{"service": "billing", "owners": [{"name": "Ann"}], "a/b": {"k": 1}}'
    sections = read_bytes(data, "s.json").sections
    assert [(s.position.pointer, s.text) for s in sections] == [
        ("", "service: billing"),
        ("/owners/0", "name: Ann"),
        ("/a~1b", "k: 1"),
    ]
    yaml_sections = read_bytes(b"a: 1\n---\nb: [x, y]\n", "s.yaml").sections
    assert [(s.position.pointer, s.text) for s in yaml_sections] == [
        ("/0", "a: 1"),
        ("/1/b", "x\ny"),
    ]


def test_docx_headings_and_tables():
    document = read_bytes(docx_bytes(), "handbook.docx")
    assert document.title == "Staff handbook"
    got = texts(document)
    assert got[0] == (("Expenses",), "Receipts are kept for seven years.", "text")
    assert got[1][0] == ("Expenses", "How to submit an expense report")
    assert "item: hotel\nlimit: 150" in [t for _, t, k in got if k == "table"]
    assert got[-1] == (("Travel",), "Book trains before flights.", "text")


def test_xlsx_sheets_and_rows():
    document = read_bytes(xlsx_bytes(), "budget.xlsx")
    rows = [(s.position.sheet, s.position.rows, s.text) for s in document.sections]
    assert rows[0][0] == "Budget" and rows[0][1] == (1, 2)
    assert rows[0][2].startswith("team: sales\namount: 1200")
    assert rows[-1] == ("Owners", (1, 2), "service: billing-api\nowner: payments team")


def test_pdf_pages_and_outline():
    document = read_bytes(pdf_bytes(), "guide.pdf")
    pages = [(s.position.page, s.headings, s.text.strip()) for s in document.sections]
    assert pages == [
        (1, ("Chapter 1",), "First page about invoices."),
        (2, ("Chapter 2",), "Second page about refunds."),
    ]


def test_text_encodings_and_gzip():
    assert read_bytes("café\n".encode("utf-8-sig"), "a.txt").sections[0].text == "café"
    russian = "Отчёт о расходах подаётся через приложение. Чеки хранятся семь лет. " * 10
    assert read_bytes(russian.encode("cp1251"), "a.txt").sections[0].text.strip() == russian.strip()
    assert read_bytes(gzip.compress(b"# T\n\nx\n"), "n.md.gz").sections[0].headings == ("T",)
    assert read_bytes(b"def f():\n    pass\n", "m.py").sections[0].kind == "code"


def test_cut_bounds_passages_at_paragraphs_sentences_then_words():
    text = "Alpha beta. Gamma delta epsilon.\n\nZeta eta theta iota kappa lambda mu."
    spans = list(cut(text, 3))
    pieces = [text[a:b] for a, b in spans]
    assert pieces == ["Alpha beta.", "Gamma delta epsilon.", "Zeta eta theta", "iota kappa lambda",
                      "mu."]  # fmt: skip
    assert list(cut(text, 100)) == [(0, len(text))]
    assert " ".join(pieces).split() == text.split()


def test_real_documents_of_the_machine():
    # The interpreter's own files: Markdown, text, HTML and JSON a fresh machine has.
    stdlib = Path(sysconfig.get_paths()["stdlib"])
    candidates = [p for p in stdlib.rglob("*") if p.suffix in {".txt", ".json", ".html"}]
    read = 0
    for path in sorted(candidates)[:60]:
        try:
            document = read_file(path, limits=Limits(max_bytes=2_000_000))
        except ReadError:
            continue
        read += 1
        for section in document.sections:
            assert section.text.strip() and section.position.end > section.position.start
    assert read > 0


def test_unknown_source_type_names_the_accepted_ones():
    with pytest.raises(ValueError, match="'PDF'; accepted: local_file, pdf"):
        read_bytes(b"x", "a", source_type="PDF")
