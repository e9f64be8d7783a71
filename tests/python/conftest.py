import pytest

from revuradova import _core


@pytest.fixture
def make_object():
    """Builds a PyKnowledgeObject with sensible defaults for the fields a test ignores."""

    def make(
        content="",
        *,
        source_type="markdown",
        location="doc.md",
        knowledge_type="reference",
        domain="general",
    ):
        return _core.PyKnowledgeObject(source_type, location, knowledge_type, domain, content)

    return make
