"""Fixtures of the knowledge-base tests."""

from __future__ import annotations

import os
from pathlib import Path

import pytest
from kb_helpers import HANDBOOK, write_files


@pytest.fixture
def handbook(tmp_path: Path) -> Path:
    return write_files(tmp_path / "handbook", HANDBOOK)


@pytest.fixture
def clean_env(tmp_path: Path) -> dict[str, str]:
    """The environment of a command run: the base in tmp_path unless --db says otherwise."""
    env = {k: v for k, v in os.environ.items() if k != "REVURADOVA_DB"}
    env["REVURADOVA_DB"] = str(tmp_path / "kb.sqlite")
    return env
