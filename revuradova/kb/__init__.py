"""A knowledge base you point at a folder: passages with their source and a snippet.

from revuradova.kb import KnowledgeBase, Where

with KnowledgeBase.open("kb.sqlite") as kb:
    kb.add("handbook/")
    for hit in kb.search("expense receipts", 3, where=Where(domain="finance")):
        print(hit.key, hit.snippet.text)
    answer = kb.ask("How do I submit an expense report?")
    print(answer.how, answer.summary)
"""

from revuradova.kb.base import KnowledgeBase
from revuradova.kb.results import Answer, Change, ClosedError, Hit, Where
from revuradova.kb.snippets import Snippet
from revuradova.kb.store import SchemaError

__all__ = ["Answer", "Change", "ClosedError", "Hit", "KnowledgeBase", "SchemaError", "Snippet",
           "Where"]  # fmt: skip
