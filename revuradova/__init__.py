"""revuradova: knowledge objects, BM25 search and intent-aware progressive retrieval.

The work is done by the native module :mod:`revuradova._core`; this package re-exports
its classes and version.
"""

from revuradova._core import (
    VERSION,
    PyBM25Indexer,
    PyKnowledgeObject,
    PyQueryIntent,
    PyQueryUnderstanding,
    PyRetrievalOrchestrator,
)

__all__ = [
    "PyKnowledgeObject",
    "PyBM25Indexer",
    "PyQueryIntent",
    "PyRetrievalOrchestrator",
    "PyQueryUnderstanding",
    "VERSION",
]
__version__ = VERSION
