"""ReVuradova - Universal Knowledge Ingestion Engine"""

from collections.abc import Sequence
from typing import Final, Literal, final

type _SourceTypeText = Literal[
    "local_file", "pdf", "docx", "xlsx", "csv", "json", "yaml", "markdown", "html"
]
type _KnowledgeTypeText = Literal[
    "procedure", "policy", "definition", "data", "code", "discussion", "reference"
]

VERSION: Final[str]
__all__ = [
    "PyKnowledgeObject",
    "PyBM25Indexer",
    "PyQueryIntent",
    "PyRetrievalOrchestrator",
    "PyQueryUnderstanding",
    "__doc__",
    "VERSION",
]

@final
class PyKnowledgeObject:
    """Python binding for KnowledgeObject"""

    def __new__(
        cls,
        source_type: _SourceTypeText,
        source_location: str,
        knowledge_type: _KnowledgeTypeText,
        domain: str,
        content: str,
    ) -> PyKnowledgeObject:
        """Builds a knowledge object with a fresh "ko_" + UUID identifier.

        source_type: one of "local_file", "pdf", "docx", "xlsx", "csv", "json", "yaml",
        "markdown", "html" (exact, case-sensitive); knowledge_type: one of "procedure",
        "policy", "definition", "data", "code", "discussion", "reference".
        Raises ValueError "Invalid source type" / "Invalid knowledge type".
        """

    @property
    def id(self) -> str:
        """The generated identifier, "ko_" followed by a version-4 UUID (39 characters)."""
    @property
    def source_location(self) -> str:
        """Where the document came from, as given."""
    @property
    def domain(self) -> str:
        """The subject area, as given."""
    @property
    def content(self) -> str:
        """The document's full text, as given."""

@final
class PyBM25Indexer:
    """Python binding for BM25Indexer"""

    def __new__(cls) -> PyBM25Indexer:
        """An empty BM25 full-text index (k1 = 1.5, b = 0.75)."""

    def index_document(self, doc: PyKnowledgeObject) -> None:
        """Adds the object's content under its id; indexing an id again replaces everything
        its earlier indexing contributed (statistics included), as if it had never been
        indexed. Either completes or raises (MemoryError) and leaves the index unchanged."""

    def search(self, query: str, limit: int) -> list[tuple[str, float]]:
        """At most `limit` (identifier, score) pairs, best first; scores are positive
        32-bit floats widened exactly. Raises OverflowError for a negative limit."""

    def stats(self) -> tuple[int, int, int]:
        """(distinct identifiers indexed, distinct terms, average document length truncated)."""

@final
class PyQueryIntent:
    """Python binding for QueryIntent"""

    @staticmethod
    def factual_lookup() -> PyQueryIntent:
        """A new FactualLookup intent."""
    @staticmethod
    def procedure_guidance() -> PyQueryIntent:
        """A new ProcedureGuidance intent."""
    @staticmethod
    def compliance_check() -> PyQueryIntent:
        """A new ComplianceCheck intent."""
    @staticmethod
    def comparison() -> PyQueryIntent:
        """A new Comparison intent."""
    @staticmethod
    def trend_analysis() -> PyQueryIntent:
        """A new TrendAnalysis intent."""
    @staticmethod
    def definition() -> PyQueryIntent:
        """A new Definition intent."""

@final
class PyRetrievalOrchestrator:
    """Python binding for RetrievalOrchestrator"""

    def __new__(
        cls,
        enable_bm25: bool,
        enable_entity_graph: bool,
        enable_topics: bool,
        enable_vector_search: bool,
        enable_progressive_filtering: bool,
        max_results: int,
    ) -> PyRetrievalOrchestrator:
        """An orchestrator; the five flags must be `bool` (an int is a TypeError).

        enable_progressive_filtering selects the road of every search: True runs the
        four-stage filter over the documents passed to search(); False ranks the documents
        given earlier to index_document() with BM25 (only when enable_bm25 is True).
        max_results limits either road."""

    def index_document(self, doc: PyKnowledgeObject) -> None:
        """Adds the object to the orchestrator's BM25 index; silently dropped when the
        orchestrator has none."""

    def search(self, query: str, documents: Sequence[PyKnowledgeObject]) -> tuple[list[str], str]:
        """(final identifiers best first, summary line).

        The summary reads "Query: '<query>' | Filtered: <initial> → <final> (<pct>%) |
        Time: <ms>ms | Cost: $<cost>". `documents` may be any sequence except str; the
        objects are read in place and left unchanged. An object passed to a second search
        keeps a digest of its content (a quarter of the content's size in bytes; none
        for a content past 64 KiB or not pure ASCII) that later searches read instead of
        the content where it suffices; results are the same with or without it."""

    def stats(self) -> str:
        """ "BM25: true, EntityGraph: false, Topics: false, Vector: false, Progressive: true"
        with the five flags as configured."""

@final
class PyQueryUnderstanding:
    """Query understanding utility"""

    @staticmethod
    def infer_intent(query: str) -> PyQueryIntent:
        """The query's intent by the fixed keyword table (see the README's "Intents"): the
        first keyword found in the lower-cased query decides; none found gives Unknown."""
    @staticmethod
    def understand(query: str) -> tuple[str, list[str]]:
        """(intent name, entities); the entity list is always empty."""
