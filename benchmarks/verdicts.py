"""The goals' verdicts: each measured value against its peer's, the ratio against the
target, and the Markdown table of them."""

import report
from goal_corpora import CLASSES

# The filtered road of the release before this work (commit fad427f), measured on the
# machine of the README with `python benchmarks/filtered_road.py --docs 100000`.
FILTERED_ROAD_BASELINE_MS = 78.4


def verdict(rows, goal, corpus, cls, measure, ours, peer_name, peer, target, higher_is_better):
    ratio = ours / peer if peer else float("inf")
    met = bool(ratio >= target if higher_is_better else ratio <= target)
    rows.append(
        {
            "goal": goal,
            "corpus": corpus,
            "class": cls,
            "measure": measure,
            "ours": ours,
            "peer": peer_name,
            "peer_value": peer,
            "ratio": ratio,
            "target": f"{'>=' if higher_is_better else '<='} {target:g}",
            "met": met,
        }
    )


def search_verdicts(rows, corpus_name, search):
    for cls in ["short", "long"]:
        for stat, target in [("mean_ms", 0.5), ("p50_ms", 0.5), ("p99_ms", 1.0)]:
            peers = {n: v[stat] for n, v in search[cls].items() if n != "ours"}
            best = min(peers, key=peers.get)
            verdict(
                rows,
                "search",
                corpus_name,
                cls,
                stat.replace("_ms", " ms"),
                search[cls]["ours"][stat],
                best,
                peers[best],
                target,
                higher_is_better=False,
            )


def build_verdicts(rows, corpus, builds):
    ours, tantivy = builds["ours"], builds["tantivy freq"]
    docs = len(corpus.texts)
    verdict(
        rows,
        "indexing",
        corpus.name,
        "",
        "docs/s (objects and tokens included)",
        docs / ours["build_s"],
        "tantivy freq",
        docs / tantivy["build_s"],
        2.0,
        higher_is_better=True,
    )
    rows.append(
        {
            "goal": "indexing",
            "corpus": corpus.name,
            "class": "",
            "measure": "ns per token inside index_document",
            "ours": ours["inside_s"] / corpus.tokens * 1e9,
            "peer": "",
            "peer_value": None,
            "ratio": None,
            "target": "<= 40",
            "met": bool(ours["inside_s"] / corpus.tokens * 1e9 <= 40),
        }
    )
    leanest = min(
        (name for name in builds if name.startswith("tantivy")),
        key=lambda name: builds[name]["peak_growth_bytes"],
    )
    verdict(
        rows,
        "memory",
        corpus.name,
        "",
        "peak growth bytes per posting",
        ours["peak_growth_bytes"] / corpus.postings,
        leanest,
        builds[leanest]["peak_growth_bytes"] / corpus.postings,
        1.0,
        higher_is_better=False,
    )


def road_verdicts(rows, road):
    yardsticks = [
        ("release before (fad427f)", FILTERED_ROAD_BASELINE_MS, 0.25),
        ("C memchr pass", road["memchr_ms"], 3.0),
    ]
    for name, value, target in yardsticks:
        verdict(
            rows,
            "filtered road",
            "100,000 passed documents",
            "",
            "ms per search",
            road["revuradova_ms"],
            name,
            value,
            target,
            higher_is_better=False,
        )


def markdown(results):
    machine = results["machine"]
    lines = [
        f"Measured {results['date']} on {machine['cpu']}, {machine['cores']} cores, with Python "
        f"{machine['python']}, "
        f"in {results['elapsed_s'] / 60:.0f} minutes (`python -m benchmarks goals"
        f"{' --quick' if results['quick'] else ''}`).",
        "",
        "| goal | corpus | class | measure | ours | peer | peer's | ratio | target | met |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in results["verdicts"]:
        ratio = "" if r["ratio"] is None else f"{r['ratio']:.2f}"
        lines.append(
            f"| {r['goal']} | {r['corpus']} | {r['class']} | {r['measure']} | "
            f"{report.number(r['ours'])} | {r['peer']} | {report.number(r['peer_value'])} | {ratio} | "
            f"{r['target']} | {'yes' if r['met'] else '**no**'} |"
        )
    held = sum(r["met"] for r in results["verdicts"])
    lines += ["", f"{held} of {len(results['verdicts'])} goals hold."]
    lines += ["", "Search latency per class (mean / p50 / p99 ms):", ""]
    lines += ["| corpus | class | " + " | ".join(results["systems"]) + " |"]
    lines += ["|---|---|" + "---|" * len(results["systems"])]
    for name, search in results["search"].items():
        for cls in CLASSES:
            cells = [
                f"{s['mean_ms']:.3f} / {s['p50_ms']:.3f} / {s['p99_ms']:.3f}"
                for s in search[cls].values()
            ]
            lines.append(f"| {name} | {cls} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"
