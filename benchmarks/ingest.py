"""Reading throughput per source type as users meet it: read_files in a worker process
against the bare parser, a folder of mixed files with 1 and 2 workers, and workers' memory.

    python -m benchmarks ingest [--files N] [--runs R] [--profile TYPE]

Files are generated from the standard library's docstrings (real prose) with the writers the
test extra installs, written to a temporary folder, one subfolder per type, and listed with
list_files. For each type:

- read_files with one worker (the path of a folder walk and of the knowledge base: the file
  read from disk, parsed, cut and classified in the worker, the passages pickled back and
  unpacked, HTML's repeated blocks left out), in MB/s and passages/s, after a first cold
  run that starts the worker (its time is recorded too);
- the bare parser on the same bytes, already in memory, in this process (pyromark for
  Markdown, as the workers use it), and our overhead beyond it (goal: at most 25%);
- read_bytes + document_passages in this process (markdown-it-py for Markdown), the former
  figure, for reference;
- the peak resident memory (VmHWM) of a fresh worker that read that type's files.

Then the folder of all those files, mixed, read with 1 and with 2 workers (goal: 1.8x).
Minimum of --runs runs each. Writes results/ingest.json and results/ingest.md.
--profile TYPE profiles the worker's side of that type (isolate.read_job, in this process
with the worker's Markdown parser) and prints where its time goes.
"""

from __future__ import annotations

import argparse
import collections
import cProfile
import csv
import io
import json
import os
import pstats
import resource
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
sys.path.insert(0, str(Path(__file__).resolve().parent))

import report  # noqa: E402
from corpora import stdlib_docstrings  # noqa: E402
from ingest_fixtures import docx_bytes, pdf_bytes, xlsx_bytes  # noqa: E402

from revuradova.ingest import (  # noqa: E402
    DEFAULT_LIMITS,
    DEFAULT_WORDS,
    document_passages,
    isolate,
    list_files,
    read_bytes,
    read_files,
    read_text,
)

TYPES = ("markdown", "html", "local_file", "csv", "json", "yaml", "pdf", "docx", "xlsx")
GOAL_OVERHEAD = 0.25
GOAL_SPEEDUP = 1.8


def make_files(paragraphs: list[str], count: int) -> dict[str, list[tuple[str, bytes]]]:
    def chunk(i: int, n: int = 12) -> list[str]:
        return [paragraphs[(i * n + j) % len(paragraphs)] for j in range(n)]

    files: dict[str, list[tuple[str, bytes]]] = {t: [] for t in TYPES}
    for i in range(count):
        parts = chunk(i)
        md = "\n\n".join(f"## Part {j}\n\n{p}" for j, p in enumerate(parts))
        files["markdown"].append((f"d{i}.md", f"# Doc {i}\n\n{md}\n".encode()))
        html = "".join(f"<h2>Part {j}</h2><p>{p}</p>" for j, p in enumerate(parts))
        page = f"<html><head><title>Doc {i}</title></head><body>{html}</body></html>"
        files["html"].append((f"d{i}.html", page.encode()))
        files["local_file"].append((f"d{i}.txt", "\n\n".join(parts).encode()))
        rows = io.StringIO()
        writer = csv.writer(rows)
        writer.writerow(["id", "text"])
        writer.writerows([j, p] for j, p in enumerate(parts))
        files["csv"].append((f"d{i}.csv", rows.getvalue().encode()))
        records = [{"id": j, "text": p} for j, p in enumerate(parts)]
        files["json"].append((f"d{i}.json", json.dumps(records).encode()))
        yaml_text = "".join(f"- id: {j}\n  text: {json.dumps(p)}\n" for j, p in enumerate(parts))
        files["yaml"].append((f"d{i}.yaml", yaml_text.encode()))
        if i < max(5, count // 10):
            files["pdf"].append((f"d{i}.pdf", pdf_bytes(tuple(p[:1500] for p in parts[:4]))))
            files["docx"].append((f"d{i}.docx", docx_bytes()))
            files["xlsx"].append((f"d{i}.xlsx", xlsx_bytes()))
    return files


def bare_parsers():
    import docx
    import pypdfium2
    import pyromark
    import yaml
    from python_calamine import CalamineWorkbook
    from selectolax.lexbor import LexborHTMLParser

    def markdown(data):
        # Every event is made into a Python object as it is iterated, as the reader does.
        events = pyromark.events(data.decode(), options=pyromark.Options.ENABLE_TABLES)
        collections.deque(events, maxlen=0)

    def pdf(data):
        document = pypdfium2.PdfDocument(data)
        for page in document:
            page.get_textpage().get_text_bounded()

    def xlsx(data):
        workbook = CalamineWorkbook.from_filelike(io.BytesIO(data))
        for name in workbook.sheet_names:
            workbook.get_sheet_by_name(name).to_python()

    return {
        "markdown": markdown,
        "html": lambda d: LexborHTMLParser(d.decode()).body.text(),
        "local_file": lambda d: d.decode(),
        "csv": lambda d: list(csv.reader(io.StringIO(d.decode()))),
        "json": lambda d: json.loads(d),
        "yaml": lambda d: yaml.load(d.decode(), Loader=yaml.CSafeLoader),
        "pdf": pdf,
        "docx": lambda d: [p.text for p in docx.Document(io.BytesIO(d)).paragraphs],
        "xlsx": xlsx,
    }


def best_of(runs: int, function) -> float:
    return min(timed(function)["wall_s"] for _ in range(runs))


def cpu_seconds(pid: int) -> float:
    """A live process's CPU time so far: from schedstat in nanoseconds (stat's user and
    system times count whole clock ticks, 10 ms, too coarse for the short runs)."""
    try:
        return int(Path("/proc", str(pid), "schedstat").read_text().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        fields = Path("/proc", str(pid), "stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_queue_seconds(pid: int) -> float:
    """Time a live process spent runnable but waiting for a core (0 where not known)."""
    try:
        return int(Path("/proc", str(pid), "schedstat").read_text().split()[1]) / 1e9
    except (OSError, ValueError, IndexError):
        return 0.0


def timed(function) -> dict[str, float]:
    """Wall-clock time of one call, and the CPU time it took in this process and in the
    workers (live ones from /proc, those ended meanwhile from RUSAGE_CHILDREN): on a shared
    machine the CPU times say what the work costs, the wall time what the others left us."""
    live = {pid: cpu_seconds(pid) for pid in worker_pids()}
    waited = {pid: run_queue_seconds(pid) for pid in live}
    mine = resource.getrusage(resource.RUSAGE_SELF)
    ended = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    function()
    wall = time.perf_counter() - start
    mine_after = resource.getrusage(resource.RUSAGE_SELF)
    ended_after = resource.getrusage(resource.RUSAGE_CHILDREN)
    after = worker_pids()
    workers = sum(cpu_seconds(pid) for pid in after) - sum(live.values())
    # Waiting for a core while runnable: the mark of other jobs (a worker idle for want of
    # work sleeps instead). Workers replaced during the run are not counted.
    wait = sum(run_queue_seconds(pid) - waited.get(pid, 0.0) for pid in after)
    workers += (ended_after.ru_utime + ended_after.ru_stime) - (ended.ru_utime + ended.ru_stime)
    caller = (mine_after.ru_utime + mine_after.ru_stime) - (mine.ru_utime + mine.ru_stime)
    return {
        "wall_s": wall,
        "caller_cpu_s": caller,
        "workers_cpu_s": workers,
        "workers_run_queue_s": wait,
    }


def fastest(runs: int, function) -> dict[str, float]:
    """The run of least wall-clock time, with its CPU times."""
    return min((timed(function) for _ in range(runs)), key=lambda t: t["wall_s"])


# ------------------------------------------------------------------ worker processes


def worker_pids() -> list[int]:
    """This process's children: the pool's idle workers once read_files has returned."""
    me, pids = os.getpid(), []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path("/proc", entry, "stat").read_text()
        except OSError:
            continue
        # The command may hold spaces and parentheses: the fields follow the last ")".
        if int(stat.rsplit(")", 1)[1].split()[1]) == me:
            pids.append(int(entry))
    return pids


def peak_mb(pid: int) -> float:
    """The process's peak resident set (VmHWM), in MB."""
    for line in Path("/proc", str(pid), "status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024 / 1e6
    return 0.0


def fresh_workers() -> None:
    """Ends the pool's idle workers, so the next read starts new ones (VmHWM is a
    high-water mark over a process's life: a worker's peak must be its type's alone)."""
    isolate._POOL.close()


def read_all(found, workers: int) -> tuple[int, int]:
    """Passages made and files skipped by read_files."""
    passages = skipped = 0
    for _, outcome in read_files(found, workers=workers, progress=False):
        if isinstance(outcome, str):
            skipped += 1
        else:
            passages += len(outcome.passages)
    return passages, skipped


# ------------------------------------------------------------------------- the suites


def write_tree(root: str, files) -> dict[str, list]:
    """Each type's files in a subfolder of root, listed as read_files takes them."""
    listed = {}
    for kind, items in files.items():
        folder = Path(root, kind)
        folder.mkdir()
        for name, data in items:
            (folder / name).write_bytes(data)
        listed[kind], skipped = list_files(folder)
        assert not skipped and len(listed[kind]) == len(items), (kind, skipped)
    return listed


def baseline_worker_mb(root: str) -> float:
    """The peak of a fresh worker that read one short text file: the interpreter, the
    package and the worker loop, with no parser's work in it."""
    Path(root, "one.txt").write_text("One short paragraph.\n")
    found, _ = list_files(Path(root, "one.txt"))
    fresh_workers()
    read_all(found, 1)
    return max(peak_mb(pid) for pid in worker_pids())


def per_type(files, listed, runs: int) -> dict:
    bare = bare_parsers()
    out = {}
    for kind in TYPES:
        items, found = files[kind], listed[kind]
        size = sum(len(d) for _, d in items)
        mb = size / 1e6

        fresh_workers()
        start = time.perf_counter()
        passages, skipped = read_all(found, 1)
        cold_s = time.perf_counter() - start
        peak = max(peak_mb(pid) for pid in worker_pids())
        ours = fastest(runs, lambda found=found: read_all(found, 1))
        ours_s = ours["wall_s"]

        def parser(items=items, parse=bare[kind]):
            for _, data in items:
                parse(data)

        counted = [0]

        def in_process(items=items, counted=counted):
            counted[0] = 0
            for name, data in items:
                document = read_bytes(data, name)
                counted[0] += sum(1 for _ in document_passages(document, name, "bench"))

        bare_run = fastest(runs, parser)
        bare_s = bare_run["wall_s"]
        ours_cpu = ours["caller_cpu_s"] + ours["workers_cpu_s"]
        in_process_s = best_of(runs, in_process)
        out[kind] = {
            "files": len(items),
            "mb": mb,
            "passages": passages,
            "skipped": skipped,
            "read_files_s": ours_s,
            "read_files_cold_s": cold_s,
            "read_files_mb_s": mb / ours_s,
            "passages_s": passages / ours_s,
            "bare_s": bare_s,
            "bare_mb_s": mb / bare_s,
            "overhead": ours_s / bare_s - 1,
            "goal_met": ours_s / bare_s - 1 <= GOAL_OVERHEAD,
            "read_files_caller_cpu_s": ours["caller_cpu_s"],
            "read_files_workers_cpu_s": ours["workers_cpu_s"],
            "bare_cpu_s": bare_run["caller_cpu_s"],
            "cpu_overhead": ours_cpu / bare_run["caller_cpu_s"] - 1
            if bare_run["caller_cpu_s"]
            else None,
            "read_bytes_s": in_process_s,
            "read_bytes_mb_s": mb / in_process_s,
            "read_bytes_passages": counted[0],
            "worker_peak_mb": peak,
        }
        print(f"  {kind}: {out[kind]['read_files_mb_s']:.1f} MB/s, "
              f"overhead {out[kind]['overhead']:+.0%}", flush=True)  # fmt: skip
    return out


def folder(root: str, runs: int) -> dict:
    found, skipped = list_files(root, include=[f"{kind}/*" for kind in TYPES])
    assert not skipped, skipped
    read_all(found, 2)  # starts the two workers the timed runs reuse
    passages, failed = read_all(found, 1)
    runs_of = {w: fastest(runs, lambda w=w: read_all(found, w)) for w in (1, 2)}
    one, two = runs_of[1]["wall_s"], runs_of[2]["wall_s"]
    return {
        "files": len(found),
        "mb": sum(f.size for f in found) / 1e6,
        "passages": passages,
        "skipped": failed,
        "one_s": one,
        "two_s": two,
        "speedup": one / two,
        "goal_met": one / two >= GOAL_SPEEDUP,
        "one_worker": runs_of[1],
        "two_workers": runs_of[2],
    }


def profile(kind: str, files, listed) -> None:
    """Where the worker's time goes for one type: isolate.read_job on each listed file, in
    this process, with the worker's choice of Markdown parser."""
    read_text.IN_WORKER = True
    jobs = [(f.path, f.device, f.inode, f.relative, f.relative, kind) for f in listed[kind]]
    for job in jobs[:3]:  # imports and first calls out of the profile
        isolate.read_job(job, DEFAULT_LIMITS, DEFAULT_WORDS)
    profiler = cProfile.Profile()
    profiler.enable()
    packed = [isolate.read_job(job, DEFAULT_LIMITS, DEFAULT_WORDS) for job in jobs]
    profiler.disable()
    read_text.IN_WORKER = False
    start = time.perf_counter()
    for outcome in packed:
        isolate._plain(isolate._frame(outcome)[isolate._HEADER.size :])
    print(f"{kind}: pickling and unpickling the replies {time.perf_counter() - start:.3f} s")
    stats = pstats.Stats(profiler).strip_dirs().sort_stats("tottime")
    stats.print_stats(20)
    stats.sort_stats("cumulative").print_stats(25)


# ------------------------------------------------------------------------ the report


def load_average() -> float:
    return os.getloadavg()[0]


def table(result) -> str:
    m = result["machine"]
    shared = result["load_before"] >= 0.5
    lines = [
        f"Measured {result['date']} on {m['cpu']}, {m['cores']} cores, Python {m['python']}, "
        f"{result['files_per_type']} files per text type, minimum of {result['runs']} runs. "
        f"Load average (1 min) {result['load_before']:.2f} before the run, "
        f"{result['load_after']:.2f} after"
        + (" (the machine was shared with other jobs: the figures are noisy)." if shared else "."),
        "",
        "| type | files | MB | read_files MB/s | passages/s | bare parser MB/s | overhead "
        "| ≤ 25% | CPU overhead | in-process read_bytes MB/s | worker peak MB |",
        "|---|---:|---:|---:|---:|---:|---:|---|---:|---:|---:|",
    ]
    for kind, r in result["per_type"].items():
        cpu = "" if r["cpu_overhead"] is None else f"{r['cpu_overhead']:+.0%}"
        lines.append(
            f"| {kind} | {r['files']} | {r['mb']:.2f} | {report.number(r['read_files_mb_s'])} | "
            f"{r['passages_s']:,.0f} | {report.number(r['bare_mb_s'])} | {r['overhead']:+.0%} | "
            f"{'yes' if r['goal_met'] else '**no**'} | {cpu} | "
            f"{report.number(r['read_bytes_mb_s'])} | {r['worker_peak_mb']:.0f} |"
        )
    f = result["folder"]
    one, two = f["one_worker"], f["two_workers"]
    lines += [
        "",
        f"A worker that read one short text file peaks at {result['baseline_worker_mb']:.0f} MB "
        "(the interpreter, the package, the worker loop). Bare parsers run on bytes in memory "
        "in the caller's process; read_files reads the files from disk in one worker, after a "
        "first run that started it. CPU overhead: the CPU time of read_files (this process "
        "and the worker) over the bare parser's, less sensitive to other jobs than wall time.",
        "",
        f"Folder of {f['files']:,} mixed files ({f['mb']:.1f} MB, {f['passages']:,} passages): "
        f"read_files with 1 worker {f['one_s']:.2f} s, with 2 workers {f['two_s']:.2f} s, "
        f"{f['speedup']:.2f}x (goal {GOAL_SPEEDUP}x: {'met' if f['goal_met'] else 'not met'}). "
        f"CPU time with 1 worker: {one['caller_cpu_s']:.2f} s in this process, "
        f"{one['workers_cpu_s']:.2f} s in the workers; with 2 workers: "
        f"{two['caller_cpu_s']:.2f} s and {two['workers_cpu_s']:.2f} s, that is "
        f"{(two['caller_cpu_s'] + two['workers_cpu_s']) / two['wall_s']:.2f} cores busy on "
        f"average of the {m['cores']}; the workers waited {two['workers_run_queue_s']:.2f} s "
        "in all for a core while runnable.",
    ]
    return "\n".join(lines) + "\n"


def main() -> None:
    parser = argparse.ArgumentParser()
    # 330 per text type (33 PDF, docx and xlsx): a folder of 2,079 files.
    parser.add_argument("--files", type=int, default=330, help="files per text type")
    parser.add_argument("--runs", type=int, default=3, help="timed runs, the minimum kept")
    parser.add_argument("--profile", choices=TYPES, help="profile one type's worker side")
    args = parser.parse_args()
    load_before = load_average()
    paragraphs = [p for _, d in stdlib_docstrings() for p in d.split("\n\n") if len(p) > 80]
    files = make_files(paragraphs, args.files)
    with tempfile.TemporaryDirectory() as root:
        listed = write_tree(root, files)
        if args.profile:
            profile(args.profile, files, listed)
            return
        started = time.monotonic()
        result = {
            "date": report.today(),
            "machine": report.machine(),
            "files_per_type": args.files,
            "runs": args.runs,
            "load_before": load_before,
            "baseline_worker_mb": baseline_worker_mb(root),
            "per_type": per_type(files, listed, args.runs),
            "folder": folder(root, args.runs),
        }
    result["seconds"] = time.monotonic() - started
    result["load_after"] = load_average()
    text = table(result)
    report.write("ingest", result, text)
    print(text)


if __name__ == "__main__":
    main()
