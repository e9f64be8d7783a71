"""The comparison's figures: the ratios against each peer, the Markdown table and the
latency chart (written by report.write)."""


def ratios(entry):
    s = entry["systems"]
    ours = s.get("revuradova PyBM25Indexer", {})
    out = {}
    if "p50_ms" in s.get("bm25s", {}) and "p50_ms" in ours:
        out["search_p50_vs_bm25s"] = ours["p50_ms"] / s["bm25s"]["p50_ms"]
        out["indexing_speedup_vs_bm25s"] = s["bm25s"]["build_s"] / ours["build_s"]
        out["peak_memory_vs_bm25s"] = ours["peak_rss_growth_mb"] / max(
            s["bm25s"]["peak_rss_growth_mb"], 1e-9
        )
    if "p50_ms" in s.get("rank_bm25", {}) and "p50_ms" in ours:
        out["search_speedup_vs_rank_bm25"] = s["rank_bm25"]["p50_ms"] / ours["p50_ms"]
    if "p50_ms" in s.get("tantivy", {}) and "p50_ms" in ours:
        out["search_p50_vs_tantivy"] = ours["p50_ms"] / s["tantivy"]["p50_ms"]
    return out


def markdown_table(results):
    m = results["machine"]
    lines = [
        f"Run of {results['date']} on {m['cpu']} ({m['cores']} cores), Python {m['python']}.",
        "",
    ]
    lines += [
        "| corpus | system | docs/s | MB/s | peak MB | p50 ms | p99 ms |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for entry in results["corpora"]:
        for name, r in entry["systems"].items():
            if "p50_ms" not in r:
                lines.append(
                    f"| {entry['corpus']} | {name} | {r.get('skipped', r.get('error'))} | | | | |"
                )
                continue
            lines.append(
                f"| {entry['corpus']} | {name} | {r['docs_per_s']:,.0f} | {r['mb_per_s']:.1f} | "
                f"{r['peak_rss_growth_mb']:.0f} | {r['p50_ms']:.3f} | {r['p99_ms']:.3f} |"
            )
    lines += ["", "| corpus | ratio | value |", "|---|---|---:|"]
    for entry in results["corpora"]:
        for key, value in entry["ratios"].items():
            lines.append(f"| {entry['corpus']} | {key} | {value:.3f} |")
        if "oracle" in entry:
            o = entry["oracle"]
            lines.append(
                f"| {entry['corpus']} | oracle score / top-10 mismatches vs bm25s | "
                f"{o.get('score_mismatches')} / {o.get('top10_mismatches')} of {o.get('queries')} |"
            )
    if results.get("filtered_road"):
        lines += [
            "",
            "| filtered road | docs | MB | ms/search | searches/s | MB/s | pure Python ms | × pure Python | yardstick ms | × yardstick |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
        ]
        for r in results["filtered_road"]:
            lines.append(
                f"| PyRetrievalOrchestrator | {r['documents']:,} | {r['content_mb']:.0f} | {r['revuradova_ms']:.2f} | "
                f"{r['revuradova_searches_per_s']:.1f} | {r['revuradova_mb_per_s']:.0f} | {r['pure_python_ms']:.1f} | "
                f"{r['speedup_vs_pure_python']:.1f} | {r['yardstick_ms']:.1f} | {r['speedup_vs_yardstick']:.2f} |"
            )
    return "\n".join(lines) + "\n"


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    synthetic = [e for e in results["corpora"] if e["corpus"].startswith("synthetic")]
    if not synthetic:
        return
    fig, ax = plt.subplots(figsize=(7, 4.5))
    names = list(synthetic[0]["systems"])
    for name in names:
        points = [
            (e["documents"], e["systems"][name]["p50_ms"])
            for e in synthetic
            if "p50_ms" in e["systems"].get(name, {})
        ]
        if points:
            ax.plot(*zip(*points, strict=True), marker="o", label=name)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("documents")
    ax.set_ylabel("search latency p50 (ms, top 10)")
    ax.set_title("Query latency against corpus size")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
