"""Search latency side by side with each peer in its best configuration, on the former
synthetic generator (plain Zipf over 50,000 made-up words): the search part of goals.py
for one corpus size.

    python benchmarks/side_by_side.py --docs 100000
"""

import argparse
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import goal_corpora  # noqa: E402
import goals  # noqa: E402


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--docs", type=int, default=100_000)
    args = parser.parse_args()
    corpus = goal_corpora.zipf_corpus(args.docs, seed=2)
    print(f"{corpus.name}: {corpus.tokens:,} tokens")
    table = goals.search_side_by_side(corpus)
    print(f"{'class':9} {'system':13} {'mean ms':>9} {'p50 ms':>9} {'p99 ms':>9} {'QPS':>9}")
    for cls, systems in table.items():
        for name, s in systems.items():
            print(
                f"{cls:9} {name:13} {s['mean_ms']:9.3f} {s['p50_ms']:9.3f} {s['p99_ms']:9.3f} "
                f"{s['qps']:9,.0f}"
            )


if __name__ == "__main__":
    main()
