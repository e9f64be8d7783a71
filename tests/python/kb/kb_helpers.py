"""Helpers of the knowledge-base tests: a small handbook of real files, copying a base,
comparing what two bases answer, the command as installed."""

from __future__ import annotations

import os
import pty
import select
import sqlite3
import subprocess
import sys
from pathlib import Path

from revuradova.kb import KnowledgeBase

HANDBOOK = {
    "finance/expenses.md": "# Expenses\n\n## How to submit\n\n1. Open the expenses app.\n"
    "2. Attach receipts and submit the report.\n",
    "finance/travel.md": "# Travel policy\n\nBookings must be approved. Travel is "
    "compliant when booked through the portal.\n",
    "hr/glossary.md": "# Glossary\n\nChurn rate is the share of customers who leave.\n",
    "hr/notes.txt": "The expenses team meets on Mondays to review receipts.\n",
    "dev/deploy.md": "# Deploy\n\nRun the script:\n\n```sh\n./deploy.sh --prod\n```\n",
}


def write_files(root: Path, files: dict[str, str]) -> Path:
    for name, text in files.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text)
    return root


def copy_base(source: Path, target: Path) -> Path:
    """A consistent copy of a base on disk (SQLite's backup, so that the WAL is included)."""
    with sqlite3.connect(source) as src, sqlite3.connect(target) as dst:
        src.backup(dst)
    return target


def answers(
    kb: KnowledgeBase, queries: list[str], limit: int = 50
) -> list[list[tuple[str, float]]]:
    return [[(h.key, h.score) for h in kb.search(q, limit)] for q in queries]


def fresh_answers(path: Path, tmp: Path, queries: list[str]) -> list[list[tuple[str, float]]]:
    """What the same passages answer when indexed from scratch."""
    copy = copy_base(path, tmp / f"fresh-{os.getpid()}.sqlite")
    try:
        with KnowledgeBase.open(copy) as kb:
            kb.reindex()
            return answers(kb, queries)
    finally:
        for suffix in ("", "-wal", "-shm"):
            Path(str(copy) + suffix).unlink(missing_ok=True)


def command() -> list[str]:
    """The installed console script, run as a user runs it."""
    script = Path(sys.executable).parent / "revuradova"
    return [str(script)] if script.exists() else [sys.executable, "-P", "-m", "revuradova"]


def on_terminal(env: dict[str, str], *args: str) -> str:
    controller, terminal = pty.openpty()
    child = subprocess.Popen([*command(), *args], stdin=terminal, stdout=terminal,
                             stderr=terminal, env=env, close_fds=True)  # fmt: skip
    os.close(terminal)
    chunks = []
    while True:
        ready, _, _ = select.select([controller], [], [], 60)
        if not ready:
            break
        try:
            data = os.read(controller, 65536)
        except OSError:  # the terminal closed with the child
            break
        if not data:
            break
        chunks.append(data)
    child.wait(timeout=60)
    os.close(controller)
    return b"".join(chunks).decode("utf-8", "replace")
