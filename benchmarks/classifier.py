"""Accuracy of the default knowledge-type classifier on passages labelled by hand.

    python -m benchmarks classifier

data/classifier_sample.jsonl holds 200 text passages drawn at random (seed 11) from the
licences, package descriptions (METADATA), READMEs and change notes that the test extra
installs, each with the knowledge type a person judged it to be. The classifier's rules were
written while looking at this sample, so the figure is an optimistic one.
"""

from __future__ import annotations

import collections
import json
from pathlib import Path

from revuradova.ingest import Passage, Position
from revuradova.ingest.classify import default_knowledge_type

SAMPLE = Path(__file__).resolve().parent / "data" / "classifier_sample.jsonl"


def main() -> None:
    rows = [json.loads(line) for line in SAMPLE.read_text().splitlines()]
    confusion: collections.Counter = collections.Counter()
    for row in rows:
        passage = Passage(
            row["key"], row["key"].split("#")[0], 0, "local_file", "reference", "bench",
            tuple(row["headings"]), row["body"], Position(), row["kind"],
        )  # fmt: skip
        confusion[row["label"], default_knowledge_type(passage)] += 1
    right = sum(n for (label, got), n in confusion.items() if label == got)
    print(f"accuracy {right} / {len(rows)} = {right / len(rows):.1%}")
    print("| judged | passages | classified so | otherwise |")
    print("|---|---|---|---|")
    for label in sorted({label for label, _ in confusion}):
        total = sum(n for (judged, _), n in confusion.items() if judged == label)
        wrong = {g: n for (j, g), n in confusion.items() if j == label and g != label}
        others = ", ".join(f"{g} {n}" for g, n in sorted(wrong.items())) or "-"
        print(f"| {label} | {total} | {confusion[label, label]} | {others} |")


if __name__ == "__main__":
    main()
