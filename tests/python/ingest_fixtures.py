"""Documents of every type, written with the writers of the same ecosystem."""

from __future__ import annotations

import io
import struct
import zipfile
import zlib


def docx_bytes() -> bytes:
    import docx

    document = docx.Document()
    document.core_properties.title = "Staff handbook"
    document.add_heading("Expenses", level=1)
    document.add_paragraph("Receipts are kept for seven years.")
    document.add_heading("How to submit an expense report", level=2)
    document.add_paragraph("1. Open the expenses application.")
    document.add_paragraph("2. Attach every receipt and submit.")
    table = document.add_table(rows=3, cols=2)
    for row, values in zip(
        table.rows, [("item", "limit"), ("hotel", "150"), ("meal", "40")], strict=True
    ):
        for cell, value in zip(row.cells, values, strict=True):
            cell.text = value
    document.add_heading("Travel", level=1)
    document.add_paragraph("Book trains before flights.")
    out = io.BytesIO()
    document.save(out)
    return out.getvalue()


def xlsx_bytes() -> bytes:
    import xlsxwriter

    out = io.BytesIO()
    workbook = xlsxwriter.Workbook(out, {"in_memory": True})
    sheet = workbook.add_worksheet("Budget")
    for r, row in enumerate([["team", "amount"], ["sales", 1200], ["support", 800]]):
        sheet.write_row(r, 0, row)
    other = workbook.add_worksheet("Owners")
    other.write_row(0, 0, ["service", "owner"])
    other.write_row(1, 0, ["billing-api", "payments team"])
    workbook.close()
    return out.getvalue()


def pdf_bytes(pages=("First page about invoices.", "Second page about refunds.")) -> bytes:
    from fpdf import FPDF

    pdf = FPDF()
    pdf.set_title("Finance guide")
    pdf.set_font("helvetica", size=12)
    for number, text in enumerate(pages, 1):
        pdf.add_page()
        pdf.start_section(f"Chapter {number}")
        pdf.multi_cell(0, 10, text)
    return bytes(pdf.output())


# Hostile files: each is small on disk and was reported to exhaust or kill a reader.


def far_corner_xlsx() -> bytes:
    """Cells A1 and XFD1048576: a 1.5 kB workbook whose used rectangle is the whole sheet."""
    import xlsxwriter

    out = io.BytesIO()
    workbook = xlsxwriter.Workbook(out, {"in_memory": True})
    sheet = workbook.add_worksheet("Sheet1")
    sheet.write(0, 0, "corner")
    sheet.write(1_048_575, 16_383, "far")
    workbook.close()
    return out.getvalue()


def far_corner_reordered_xlsx() -> bytes:
    """The same far corner, its cell's attributes in another order and a namespace prefix:
    what a hand-made file may do to slip past a scan for the usual form."""
    data = far_corner_xlsx()
    sheet = zipfile.ZipFile(io.BytesIO(data)).read("xl/worksheets/sheet1.xml")
    changed = sheet.replace(
        b'<c r="XFD1048576" t="s">',
        b'<x:c t="s" r="XFD1048576" '
        b'xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main">',
    )
    changed = changed.replace(b"</v></c></row></sheetData>", b"</v></x:c></row></sheetData>")
    assert changed.count(b"<x:c ") == 1 and changed.count(b"</x:c>") == 1
    return _rewrite(data, {"xl/worksheets/sheet1.xml": changed})


def _rewrite(archive: bytes, changes: dict[str, bytes]) -> bytes:
    source = zipfile.ZipFile(io.BytesIO(archive))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as target:
        for item in source.infolist():
            target.writestr(item.filename, changes.get(item.filename, source.read(item)))
    return out.getvalue()


def shared_string_xlsx(length: int = 1 << 20, cells: int = 3000) -> bytes:
    """One shared string of `length` characters referred to by `cells` cells."""
    import xlsxwriter

    out = io.BytesIO()
    workbook = xlsxwriter.Workbook(out, {"in_memory": True})
    sheet = workbook.add_worksheet("Sheet1")
    for row in range(cells):
        sheet.write_string(row, 0, "PLACEHOLDER")
    workbook.close()
    strings = zipfile.ZipFile(io.BytesIO(out.getvalue())).read("xl/sharedStrings.xml")
    return _rewrite(
        out.getvalue(),
        {"xl/sharedStrings.xml": strings.replace(b"PLACEHOLDER", b"s" * length)},
    )


def lying_docx(real_size: int = 1 << 30, declared: int = 1024) -> bytes:
    """A Word document whose word/document.xml inflates to `real_size` bytes while its zip
    directory (and local header) declare `declared`."""
    body = (
        b'<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
        b"<w:body><w:p><w:r><w:t>"
    )
    tail = b"</w:t></w:r></w:p></w:body></w:document>"
    inflater = zlib.compressobj(1, zlib.DEFLATED, -zlib.MAX_WBITS)
    compressed = [inflater.compress(body)]
    block = b"a" * (1 << 20)
    for _ in range((real_size - len(body) - len(tail)) // len(block)):
        compressed.append(inflater.compress(block))
    compressed.append(inflater.compress(tail) + inflater.flush())
    member = b"".join(compressed)
    template = _rewrite(docx_bytes(), {"word/document.xml": b"DOCUMENT"})
    source = zipfile.ZipFile(io.BytesIO(template))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as target:
        for item in source.infolist():
            if item.filename != "word/document.xml":
                target.writestr(item.filename, source.read(item))
    # The lying member, written by hand: local header, data, then a directory naming it.
    name = b"word/document.xml"
    crc = zlib.crc32(b"x" * declared)
    local = struct.pack(
        "<4sHHHHHIIIHH", b"PK\x03\x04", 20, 0, 8, 0, 0, crc, len(member), declared, len(name), 0
    )
    archive = zipfile.ZipFile(io.BytesIO(out.getvalue()))
    entries = archive.infolist()
    data = out.getvalue()
    offset = archive.start_dir
    head = data[:offset] + local + name + member
    directory = data[offset : offset + sum(46 + len(e.filename.encode()) + len(e.extra)
                                           + len(e.comment) for e in entries)]  # fmt: skip
    directory += struct.pack(
        "<4sHHHHHHIIIHHHHHII", b"PK\x01\x02", 20, 20, 0, 8, 0, 0, crc, len(member), declared,
        len(name), 0, 0, 0, 0, 0, offset,
    ) + name  # fmt: skip
    end = struct.pack(
        "<4sHHHHIIH", b"PK\x05\x06", 0, 0, len(entries) + 1, len(entries) + 1, len(directory),
        len(head), 0,
    )  # fmt: skip
    return head + directory + end


def long_key_json(key_length: int = 512 * 1024, elements: int = 900) -> bytes:
    """One long key over a list of small lists: each element's heading path and pointer
    would repeat the key."""
    items = ",".join(["[1]"] * elements)
    return b'{"' + b"k" * key_length + b'": [' + items.encode() + b"]}"


def nested_divs(depth: int = 80_000) -> bytes:
    """A page the HTML parser takes seconds on: its time grows with the square of the depth."""
    return b"<div>" * depth + b"deep" + b"</div>" * depth


# Documents as real tools publish them: page furniture, site menus, spreadsheets' types.

MANUAL_CHAPTERS = (
    ("Installing the widget", ["Unpack the archive. The de-\nfault prefix is /usr/local."]),
    # Long enough to run over a second page.
    (
        "Configuring the widget",
        ["Edit widget.conf to set the port."] * 12 + ["Restart after edits."],
    ),
    ("Removing the widget", ["Delete the prefix. Config files stay in place."]),
)


def manual_pdf(outline: bool = True) -> bytes:
    """A manual typeset by fpdf2: a running header and a page-numbered footer on every page,
    chapter titles set large (and bookmarked when `outline`), a hyphen at a line's end."""
    from fpdf import FPDF

    class Manual(FPDF):
        def header(self):
            self.set_font("helvetica", size=9)
            self.cell(0, 8, "WIDGET(1) Widget Manual WIDGET(1)", new_x="LMARGIN", new_y="NEXT")

        def footer(self):
            self.set_y(-15)
            self.set_font("helvetica", size=9)
            self.cell(0, 8, f"Page {self.page_no()}", align="C")

    pdf = Manual()
    for number, (title, paragraphs) in enumerate(MANUAL_CHAPTERS, 1):
        pdf.add_page()
        pdf.set_font("helvetica", "B", size=18)
        if outline:
            pdf.start_section(f"{number} {title}")
        pdf.cell(0, 12, f"{number} {title}", new_x="LMARGIN", new_y="NEXT")
        pdf.set_font("helvetica", size=11)
        for paragraph in paragraphs:
            pdf.multi_cell(0, 6, paragraph, new_x="LMARGIN", new_y="NEXT")
            pdf.multi_cell(
                0, 6, "More words on the subject of widgets. " * 8, new_x="LMARGIN", new_y="NEXT"
            )
    return bytes(pdf.output())


def site_page(name: str, body: str, note: str = "") -> bytes:
    """A page of a documentation site as a Sphinx theme writes it: a banner, a related-pages
    bar, a sidebar with the site's table of contents, permalink anchors beside headings, a
    copyright footer, and a menu the theme marks by nothing but sitting on every page."""
    return f"""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>{name} &#8212; Widget 2.0 docs</title>
<script src="_static/doctools.js"></script></head>
<body>
<header class="site-header"><a href="index.html">Widget docs</a></header>
<div class="related" role="navigation" aria-label="related navigation"><h3>Navigation</h3>
<ul><li><a href="genindex.html">index</a></li><li><a href="next.html">next</a> |</li></ul></div>
<div class="document"><div class="documentwrapper"><div class="bodywrapper">
<div class="body" role="main">
<section id="{name.lower()}"><h1>{name}<a class="headerlink" href="#{name.lower()}"
 title="Link to this heading">¶</a></h1>
<p>{body}</p>
<section id="limits"><h2>Limits<a class="headerlink" href="#limits">¶</a></h2>
<table class="docutils align-default">
<thead><tr class="row-odd"><th class="head"><p>setting</p></th>
<th class="head"><p>default</p></th></tr></thead>
<tbody><tr class="row-even"><td><p>port</p></td><td><p>8080</p></td></tr>
<tr class="row-odd"><td><p>workers</p></td><td><p>4</p></td></tr></tbody></table>
</section></section>
<p>{note}</p>
<p>Download the ebook</p>
<p>Report a problem with this page</p>
</div></div></div>
<div class="sphinxsidebar" role="complementary"><h3><a href="index.html">Table of Contents</a></h3>
<ul><li><a href="install.html">Installing</a></li><li><a href="usage.html">Using</a></li></ul>
</div></div>
<div class="footer">&#169;2024, Widget Developers. Created using Sphinx.</div>
</body></html>""".encode()


def commented_tsv() -> bytes:
    """A tab-separated export as analysis tools write one: "#" lines (holding commas) on
    top, then a header and rows written by the csv module."""
    import csv

    out = io.StringIO()
    out.write("# exported by survey-tool 3.2, 2024-05-01\n# columns: site, visits, note\n")
    writer = csv.writer(out, dialect="excel-tab", lineterminator="\n")
    writer.writerow(["site", "visits", "note"])
    writer.writerow(["north", "12", "busy, as usual"])
    writer.writerow(["south", "4", 'said "closed"'])
    return out.getvalue().encode()


def typed_xlsx() -> bytes:
    """A sheet of whole numbers, a fraction, dates and a date with a time (xlsxwriter)."""
    import datetime

    import xlsxwriter

    out = io.BytesIO()
    workbook = xlsxwriter.Workbook(out, {"in_memory": True})
    sheet = workbook.add_worksheet("Orders")
    day = workbook.add_format({"num_format": "yyyy-mm-dd"})
    moment = workbook.add_format({"num_format": "yyyy-mm-dd hh:mm"})
    sheet.write_row(0, 0, ["order", "quantity", "price", "placed", "shipped"])
    sheet.write_row(1, 0, ["A-1", 4, 2.5])
    sheet.write_datetime(1, 3, datetime.datetime(2024, 3, 1), day)
    sheet.write_datetime(1, 4, datetime.datetime(2024, 3, 2, 9, 30), moment)
    sheet.write_row(2, 0, ["A-2", 1200, 0.1 + 0.2])
    workbook.close()
    return out.getvalue()
