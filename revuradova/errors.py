"""The package's own errors: one family, each also the built-in error it resembles.

    try:
        kb = KnowledgeBase.open("kb.sqlite")
    except revuradova.errors.RevuradovaError as error:   # any of ours
        ...

A caller that only knows the built-ins still catches them: a path with nothing added is a
FileNotFoundError, a file that is not a knowledge base a ValueError.
"""

from __future__ import annotations


class RevuradovaError(Exception):
    """Base class of every error revuradova raises on its own account."""


class SchemaError(RevuradovaError, ValueError):
    """The file is not a knowledge base this version can open: not SQLite, another
    application's database, a schema written by a newer revuradova, or damaged. Raised before
    anything is written to it."""


class ClosedError(RevuradovaError, RuntimeError):
    """The knowledge base was closed."""


class NotAddedError(RevuradovaError, FileNotFoundError):
    """A path under which nothing was added to the knowledge base."""


class PassageNotFound(RevuradovaError, KeyError):
    """No passage has this key."""

    def __str__(self) -> str:  # KeyError would show the repr of the message
        return str(self.args[0]) if self.args else ""


class BusyError(RevuradovaError, TimeoutError):
    """Another process kept the knowledge base locked for writing longer than the timeout."""


class OptionError(RevuradovaError, TypeError):
    """An option that cannot be used as given (a function for a base kept on disk, say)."""
