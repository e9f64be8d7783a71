"""Hostile files against the readers: bombs refused while reading, a dying or spinning parser
costs only its own file, and the time limit holds whoever waits for the reading."""

import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest
from ingest_fixtures import (
    far_corner_reordered_xlsx,
    far_corner_xlsx,
    long_key_json,
    lying_docx,
    nested_divs,
    shared_string_xlsx,
)

from revuradova.ingest import Limits, list_files, read_files, read_folder

SMALL = Limits(seconds=1, max_memory=512 << 20)


@pytest.fixture(scope="module")
def bombs(tmp_path_factory):
    folder = tmp_path_factory.mktemp("bombs")
    files = {
        "lying.docx": lying_docx(),
        "strings.xlsx": shared_string_xlsx(),
        "key.json": long_key_json(),
        "corner.xlsx": far_corner_xlsx(),
        "reordered.xlsx": far_corner_reordered_xlsx(),
        # Five million empty lists in 15 MB: some 300 MB once built.
        "lists.json": b"[" + b"[]," * 5_000_000 + b"[]]",
    }
    for name, data in files.items():
        (folder / name).write_bytes(data)
    return folder


def read_in_child(path, memory=768 << 20):
    """read_file in a child process whose address space is capped: a bomb that gets past
    the limits fails the test, not the machine."""
    # Under ASan (whose shadow memory needs terabytes of address space) the cap is left
    # out: the refusals are still checked.
    cap = f"resource.setrlimit(resource.RLIMIT_AS, ({memory}, {memory}))\n"
    code = (
        "import resource, sys\n"
        f"{'' if os.environ.get('REVURADOVA_SANITIZED') == '1' else cap}"
        "from revuradova.ingest import ReadError, read_file\n"
        "try:\n"
        "    document = read_file(sys.argv[1])\n"
        "except ReadError as error:\n"
        "    print('refused:', error)\n"
        "else:\n"
        "    print('read', sum(len(s.text) for s in document.sections))\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    run = subprocess.run(
        [sys.executable, "-P", "-c", code, str(path)], capture_output=True, text=True, env=env,
        timeout=120,
    )  # fmt: skip
    assert run.returncode == 0, f"the reader died ({run.returncode}): {run.stderr[-500:]}"
    return run.stdout.strip()


@pytest.mark.parametrize(
    ("name", "reason"),
    [
        ("lying.docx", "inflates past the 1,024 bytes its directory declares"),
        ("strings.xlsx", "shared strings expand to 3,145,794,000 characters"),
        ("key.json", "extracts more than the limit of 16777216 characters"),
        ("corner.xlsx", "spans 17,179,869,184 cells, over the limit of 8,388,608"),
        ("reordered.xlsx", "spans 17,179,869,184 cells, over the limit of 8,388,608"),
        ("lists.json", "too many values: over the node limit of 2000000"),
    ],
)
def test_bombs_are_refused_while_reading(bombs, name, reason):
    # In the caller's process, under a cap far below what each one used to take...
    assert reason in read_in_child(bombs / name)
    # ...and in the isolated workers, with the same reason.
    files, _ = list_files(bombs / name)
    ((_, outcome),) = read_files(files)
    assert isinstance(outcome, str) and reason in outcome


def test_yaml_values_are_counted_before_the_tree_is_built():
    from revuradova.ingest import ReadError, read_bytes

    stream = b"".join(b"- item %d\n" % i for i in range(20_000))  # over 64 KiB: counted
    with pytest.raises(ReadError, match="^too many values: over the node limit of 10000$"):
        read_bytes(stream, "long.yaml", limits=Limits(max_nodes=10_000))
    assert len(read_bytes(stream, "long.yaml").sections) == 1


@pytest.mark.skipif(
    os.environ.get("REVURADOVA_SANITIZED") == "1", reason="no address-space limit under ASan"
)
def test_a_reader_over_its_memory_limit_costs_only_its_file(tmp_path):
    # Two million empty objects pass every count, but not 128 MiB of address space.
    (tmp_path / "objects.json").write_bytes(b"[" + b"{}," * 1_999_998 + b"{}]")
    (tmp_path / "fine.json").write_bytes(b'{"fine": true}')
    files, _ = list_files(tmp_path)
    outcomes = dict(
        (f.relative, o) for f, o in read_files(files, limits=Limits(max_memory=128 << 20))
    )
    assert outcomes["objects.json"] == "exceeded the memory limit of 128 MiB"
    assert outcomes["fine.json"].passages[0].body == "fine: true"


def _many_files(folder, count=20):
    for i in range(count):
        (folder / f"note{i:02}.md").write_text(f"# Note {i}\n\nText of note {i}.\n")


@pytest.mark.skipif(
    os.environ.get("REVURADOVA_SANITIZED") == "1", reason="no address-space limit under ASan"
)
def test_a_parser_that_aborts_costs_only_its_file(tmp_path):
    # Past the cell limit calamine allocates the whole sheet and aborts the process; with
    # workers=2 the other twenty files are read all the same.
    (tmp_path / "corner.xlsx").write_bytes(far_corner_xlsx())
    _many_files(tmp_path)
    walk = read_folder(tmp_path, workers=2, limits=Limits(max_cells=1 << 62, max_memory=256 << 20))
    keys = {p.key for p in walk}
    assert keys == {f"note{i:02}.md#0" for i in range(20)}
    assert dict(walk.report.skipped) == {"corner.xlsx": "exceeded the memory limit of 256 MiB"}


def _busy_children():
    """This process's child processes that are running (not waiting for work)."""
    found = set()
    for task in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{task}/children") as stream:
            found.update(int(pid) for pid in stream.read().split())
    busy = set()
    for pid in found:
        try:
            with open(f"/proc/{pid}/stat") as stream:
                state = stream.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if state == "R":
            busy.add(pid)
    return busy


def test_a_worker_killed_by_a_signal_is_replaced(tmp_path):
    (tmp_path / "a-deep.html").write_bytes(nested_divs())
    _many_files(tmp_path, 5)

    def abort_the_reader():
        # The worker is busy parsing the deep page: abort it as a crashing parser would.
        for _ in range(100):
            time.sleep(0.1)
            busy = _busy_children()
            if busy:
                for pid in busy:
                    os.kill(pid, signal.SIGABRT)
                return

    killer = threading.Thread(target=abort_the_reader)
    killer.start()
    files, _ = list_files(tmp_path)
    outcomes = dict((f.relative, o) for f, o in read_files(files, limits=Limits(seconds=30)))
    killer.join()
    assert outcomes.pop("a-deep.html") == "the reader was killed by SIGABRT"
    assert sorted(o.passages[0].key for o in outcomes.values()) == [
        f"note{i:02}.md#0" for i in range(5)
    ]


def _deep_folder(folder):
    (folder / "deep.html").write_bytes(nested_divs())
    _many_files(folder, 3)
    return folder


def _walk_reasons(root, **options):
    walk = read_folder(root, **options)
    keys = sorted(p.key for p in walk)
    return keys, dict(walk.report.skipped)


NOTES = [f"note{i:02}.md#0" for i in range(3)]


@pytest.mark.parametrize("workers", [None, 2])
def test_time_limit_with_workers(tmp_path, workers):
    keys, skipped = _walk_reasons(_deep_folder(tmp_path), limits=SMALL, workers=workers)
    assert keys == NOTES
    assert skipped == {"deep.html": "took longer than the limit of 1 s"}


def test_time_limit_when_reading_runs_in_a_thread(tmp_path):
    _deep_folder(tmp_path)
    result = []
    reader = threading.Thread(target=lambda: result.append(_walk_reasons(tmp_path, limits=SMALL)))
    reader.start()
    reader.join()
    assert result == [(NOTES, {"deep.html": "took longer than the limit of 1 s"})]


@pytest.mark.parametrize("pool", [ThreadPoolExecutor, ProcessPoolExecutor])
def test_time_limit_with_any_executor(tmp_path, pool):
    _deep_folder(tmp_path)
    with pool(2) as executor:
        keys, skipped = _walk_reasons(tmp_path, limits=SMALL, executor=executor)
    assert keys == NOTES
    assert skipped == {"deep.html": "took longer than the limit of 1 s"}


def test_passages_cross_the_process_boundary_whole():
    # Every field set away from its default, so a field the codec forgets shows.
    import dataclasses
    import pickle

    from revuradova.ingest import Passage, Position
    from revuradova.ingest.isolate import _plain, pack, unpack

    where = Position(start=3, end=9, page=2, sheet="Budget", rows=(4, 5), pointer="/a/0")
    passage = Passage("k#1", "k", 1, "xlsx", "data", "finance", ("Budget", "Q1"), "body \ufffd",
                      where, "table", {"source": "scan", "lang": "en"})  # fmt: skip
    defaults = Passage("", "", 0, "", "", "", (), "", Position())
    for field in dataclasses.fields(Passage):
        assert getattr(passage, field.name) != getattr(defaults, field.name), field.name
    assert unpack(_plain(pickle.dumps(pack(passage)))) == passage
