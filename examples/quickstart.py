"""A tour of revuradova on a small sample of company documents.

Run it with `make demo`.
"""

import json
from pathlib import Path

from revuradova import PyKnowledgeObject

DATA = Path(__file__).parent / "data" / "corpus.json"


def load_corpus():
    """Turns every sample document into a knowledge object."""
    records = json.loads(DATA.read_text(encoding="utf-8"))
    return [
        PyKnowledgeObject(
            r["source_type"], r["source_location"], r["knowledge_type"], r["domain"], r["content"]
        )
        for r in records
    ]


def main():
    documents = load_corpus()
    print(f"== {len(documents)} knowledge objects ==")
    for doc in documents:
        print(doc)


if __name__ == "__main__":
    main()
