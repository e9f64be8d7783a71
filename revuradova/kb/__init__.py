"""A knowledge base you point at a folder: passages with their source and a snippet.

from revuradova.kb import KnowledgeBase, Where

with KnowledgeBase.open("kb.sqlite") as kb:
    kb.add("handbook/")
    for hit in kb.search("expense receipts", 3, where=Where(domain="finance")):
        print(hit.key, hit.snippet.text)
    answer = kb.ask("How do I submit an expense report?")
    print(answer.how, answer.summary)
"""

from revuradova.errors import (
    BusyError,
    ClosedError,
    NotAddedError,
    OptionError,
    PassageNotFound,
    SchemaError,
)
from revuradova.kb.base import KnowledgeBase
from revuradova.kb.dense import DenseUnavailable, Encoder
from revuradova.kb.index import Analysis
from revuradova.kb.results import Answer, Change, Hit, Status, Where
from revuradova.kb.snippets import Snippet

__all__ = [
    "Analysis",
    "Answer",
    "BusyError",
    "Change",
    "ClosedError",
    "DenseUnavailable",
    "Encoder",
    "Hit",
    "KnowledgeBase",
    "NotAddedError",
    "OptionError",
    "PassageNotFound",
    "SchemaError",
    "Snippet",
    "Status",
    "Where",
]
