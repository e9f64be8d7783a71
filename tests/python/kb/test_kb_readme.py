"""The README's examples run as written: its terminal session on the example documents, with
the output it shows, and its Python example on a handbook folder."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from kb_helpers import HANDBOOK, command, write_files

ROOT = Path(__file__).resolve().parents[3]
README = (ROOT / "README.md").read_text()
SHOWN_HOME = "/home/me/examples"


def block(heading: str, language: str) -> str:
    section = README.split(heading, 1)[1]
    return re.search(rf"```{language}\n(.*?)```", section, re.S).group(1)


def session() -> list[tuple[str, list[str]]]:
    """(command, the output lines shown after it) of the terminal session."""
    steps: list[tuple[str, list[str]]] = []
    for line in block("## In a terminal", "console").splitlines():
        if line.startswith("$ "):
            steps.append((line[2:].split("  #")[0].strip(), []))
        else:
            steps[-1][1].append(line)
    return steps


def agrees(shown: str, printed: str, home: str) -> bool:
    shown = shown.replace(SHOWN_HOME, home)
    if shown.strip() == "...":
        return True
    if shown.endswith("..."):
        return printed.startswith(shown[:-3])
    if shown.startswith(("knowledge base", "last change")):
        return printed.split()[:2] == shown.split()[:2]
    return printed == shown


def test_the_terminal_session(tmp_path: Path):
    home = tmp_path / "examples"
    shutil.copytree(ROOT / "examples" / "docs", home / "docs")
    env = {k: v for k, v in os.environ.items() if k != "REVURADOVA_DB"}
    env["PATH"] = f"{Path(command()[0]).parent}{os.pathsep}{env['PATH']}"
    env["PWD"] = str(home)
    steps = session()
    assert [c.split()[1] for c, _ in steps if c.startswith("revuradova")][:5] == [
        "add", "search", "ask", "show", "status"
    ]  # fmt: skip
    for text, shown in steps:
        if text.startswith(("pip ", "cd ")):
            continue
        line = text if command()[0].endswith("revuradova") else text.replace(
            "revuradova", f"{sys.executable} -P -m revuradova", 1
        )  # fmt: skip
        run = subprocess.run(
            ["bash", "-c", line], cwd=home, env=env, capture_output=True, text=True, timeout=120
        )
        assert run.returncode == 0, (text, run.stderr)
        printed = run.stdout.splitlines()
        for i, expected in enumerate(shown):
            assert i < len(printed) and agrees(expected, printed[i], str(home)), (text, printed)


def test_the_python_example(tmp_path: Path, monkeypatch):
    handbook = write_files(tmp_path / "handbook", HANDBOOK)
    write_files(handbook, {"drafts/wip.md": "# Draft\n\nexpense receipts draft\n",
                           "policies/cars.md": "# Cars\n\nCompany cars policy.\n"})  # fmt: skip
    monkeypatch.chdir(tmp_path)
    code = block("## From Python", "python")
    run = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True,
                         timeout=120)  # fmt: skip
    assert run.returncode == 0, run.stderr
    assert "ProcedureGuidance" in run.stdout and "Attach receipts" in run.stdout


def test_the_core_and_reading_examples(tmp_path: Path, monkeypatch):
    handbook = write_files(tmp_path / "handbook", HANDBOOK)
    write_files(handbook, {"drafts/wip.md": "# Draft\n\nexpense receipts draft\n"})
    monkeypatch.chdir(tmp_path)
    for heading, expected in [
        ("## A short example", "KnowledgeObject(id='ko_"),
        ("## Reading a folder of documents", "finance/expenses.md#0"),
    ]:
        run = subprocess.run([sys.executable, "-P", "-c", block(heading, "python")],
                             capture_output=True, text=True, timeout=120)  # fmt: skip
        assert run.returncode == 0, (heading, run.stderr)
        assert expected in run.stdout, (heading, run.stdout)
        assert "drafts" not in run.stdout
