"""Files read in worker processes that may die: resource limits inside, a clock outside.

A parser is C, C++ or Rust code fed hostile bytes: it may abort, allocate without bound or
spin. Each file is therefore read in a child process started for the purpose and reused
for later files. The child limits its own address space (Limits.max_memory) and CPU time
and never writes a core; the parent gives it Limits.seconds of wall-clock time per file
and kills it past that, so the limit holds whatever thread or executor is waiting. A child
that dies or is killed costs only the file it was reading: that file is skipped with the
reason, the child is replaced and the rest of its batch read by the new one.

The parent and a child speak over the child's stdin and stdout in frames (an 8-byte
length, then a pickle); the child's own writes to stdout go to its stderr, a temporary
file whose tail tells why a child that aborted did so.
"""

from __future__ import annotations

import atexit
import io
import math
import os
import pickle
import resource
import select
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Sequence
from typing import Any, BinaryIO

from revuradova.ingest import read_text
from revuradova.ingest.listing import why_not
from revuradova.ingest.model import Limits, Passage, Position, ReadError
from revuradova.ingest.passages import document_passages
from revuradova.ingest.reading import read_bytes
from revuradova.ingest.source import read_listed

MIB = 1024 * 1024
# What one file to read is, as sent to a worker: path, device, inode (as listed), the name
# whose extension gives the type, the key path and the default domain of its passages.
Job = tuple[bytes, int, int, str, str, str]
# A file's outcome as it crosses a process boundary: (source type, packed passages, SHA-256)
# or the reason it was skipped.
Packed = tuple[str, list[tuple[Any, ...]], str] | str

_HEADER = struct.Struct("<Q")
# Words in a dying child's last output that say it ran out of memory (Rust, C++, CPython).
_OUT_OF_MEMORY = (
    b"memory allocation of",
    b"bad_alloc",
    b"MemoryError",
    b"out of memory",
    b"Cannot allocate memory",
)


def _bounded(seconds: float) -> bool:
    """Whether a time limit applies (zero, negative or infinite seconds mean none)."""
    return 0 < seconds < math.inf


def memory_reason(limits: Limits) -> str:
    return f"exceeded the memory limit of {limits.max_memory // MIB} MiB"


def time_reason(limits: Limits) -> str:
    return f"took longer than the limit of {limits.seconds:g} s"


def pack(passage: Passage) -> tuple[Any, ...]:
    """A passage as plain values (they unpickle several times faster than dataclasses)."""
    q = passage.position
    where = (q.start, q.end, q.page, q.sheet, q.rows, q.pointer)
    return (passage.key, passage.path, passage.number, passage.source_type,
            passage.knowledge_type, passage.domain, passage.headings, passage.body, where,
            passage.kind, passage.metadata)  # fmt: skip


def unpack(fields: tuple[Any, ...]) -> Passage:
    key, path, number, source_type, knowledge_type, domain, headings, body = fields[:8]
    return Passage(
        key, path, number, source_type, knowledge_type, domain, headings, body,
        Position(*fields[8]), fields[9], dict(fields[10]),
    )  # fmt: skip


def read_job(job: Job, limits: Limits, max_words: int) -> Packed:
    """Reads one listed file into its packed outcome. Every failure is a reason."""
    path, device, inode, name, key_path, domain = job
    try:
        data, digest = read_listed(path, device, inode, limits)
        document = read_bytes(data, name, limits=limits)
        passages = [pack(p) for p in document_passages(document, key_path, domain, max_words)]
        return document.source_type, passages, digest
    except ReadError as error:
        return str(error)
    except OSError as error:
        return why_not(error)
    except MemoryError:
        return memory_reason(limits)
    except RecursionError:
        return "nested too deeply"
    except Exception as error:  # noqa: BLE001 - a parser's own failure skips the file alone
        return f"the reader failed: {type(error).__name__}: {error}"


# ---------------------------------------------------------------------------- the child


def _frame(value: object) -> bytes:
    payload = pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    return _HEADER.pack(len(payload)) + payload


class _PlainUnpickler(pickle.Unpickler):
    """A worker's replies hold plain values only (str, int, tuple, list, dict, None); a
    worker subverted by a hostile file must not make the parent build objects."""

    def find_class(self, module: str, name: str) -> Any:
        raise pickle.UnpicklingError(f"a worker's reply may not name {module}.{name}")


def _plain(payload: bytes) -> Any:
    return _PlainUnpickler(io.BytesIO(payload)).load()


def _send(stream: BinaryIO, value: object) -> None:
    stream.write(_frame(value))
    stream.flush()


def _receive(stream: BinaryIO) -> Any:
    header = stream.read(_HEADER.size)
    if len(header) < _HEADER.size:
        return None
    (size,) = _HEADER.unpack(header)
    return pickle.loads(stream.read(size))


def _under_address_sanitizer() -> bool:
    """Whether AddressSanitizer runs in this process (preloaded, as the sanitized test
    build does): its shadow memory takes terabytes of address space, so an address-space
    limit would stop the worker before it starts; the other limits still hold."""
    return any("asan" in os.path.basename(lib) for lib in os.environ.get("LD_PRELOAD", "").split())


def serve() -> None:
    """A worker's main loop: limits set once, then batches read until stdin closes."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is for the parent to handle
    read_text.IN_WORKER = True
    protocol = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)  # a parser's prints must not corrupt the frames
    requests = os.fdopen(os.dup(0), "rb")
    memory = int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    if hard != resource.RLIM_INFINITY:
        memory = min(memory, hard)
    if not _under_address_sanitizer():
        resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    _, cpu_hard = resource.getrlimit(resource.RLIMIT_CPU)
    while (request := _receive(requests)) is not None:
        jobs, limits, max_words = request
        for index, job in enumerate(jobs):
            # Only this file's output matters when the child dies.
            os.ftruncate(2, 0)
            os.lseek(2, 0, os.SEEK_SET)
            # The parent's clock is the limit; CPU time is the backstop if the parent is gone.
            if _bounded(limits.seconds):
                used = resource.getrusage(resource.RUSAGE_SELF)
                soft = int(used.ru_utime + used.ru_stime + limits.seconds) + 2
                if cpu_hard != resource.RLIM_INFINITY:
                    soft = min(soft, cpu_hard)
                resource.setrlimit(resource.RLIMIT_CPU, (soft, cpu_hard))
            outcome = read_job(job, limits, max_words)
            retire = outcome == memory_reason(limits)  # a heap that failed once is suspect
            _send(protocol, (index, outcome, retire))


# --------------------------------------------------------------------------- the parent


def _boot() -> str:
    paths = [p or os.getcwd() for p in sys.path]
    return (
        f"import sys; sys.path[:] = {paths!r}; from revuradova.ingest.isolate import serve; serve()"
    )


class _Died(Exception):
    pass


class Worker:
    """One child process and the pipes to it."""

    def __init__(self, max_memory: int) -> None:
        if not sys.executable:
            raise ReadError("cannot start a reader process: no Python executable is known")
        self.max_memory = max_memory
        self.files = 0
        self._errors = tempfile.TemporaryFile()
        self._process = subprocess.Popen(
            [sys.executable, "-c", _boot(), str(max_memory)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self._errors,
            close_fds=True,
        )
        self._out = self._process.stdout.fileno()  # type: ignore[union-attr]
        self._buffer = bytearray()
        self._largest = 0
        self._poll = select.poll()
        self._poll.register(self._out, select.POLLIN)

    def read(
        self, jobs: Sequence[Job], limits: Limits, max_words: int
    ) -> tuple[list[Packed], bool]:
        """The outcomes of the first jobs (all of them unless the child died or overran:
        then up to the file that killed it, whose outcome is the reason), and whether the
        child is still fit for more work."""
        outcomes: list[Packed] = []
        try:
            stdin = self._process.stdin
            assert stdin is not None
            stdin.write(_frame((list(jobs), limits, max_words)))
            stdin.flush()
        except (BrokenPipeError, OSError):
            outcomes.append(self._death(limits))
            return outcomes, False
        fit = True
        # Replies hold at most max_chars characters of passages, keys and headings.
        self._largest = 16 * limits.max_chars + (64 << 20)
        while len(outcomes) < len(jobs):
            deadline = time.monotonic() + limits.seconds if _bounded(limits.seconds) else None
            try:
                message = self._next(deadline)
                index, outcome, retire = message
                if index != len(outcomes) or not isinstance(outcome, (str, tuple)):
                    raise ValueError("out of order")
            except TimeoutError:
                self.kill()
                outcomes.append(time_reason(limits))
                return outcomes, False
            except _Died:
                outcomes.append(self._death(limits))
                return outcomes, False
            except Exception:  # noqa: BLE001 - whatever the child sent, it is not a reply
                self.kill()
                outcomes.append("the reader sent a malformed reply")
                return outcomes, False
            outcomes.append(outcome)
            self.files += 1
            fit = fit and not retire
        return outcomes, fit

    def _next(self, deadline: float | None) -> Any:
        """The next frame from the child, by the deadline (None: however long it takes)."""
        while True:
            if len(self._buffer) >= _HEADER.size:
                (size,) = _HEADER.unpack_from(self._buffer)
                if size > self._largest:
                    raise ValueError(f"a reply of {size} bytes")
                if len(self._buffer) >= _HEADER.size + size:
                    payload = bytes(self._buffer[_HEADER.size : _HEADER.size + size])
                    del self._buffer[: _HEADER.size + size]
                    return _plain(payload)
            wait = None
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError
                wait = max(1, math.ceil(left * 1000))
            # poll, not select: a caller may hold more than FD_SETSIZE descriptors.
            if not self._poll.poll(wait):
                continue
            chunk = os.read(self._out, 1 << 20)
            if not chunk:
                raise _Died
            self._buffer += chunk

    def _death(self, limits: Limits) -> str:
        """Why the child ended, from its exit status and its last words."""
        try:
            status = self._process.wait(5)
        except subprocess.TimeoutExpired:
            self.kill()
            status = self._process.returncode
        self._errors.seek(0, os.SEEK_END)
        self._errors.seek(max(0, self._errors.tell() - 8192))
        last_words = self._errors.read()
        self._errors.close()
        if any(marker in last_words for marker in _OUT_OF_MEMORY):
            return memory_reason(limits)
        if status is not None and status < 0:
            if -status == signal.SIGXCPU:
                return time_reason(limits)
            try:
                name = signal.Signals(-status).name
            except ValueError:
                name = f"signal {-status}"
            return f"the reader was killed by {name}"
        words = last_words.decode("utf-8", "replace").strip().splitlines()
        return f"the reader exited with status {status}" + (f": {words[-1]}" if words else "")

    def alive(self) -> bool:
        return self._process.poll() is None

    def kill(self) -> None:
        if self._process.poll() is None:
            self._process.kill()
        self._process.wait()
        for stream in (self._process.stdin, self._process.stdout, self._errors):
            try:
                if stream is not None:
                    stream.close()
            except OSError:
                pass

    def close(self) -> None:
        """Ends an idle child: end of input asks it to leave, a kill makes sure."""
        try:
            if self._process.stdin is not None:
                self._process.stdin.close()
            self._process.wait(1)
        except (OSError, subprocess.TimeoutExpired):
            pass
        self.kill()


class _Pool:
    """Idle workers of this process, by memory limit. Threads take one each; a worker's
    pipes belong to the process that started it, so a forked child starts afresh."""

    MAX_IDLE = 8
    # A worker is replaced after this many files: whatever a parser leaks stays bounded.
    MAX_FILES = 2000

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._idle: list[Worker] = []

    def take(self, max_memory: int) -> Worker:
        with self._lock:
            for i, worker in enumerate(self._idle):
                if worker.max_memory == max_memory:
                    del self._idle[i]
                    if worker.alive():
                        return worker
                    worker.kill()  # died while idle: no file of ours is to blame
                    break
        return Worker(max_memory)

    def give(self, worker: Worker) -> None:
        with self._lock:
            if len(self._idle) < self.MAX_IDLE and worker.files < self.MAX_FILES:
                self._idle.append(worker)
                return
        worker.close()

    def close(self) -> None:
        with self._lock:
            idle, self._idle = self._idle, []
        for worker in idle:
            worker.close()

    def forget(self) -> None:
        self._lock = threading.Lock()
        self._idle = []


_POOL = _Pool()
atexit.register(_POOL.close)
os.register_at_fork(after_in_child=_POOL.forget)


def read_isolated(jobs: Sequence[Job], limits: Limits, max_words: int) -> list[Packed]:
    """Each job's outcome, in order, read by workers of this process's pool. A module-level
    function of plain values: an executor may run it in a thread, a process or elsewhere."""
    outcomes: list[Packed] = []
    while len(outcomes) < len(jobs):
        try:
            worker = _POOL.take(limits.max_memory)
        except (OSError, ReadError) as error:
            reason = str(error) if isinstance(error, ReadError) else why_not(error)
            return outcomes + [reason] * (len(jobs) - len(outcomes))
        done, fit = worker.read(jobs[len(outcomes) :], limits, max_words)
        outcomes += done
        if fit:
            _POOL.give(worker)
        else:
            worker.kill()
    return outcomes
