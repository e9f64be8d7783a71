"""Markdown read by two parsers: pulldown-cmark (pyromark) in the isolated workers,
markdown-it-py in the caller's process. They must cut the same sections."""

import glob
import sysconfig

import pytest

from revuradova.ingest import list_files, read_bytes, read_files
from revuradova.ingest.model import Limits
from revuradova.ingest.read_text import _read_markdown_it, _read_pulldown

pyromark = pytest.importorskip("pyromark")
markdown_it = pytest.importorskip("markdown_it")


def _machine_markdown():
    places = [sysconfig.get_paths()["purelib"], "/usr/share/doc"]
    return sorted({p for place in places for p in glob.glob(f"{place}/**/*.md", recursive=True)})


def sections(document):
    return [(s.headings, s.text, s.kind, s.position) for s in document]


def test_both_parsers_cut_the_same_sections_of_real_documents():
    paths = _machine_markdown()
    if not paths:
        pytest.skip("no Markdown documents on this machine")
    budget = 2_000_000  # characters: markdown-it-py reads some 2 MB a second
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as stream:
            text = stream.read()
        budget -= len(text)
        if budget < 0:
            break
        limits = Limits()
        expected = sections(_read_markdown_it(text, limits, markdown_it.MarkdownIt))
        assert sections(_read_pulldown(text, limits, pyromark)) == expected, path


SAMPLE = (
    b"Title\n=====\n\nIntro with **bold**, `code`, <b>inline html</b> and ![a chart](c.png).\n\n"
    b"## How to install\n\n- first\n- second\n\n  more of the second\n\n"
    b"| name | team |\n|------|------|\n| ann  |      |\n\n<div>\n<p>Block html</p>\n</div>\n\n"
    b"```sh\npip install x\n```\n\n    indented code\n\n> quoted\nlazy\n"
)


def test_workers_and_the_callers_process_agree(tmp_path):
    (tmp_path / "guide.md").write_bytes(SAMPLE)
    files, _ = list_files(tmp_path / "guide.md")
    ((_, read),) = read_files(files)
    in_process = read_bytes(SAMPLE, "guide.md")
    assert [p.body for p in read.passages] == [
        "Intro with bold, code, inline html and a chart.",
        "first\n\nsecond\n\nmore of the second\n\nname\n\nteam\n\nann\n\nBlock html",
        "pip install x",
        "indented code",
        "quoted\nlazy",
    ]
    assert [(s.headings, s.text) for s in in_process.sections] == [
        (p.headings, p.body) for p in read.passages
    ]


def test_workers_follow_the_reference_on_lazy_nested_quotes(tmp_path):
    # An indented ">>>" after a lazy line is text (the CommonMark reference agrees);
    # markdown-it-py takes it for quote markers. The worker's reading shows its parser.
    data = b">>> a\n        b\n        >>> c\n"
    (tmp_path / "doctest.md").write_bytes(data)
    files, _ = list_files(tmp_path)
    ((_, read),) = read_files(files)
    assert [p.body for p in read.passages] == ["a\nb\n>>> c"]
    assert [s.text for s in read_bytes(data, "doctest.md").sections] == ["a\nb\nc"]
