"""What readers leave out or repair: page furniture, line-break hyphens, site menus, and
values written as the writing tool meant them."""

import pytest
from ingest_fixtures import MANUAL_CHAPTERS, manual_pdf

from revuradova.ingest import read_bytes


def extracted(document):
    return "\n\n".join(s.text for s in document.sections)


def assert_offsets(document):
    text = extracted(document)
    for section in document.sections:
        assert text[section.position.start : section.position.end] == section.text


@pytest.mark.parametrize("outline", [True, False], ids=["bookmarks", "font sizes"])
def test_pdf_furniture_hyphens_and_headings(outline):
    document = read_bytes(manual_pdf(outline), "manual.pdf")
    text = extracted(document)
    # Running header and page-numbered footer gone from every page, hyphen joined.
    assert "WIDGET(1)" not in text and "Page " not in text
    assert "The default prefix is /usr/local." in text
    assert not any(c < " " and c not in "\n\t" for c in text)
    assert_offsets(document)
    # Headings from the outline, else from the title lines set large; the title line is not
    # repeated in the body, and a chapter over two pages keeps its heading on both.
    titles = [f"{n} {title}" for n, (title, _) in enumerate(MANUAL_CHAPTERS, 1)]
    assert [(s.position.page, s.headings) for s in document.sections] == [
        (1, (titles[0],)),
        (2, (titles[1],)),
        (3, (titles[1],)),
        (4, (titles[2],)),
    ]
    assert document.sections[1].text.startswith("Edit widget.conf")
    assert "Restart after edits." in document.sections[2].text
