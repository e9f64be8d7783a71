"""What readers leave out or repair: page furniture, line-break hyphens, site menus, and
values written as the writing tool meant them."""

import pytest
from ingest_fixtures import MANUAL_CHAPTERS, commented_tsv, manual_pdf, site_page, typed_xlsx

from revuradova.ingest import document_passages, read_bytes, read_file, read_folder


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


def test_html_site_furniture_permalinks_and_tables():
    document = read_bytes(site_page("Installing", "Run the installer as root."), "i.html")
    assert [(s.headings, s.kind, s.text) for s in document.sections] == [
        (("Installing",), "text", "Run the installer as root."),
        (("Installing", "Limits"), "table", "setting: port\ndefault: 8080"),
        (("Installing", "Limits"), "table", "setting: workers\ndefault: 4"),
        # Marked by nothing: left for the folder walk to find repeated.
        (("Installing", "Limits"), "text", "Download the ebook\n\nReport a problem with this page"),
    ]
    assert_offsets(document)
    # Inside an article, a <header> holds the article's title; a class that wraps the
    # content keeps it even when it names the sidebar beside it. Links to the next and
    # previous pages (as Texinfo writes them above every node) go with their labels.
    page = (
        b"<body><div class='header'><p>Next: <a rel='next' href='#u'>Usage</a>, Up: "
        b"<a rel='up' href='#t'>Top</a></p></div>"
        b"<div class='main-with-sidebar'><article><header><h1>Leave</h1></header>"
        b"<p>Ask your lead.</p><aside class='note'>Note kept.</aside></article>"
        b"<aside>Elsewhere</aside></div><div id='breadcrumbs'>Home</div>"
        b"<p>See <a href='#x'>#</a> the section.</p></body>"
    )
    assert [(s.headings, s.text) for s in read_bytes(page, "l.html").sections] == [
        (("Leave",), "Ask your lead.\n\nNote kept.\n\nSee the section."),
    ]


def test_blocks_repeated_across_a_sites_pages(tmp_path):
    site = tmp_path / "site"
    site.mkdir()
    topics = ["Installing", "Configuring", "Upgrading", "Removing"]
    for topic in topics:
        note = f"{topic} takes a minute." if topic == "Upgrading" else ""
        (site / f"{topic.lower()}.html").write_bytes(site_page(topic, f"How {topic}.", note))
    # Alone in its folder, the same blocks are the page's own.
    (tmp_path / "blog.html").write_bytes(site_page("News", "Version 2 is out."))
    walks = [list(read_folder(tmp_path, workers=w, progress=False)) for w in (1, 2)]
    assert walks[0] == walks[1]
    passages = walks[0]
    by_file: dict[str, list] = {}
    for passage in passages:
        by_file.setdefault(passage.path, []).append(passage)
    assert "Download the ebook" in by_file["blog.html"][-1].body
    for topic in topics:
        mine = by_file[f"site/{topic.lower()}.html"]
        assert [p.key for p in mine] == [f"site/{topic.lower()}.html#{n}" for n in range(len(mine))]
        assert not any("ebook" in p.body or "Report a problem" in p.body for p in mine)
        assert mine[0].body == f"How {topic}."
    # A passage that held a page's own words and the repeated blocks keeps its words, its
    # offsets narrowed to them.
    last = by_file["site/upgrading.html"][-1]
    assert last.body == "Upgrading takes a minute."
    text = extracted(read_file(site / "upgrading.html"))
    assert text[last.position.start : last.position.end] == last.body


def test_tsv_after_comment_lines_and_sniffed_dialects():
    document = read_bytes(commented_tsv(), "survey.tsv")
    assert [s.text for s in document.sections] == [
        "site: north\nvisits: 12\nnote: busy, as usual",
        'site: south\nvisits: 4\nnote: said "closed"',
    ]
    # The same rows with other delimiters, written by the csv module, under a .csv name.
    for delimiter in ";|,":
        data = commented_tsv().decode().replace("\t", delimiter)
        data = data.replace("busy, as usual", '"busy, as usual"').replace('"closed"', "closed")
        rows = [s.text for s in read_bytes(data.encode(), "survey.csv").sections]
        assert rows[0] == "site: north\nvisits: 12\nnote: busy, as usual", delimiter


def test_spreadsheet_numbers_and_dates_as_written():
    rows = [s.text for s in read_bytes(typed_xlsx(), "orders.xlsx").sections]
    assert rows == [
        "order: A-1\nquantity: 4\nprice: 2.5\nplaced: 2024-03-01\nshipped: 2024-03-02 09:30",
        "order: A-2\nquantity: 1200\nprice: 0.3",
    ]


@pytest.mark.parametrize("name", ["events.json", "events.yaml"])
def test_small_records_grouped_up_to_max_words(name):
    import json

    import yaml

    records = [{"id": i, "kind": "login", "user": f"u{i}"} for i in range(600)]
    value = {"source": "audit", "events": records}
    data = json.dumps(value) if name.endswith("json") else yaml.safe_dump(value)
    document = read_bytes(data.encode(), name)
    passages = list(document_passages(document, name, "logs", max_words=60))
    events = passages[1:]
    # 600 records of 6 words: 10 to a passage, not one passage each.
    assert len(events) == 60
    assert [(p.headings, p.position.pointer, p.position.rows) for p in events[:2]] == [
        (("events",), "/events", (1, 11)),
        (("events",), "/events", (11, 21)),
    ]
    assert events[0].body.split("\n\n")[1] == "id: 1\nkind: login\nuser: u1"
    text = extracted(document)
    assert all(text[p.position.start : p.position.end] == p.body for p in passages)
