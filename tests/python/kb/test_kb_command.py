"""The revuradova command, run as a user runs it: every subcommand, --json, errors and exit
codes, output piped and on a terminal."""

from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path

import pytest
from kb_helpers import command, on_terminal


def run(env: dict[str, str], *args: str, cwd: Path | None = None) -> subprocess.CompletedProcess:
    return subprocess.run(
        [*command(), *args], capture_output=True, text=True, env=env, cwd=cwd, timeout=120
    )


def json_lines(out: str) -> list[dict]:
    return [json.loads(line) for line in out.splitlines()]


def test_every_subcommand_with_json(handbook: Path, clean_env: dict[str, str], tmp_path: Path):
    added = run(clean_env, "--json", "add", str(handbook), "--exclude", "dev/*")
    assert added.returncode == 0, added.stderr
    (change,) = json_lines(added.stdout)
    assert (change["files_read"], change["passages_added"], change["skipped"]) == (4, 4, [])

    found = run(clean_env, "--json", "search", "receipts report", "-n", "2")
    hits = json_lines(found.stdout)
    assert found.returncode == 0 and [h["rank"] for h in hits] == [1, 2]
    best = hits[0]
    assert best["key"] == f"{handbook}/finance/expenses.md#0"
    assert best["headings"] == ["Expenses", "How to submit"] and best["kind"] == "text"
    assert "receipts" in best["body"] and best["score"] > hits[1]["score"]
    assert [best["snippet"][a:b] for a, b in best["spans"]] == ["receipts", "report"]

    asked = json_lines(run(clean_env, "--json", "ask", "How do I submit the report?").stdout)
    assert (asked[0]["intent"], asked[0]["how"]) == ("ProcedureGuidance", "bm25")
    asked = json_lines(run(clean_env, "--json", "ask", "What is a receipt?").stdout)
    assert asked[0]["intent"] == "Definition" and asked[0]["how"] in ("intent", "intent+bm25")

    shown = run(clean_env, "--json", "show", best["key"])
    assert json_lines(shown.stdout) == [{k: v for k, v in best.items()
                                         if k not in ("rank", "score", "snippet", "spans")}]  # fmt: skip

    filtered = json_lines(
        run(clean_env, "--json", "search", "receipts", "--domain", "hr", "--kind", "text").stdout
    )
    assert [h["key"] for h in filtered] == [f"{handbook}/hr/notes.txt#0"]

    (handbook / "hr/notes.txt").write_text("Receipts are reviewed on Fridays now.\n")
    refreshed = json_lines(run(clean_env, "--json", "refresh").stdout)[0]
    assert (refreshed["files_read"], refreshed["files_unchanged"]) == (1, 3)

    # Removal from another folder, by a relative path.
    removed = run(clean_env, "--json", "remove", "handbook/hr", cwd=tmp_path)
    assert json_lines(removed.stdout)[0]["files_removed"] == 2

    status = json_lines(run(clean_env, "--json", "status").stdout)[0]
    assert status["files"] == 2 and status["passages"] == 2
    assert status["roots"] == [str(handbook)] and status["source_types"] == {"markdown": 2}
    assert status["size_on_disk"] > 0 and status["changed_ns"] > 0


def test_exit_codes_and_one_line_errors(handbook: Path, clean_env: dict[str, str], tmp_path):
    missing = run(clean_env, "search", "anything")
    assert missing.returncode == 3 and "no knowledge base at" in missing.stderr
    assert run(clean_env, "add", str(handbook)).returncode == 0
    nothing = run(clean_env, "search", "zzzz-no-such-word")
    assert (nothing.returncode, nothing.stdout) == (1, "")
    assert run(clean_env, "--json", "search", "zzzz").returncode == 1
    usage = run(clean_env, "search")
    assert usage.returncode == 2 and "Missing argument" in usage.stderr
    assert run(clean_env, "add", str(handbook), "--workers", "0").returncode == 2
    for args, message in [
        (("show", "no-such-key"), "no passage 'no-such-key'"),
        (("remove", str(tmp_path / "elsewhere")), "nothing added under"),
        (("add", str(tmp_path / "missing")), "no such file or folder"),
    ]:
        failed = run(clean_env, *args)
        assert failed.returncode == 3 and failed.stdout == ""
        assert failed.stderr.count("\n") == 1 and message in failed.stderr
        assert failed.stderr.startswith("revuradova: error: ")
    not_a_base = tmp_path / "notes.txt"
    not_a_base.write_text("just notes\n")
    refused = run(clean_env, "--db", str(not_a_base), "status")
    assert refused.returncode == 3 and "not a knowledge base" in refused.stderr
    assert not_a_base.read_text() == "just notes\n"
    for args in (("show", "x#99999999999999999999999"), ("search", "x", "-n", "10" * 20)):
        odd = run(clean_env, *args)
        assert odd.returncode in (2, 3) and "Traceback" not in odd.stderr
    damaged = tmp_path / "damaged.sqlite"
    damaged.write_bytes(Path(clean_env["REVURADOVA_DB"]).read_bytes()[:4096] + b"\x00" * 8192)
    broken = run(clean_env, "--db", str(damaged), "search", "receipts")
    assert broken.returncode == 3 and "Traceback" not in broken.stderr
    debug = run(clean_env, "--debug", "show", "no-such-key")
    assert debug.returncode != 0 and "Traceback" in debug.stderr


def test_help_shows_examples(clean_env: dict[str, str]):
    helped = run(clean_env, "--help")
    assert helped.returncode == 0
    for word in ("add", "search", "ask", "show", "status", "refresh", "remove", "Examples:"):
        assert word in helped.stdout
    assert run(clean_env, "--version").stdout.strip().endswith("0.3.0")


def test_piped_output_is_plain_and_a_terminal_gets_colour_and_progress(
    handbook: Path, clean_env: dict[str, str]
):
    added = run(clean_env, "add", str(handbook))
    assert "read 5 files" in added.stdout and "\x1b[" not in added.stdout + added.stderr
    piped = run(clean_env, "search", "receipts")
    assert "«receipts»" in piped.stdout and "\x1b[" not in piped.stdout
    # The same on a terminal: terms highlighted, and a progress bar while reading.
    screen = on_terminal(clean_env, "search", "receipts")
    assert "\x1b[" in screen and "«" not in screen
    (handbook / "hr/notes.txt").write_text("changed receipts\n")
    assert "reading" in on_terminal(clean_env, "refresh")


@pytest.mark.parametrize("variable", [True, False])
def test_the_base_from_option_variable_or_default(handbook: Path, tmp_path: Path, variable: bool):
    env = {k: v for k, v in os.environ.items() if k != "REVURADOVA_DB"}
    if variable:
        env["REVURADOVA_DB"] = str(tmp_path / "from-variable.sqlite")
    work = tmp_path / "work"
    work.mkdir()
    assert run(env, "add", str(handbook), cwd=work).returncode == 0
    expected = tmp_path / "from-variable.sqlite" if variable else work / "kb.sqlite"
    assert expected.exists()
    assert run(env, "--db", str(expected), "search", "receipts", cwd=tmp_path).returncode == 0


@pytest.mark.parametrize("name", ["add", "refresh", "remove", "search", "ask", "show", "status"])
def test_each_command_helps_with_examples(clean_env: dict[str, str], name: str):
    helped = run(clean_env, name, "--help")
    assert helped.returncode == 0 and "Examples:" in helped.stdout
    assert f"revuradova {name}" in helped.stdout or f"--json {name}" in helped.stdout
