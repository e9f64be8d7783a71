"""Held-out question sets: real documentation from Debian's archive, questions in a user's
words, answers judged by hand.

    python benchmarks/judged.py check SET     each answer's passages, or why it has none
    python benchmarks/judged.py passages SET FILE   the passages one file is read into

Two sets, over two corpora the package registry provides (apt-get download, pinned by
version and SHA-256, unpacked under data/cache/deb, which git ignores):

- "git": git-doc's HTML pages (manual pages, the user manual, how-tos). The set the
  knowledge base's choices were tuned on.
- "postgresql": postgresql-doc-15's HTML manual. Held out: nothing was chosen by it.

A question (one JSON object a line in data/heldout_SET.jsonl) carries its words, whether
they are paraphrased (they avoid the answering page's own terms), its shape (procedure,
definition, fact, comparison, troubleshooting, policy) and its answers: each a file of the
corpus and a phrase of the answering text. A passage answers when it comes from that file
and contains the phrase (case, quotes and spacing aside). Judging by phrase, not by passage
number, keeps the judgements valid when the readers cut pages differently, and lets every
system be judged on the same passage texts.
"""

from __future__ import annotations

import hashlib
import json
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
CACHE = HERE / "data" / "cache" / "deb"


@dataclass(frozen=True)
class Corpus:
    package: str
    version: str
    sha256: str
    folder: str  # inside the package
    include: tuple[str, ...]


CORPORA = {
    "git": Corpus(
        "git-doc",
        "1:2.39.5-0+deb12u3",
        "3c89668a11053a6bafade3de1f611f4613db31e082af63f43d8c5b69ad8795ec",
        "usr/share/doc/git-doc",
        ("*.html",),
    ),
    "postgresql": Corpus(
        "postgresql-doc-15",
        "15.20-0+deb12u1",
        "4c44bf2c599f208b3f46454a6cf7a72e25ec46ff74d37b59dd31ad76b00eebb7",
        "usr/share/doc/postgresql-doc-15/html",
        ("*.html",),
    ),
}
TUNED = "git"
HELD_OUT = "postgresql"


def root(name: str) -> Path:
    """The corpus's folder, fetched and unpacked on first use."""
    corpus = CORPORA[name]
    unpacked = CACHE / corpus.package
    folder = unpacked / corpus.folder
    if folder.is_dir():
        return folder
    CACHE.mkdir(parents=True, exist_ok=True)
    archives = sorted(CACHE.glob(f"{corpus.package}_*.deb"))
    if not archives:
        subprocess.run(
            ["apt-get", "download", f"{corpus.package}={corpus.version}"], cwd=CACHE, check=True
        )
        archives = sorted(CACHE.glob(f"{corpus.package}_*.deb"))
    archive = archives[-1]
    digest = hashlib.sha256(archive.read_bytes()).hexdigest()
    if digest != corpus.sha256:
        raise RuntimeError(f"{archive.name}: SHA-256 {digest}, expected {corpus.sha256}")
    unpacked.mkdir(exist_ok=True)
    subprocess.run(["dpkg-deb", "-x", str(archive), str(unpacked)], check=True)
    return folder


_QUOTES = str.maketrans({"\u2018": "'", "\u2019": "'", "\u201c": '"', "\u201d": '"',
                         "\u00a0": " ", "\u2014": "-", "\u2013": "-"})  # fmt: skip


def normal(text: str) -> str:
    return re.sub(r"\s+", " ", text.translate(_QUOTES)).strip().casefold()


def questions(name: str) -> list[dict]:
    path = HERE / "data" / f"heldout_{name}.jsonl"
    with path.open(encoding="utf-8") as stream:
        return [json.loads(line) for line in stream if line.strip()]


def file_of(key: str, prefix: str) -> str:
    return key.removeprefix(prefix).rsplit("#", 1)[0]


def judge(items: list[dict], keys: list[str], texts: list[str], prefix: str) -> list[set[str]]:
    """For each question, the keys of the passages that answer it."""
    by_file: dict[str, list[int]] = {}
    for i, key in enumerate(keys):
        by_file.setdefault(file_of(key, prefix), []).append(i)
    found = []
    for item in items:
        keys_found = set()
        for answer in item["answers"]:
            phrase = normal(answer["contains"])
            for i in by_file.get(answer["file"], []):
                if phrase in normal(texts[i]):
                    keys_found.add(keys[i])
        found.append(keys_found)
    return found


def _passages(name: str):
    from revuradova.kb import KnowledgeBase

    folder = root(name)
    kb = KnowledgeBase()
    kb.add(folder, include=list(CORPORA[name].include))
    return folder, list(kb.passages())


def main(argv: list[str]) -> int:
    if len(argv) < 2 or argv[0] not in ("check", "passages") or argv[1] not in CORPORA:
        print(__doc__.strip())
        return 2
    folder, passages = _passages(argv[1])
    prefix = f"{folder}/"
    if argv[0] == "passages":
        for p in passages:
            if file_of(p.key, prefix) == argv[2]:
                print(f"--- {p.key.removeprefix(prefix)}  [{' > '.join(p.headings)}]")
                print(p.text)
        return 0
    items = questions(argv[1])
    keys = [p.key for p in passages]
    texts = [p.text for p in passages]
    bad = 0
    for n, item in enumerate(items, 1):
        for answer in item["answers"]:
            matched = judge([{"answers": [answer]}], keys, texts, prefix)[0]
            if not matched:
                bad += 1
                print(f"{n}: no passage of {answer['file']} contains {answer['contains']!r}")
    paraphrased = sum(bool(item.get("paraphrased")) for item in items)
    print(f"{len(items)} questions ({paraphrased} paraphrased), {bad} answers found nowhere")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
