"""The one report writer: a suite's results as JSON, its Markdown table, an optional chart
(PNG), and the table again in its section of benchmarks/README.md."""

import json
import os
import platform
import time
from pathlib import Path

HERE = Path(__file__).parent
RESULTS = HERE / "results"
README = HERE / "README.md"


def machine():
    """The processor's model name, the cores this process may use, Python's version."""
    cpu = next(
        (
            line.split(":", 1)[1].strip()
            for line in Path("/proc/cpuinfo").read_text().splitlines()
            if line.startswith("model name")
        ),
        platform.machine(),
    )
    return {
        "cpu": cpu,
        "cores": len(os.sched_getaffinity(0)),
        "python": platform.python_version(),
        "platform": platform.platform(),
    }


def today():
    return time.strftime("%Y-%m-%d")


def number(value):
    """A measured value in a table: thousands grouped, three significant digits below 10."""
    if value is None:
        return ""
    if value >= 1000:
        return f"{value:,.0f}"
    return f"{value:.3g}" if value < 10 else f"{value:.1f}"


def write(stem, results, table, chart=None, readme_section=None):
    """Writes results/STEM.json and results/STEM.md; with `chart` (a function of results and
    a path) results/STEM.png too; with `readme_section` (the name in the README's
    "<!-- NAME:begin -->" ... "<!-- NAME:end -->" markers) the table into the README."""
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / f"{stem}.json").write_text(json.dumps(results, indent=2) + "\n")
    image = ""
    if chart is not None:
        try:
            chart(results, RESULTS / f"{stem}.png")
            image = f"\n![{stem}](results/{stem}.png)\n"
        except ImportError:  # matplotlib is in the bench extra only
            pass
    (RESULTS / f"{stem}.md").write_text(table + image.replace("results/", ""))
    if readme_section is not None:
        refresh_readme(readme_section, table + image)


def refresh_readme(name, section):
    begin, end = f"<!-- {name}:begin -->", f"<!-- {name}:end -->"
    text = README.read_text() if README.exists() else ""
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        _, tail = rest.split(end, 1)
        text = f"{head}{begin}\n{section}{end}{tail}"
    else:
        text += f"\n{begin}\n{section}{end}\n"
    README.write_text(text)
