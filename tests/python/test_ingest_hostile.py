"""Bad input: each file is refused with its reason, and nothing hangs or exhausts memory."""

import io
import zipfile

import pytest
from ingest_fixtures import docx_bytes, pdf_bytes, xlsx_bytes

from revuradova.ingest import Limits, ReadError, read_bytes


def refused(data, name, match, **kw):
    with pytest.raises(ReadError, match=match):
        read_bytes(data, name, **kw)


def test_lying_extensions_binary_and_empty_files():
    refused(b"just text", "report.pdf", "not a PDF")
    refused(b"just text", "report.docx", "not a zip")
    refused(b"\x00\x01\x02\x03" * 100, "notes.txt", "binary")
    refused(b"", "empty.md", "empty file")
    # A zip that is no Word document.
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("hello.txt", "hi")
    refused(archive.getvalue(), "fake.xlsx", "no xl/workbook.xml")


@pytest.mark.parametrize(
    ("make", "name"), [(docx_bytes, "a.docx"), (xlsx_bytes, "a.xlsx"), (pdf_bytes, "a.pdf")]
)
def test_truncated_and_corrupt_office_files(make, name):
    data = make()
    refused(data[: len(data) // 2], name, "corrupt|truncated")
    # Scrambled middle, intact header.
    broken = data[:64] + bytes(b ^ 0x5A for b in data[64:])
    refused(broken, name, "corrupt|truncated|encrypted")


def test_encrypted_office_files_and_broken_text_formats():
    # A password-protected docx/xlsx is an OLE compound file around the encrypted package.
    ole = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + b"\x00" * 504
    refused(ole, "locked.docx", "encrypted")
    refused(ole, "locked.xlsx", "encrypted")
    refused(b'{"a": [1, 2', "cut.json", "JSON")
    refused(b"a: [1, 2\nb: {", "cut.yaml", "YAML")
    # Formats without an invalid form read what is there.
    assert read_bytes(b'name,team\nann,"sal', "cut.csv").sections
    assert read_bytes(b"# Title\n\n```\nunclosed", "cut.md").sections
    assert read_bytes(b"<html><body><h1>T</h1><p>cut <b", "cut.html").sections


def test_zip_bomb_is_refused_before_inflating():
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml", "<Types/>")
        z.writestr("word/document.xml", b"<a>" + b"0" * (80 * 1024 * 1024) + b"</a>")
    assert len(archive.getvalue()) < 1024 * 1024
    refused(archive.getvalue(), "bomb.docx", "inflates to")


def test_encrypted_pdf():
    pypdf = pytest.importorskip("pypdf", reason="pypdf writes the encrypted fixture")
    writer = pypdf.PdfWriter(clone_from=io.BytesIO(pdf_bytes()))
    writer.encrypt("secret")
    out = io.BytesIO()
    writer.write(out)
    refused(out.getvalue(), "locked.pdf", "encrypted")


def test_xml_entity_expansion_in_docx_is_not_expanded():
    data = docx_bytes()
    source = zipfile.ZipFile(io.BytesIO(data))
    laughs = (
        b'<?xml version="1.0"?><!DOCTYPE w [<!ENTITY a "aaaaaaaaaa">'
        + b"".join(
            b'<!ENTITY %c "&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;&%c;">' % ((c,) + (c - 1,) * 10)
            for c in range(ord("b"), ord("k"))
        )  # fmt: skip
        + b']><w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">'
        b"<w:body><w:p><w:r><w:t>&j;</w:t></w:r></w:p></w:body></w:document>"
    )
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as z:
        for item in source.infolist():
            body = laughs if item.filename == "word/document.xml" else source.read(item)
            z.writestr(item, body)
    try:
        document = read_bytes(out.getvalue(), "laughs.docx")
    except ReadError:
        return
    assert sum(len(s.text) for s in document.sections) < 10_000


def test_yaml_alias_bomb_and_object_tags():
    bomb = "a: &a [x, x, x, x, x, x, x, x, x]\n" + "".join(
        f"{chr(98 + i)}: &{chr(98 + i)} [{', '.join(['*' + chr(97 + i)] * 9)}]\n" for i in range(8)
    )
    refused(bomb.encode(), "bomb.yaml", "node limit|characters")
    refused(b"!!python/object/apply:os.system ['echo hi']\n", "evil.yaml", "unsafe|malformed")
    refused(b"&a [*a]\n", "cycle.yaml", "node limit|deeper")


def test_deep_json_and_limits():
    refused(b"[" * 100_000 + b"]" * 100_000, "deep.json", "nested")
    refused(b"[" * 300 + b"]" * 300, "deep2.json", "nested deeper", limits=Limits(max_depth=200))
    refused(b"x" * 2000, "big.txt", "over the limit", limits=Limits(max_bytes=1000))
    refused(b"word " * 1000, "long.txt", "characters", limits=Limits(max_chars=100))


def test_deep_html_nesting_does_not_recurse():
    # The HTML parser's time grows with the square of the depth (1 s at 20,000 here); the
    # walk over its tree must not recurse at any depth.
    page = b"<div>" * 20_000 + b"deep text" + b"</div>" * 20_000
    document = read_bytes(page, "deep.html")
    assert "deep text" in document.sections[0].text
