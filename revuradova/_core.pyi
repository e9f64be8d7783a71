"""ReVuradova - Universal Knowledge Ingestion Engine"""

from typing import Final, final

VERSION: Final[str]
__all__: list[str]

@final
class PyKnowledgeObject:
    """Python binding for KnowledgeObject"""

    def __new__(
        cls,
        source_type: str,
        source_location: str,
        knowledge_type: str,
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
