"""The type stubs describe exactly what the module provides."""

import subprocess
import sys

import pytest


def test_stubs_match_the_module():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "revuradova._core"],
        capture_output=True,
        text=True,
        cwd="/",
    )
    assert result.returncode == 0, result.stdout + result.stderr
