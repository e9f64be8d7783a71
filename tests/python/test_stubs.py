"""The type stubs describe exactly what the module provides."""

import subprocess
import sys

import pytest


@pytest.mark.parametrize("module", ["revuradova._core", "revuradova._postings"])
def test_stubs_match_the_module(module):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module],
        capture_output=True,
        text=True,
        cwd="/",
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checker_rejects_unknown_type_texts(tmp_path):
    pytest.importorskip("mypy")
    program = tmp_path / "uses.py"
    program.write_text(
        "from revuradova import PyKnowledgeObject\n"
        "PyKnowledgeObject('pdf', 'a', 'procedure', 'd', 'c')\n"
        "PyKnowledgeObject('PDF', 'a', 'procedures', 'd', 'c')\n"
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", str(program)],
        capture_output=True,
        text=True,
        cwd="/",
    )
    assert result.returncode == 1, result.stdout + result.stderr
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    # Both bad texts of the third line are reported, nothing on the second.
    assert len(errors) == 2 and all("uses.py:3:" in line for line in errors), result.stdout
