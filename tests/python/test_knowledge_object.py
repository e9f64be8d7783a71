"""PyKnowledgeObject: construction, conversions, errors and repr."""

import re

import pytest

from revuradova import PyKnowledgeObject

ID_SHAPE = re.compile(r"ko_[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
SOURCE_TYPES = ["local_file", "pdf", "docx", "xlsx", "csv", "json", "yaml", "markdown", "html"]
KNOWLEDGE_TYPES = ["procedure", "policy", "definition", "data", "code", "discussion", "reference"]


def test_properties_read_back_and_ids_are_fresh():
    first = PyKnowledgeObject("pdf", "s3://bucket/a.pdf", "policy", "finance", "Refunds in 30 days")
    second = PyKnowledgeObject(
        "pdf", "s3://bucket/a.pdf", "policy", "finance", "Refunds in 30 days"
    )
    assert first.id != second.id
    for obj in (first, second):
        assert ID_SHAPE.fullmatch(obj.id)
        assert obj.source_location == "s3://bucket/a.pdf"
        assert obj.domain == "finance"
        assert obj.content == "Refunds in 30 days"
        assert obj.id == obj.id  # stable across reads


def test_keyword_arguments():
    obj = PyKnowledgeObject(
        content="c", domain="d", knowledge_type="code", source_location="l", source_type="json"
    )
    assert (obj.content, obj.domain, obj.source_location) == ("c", "d", "l")


@pytest.mark.parametrize("source_type", SOURCE_TYPES)
@pytest.mark.parametrize("knowledge_type", KNOWLEDGE_TYPES)
def test_every_accepted_type_text(source_type, knowledge_type):
    PyKnowledgeObject(source_type, "", knowledge_type, "", "")


@pytest.mark.parametrize(
    "text", ["PDF", "Pdf", " pdf", "pdf ", "local-file", "localfile", "", "txt"]
)
def test_invalid_source_type(text):
    with pytest.raises(ValueError) as info:
        PyKnowledgeObject(text, "", "policy", "", "")
    assert str(info.value) == "Invalid source type"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("text", ["Procedure", "procedures", "PROCEDURE", "", " policy"])
def test_invalid_knowledge_type(text):
    with pytest.raises(ValueError, match="^Invalid knowledge type$"):
        PyKnowledgeObject("pdf", "", text, "", "")


def test_source_type_is_checked_first():
    with pytest.raises(ValueError, match="^Invalid source type$"):
        PyKnowledgeObject("nope", "", "nope", "", "")


@pytest.mark.parametrize("position", range(5))
@pytest.mark.parametrize("bad", [None, b"pdf", 1, ["pdf"]])
def test_non_text_argument_names_the_parameter(position, bad):
    names = ["source_type", "source_location", "knowledge_type", "domain", "content"]
    args = ["invalid", "", "invalid", "", ""]
    args[position] = bad
    # The conversion fails before any type text is looked at.
    with pytest.raises(TypeError, match=rf"^argument '{names[position]}': "):
        PyKnowledgeObject(*args)


def test_lone_surrogate_is_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError):
        PyKnowledgeObject("pdf", "", "policy", "", "bad \udc80 text")


def test_str_subclass_is_text():
    class Text(str):
        pass

    obj = PyKnowledgeObject(Text("pdf"), Text("loc"), "policy", Text("dom"), "c")
    assert type(obj.domain) is str and obj.domain == "dom"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("pdf", "", "policy", ""), {}, "missing required argument 'content'"),
        (("pdf", "", "policy", "", "", ""), {}, "takes 5 positional arguments but 6 were given"),
        (("pdf", "", "policy", "", ""), {"extra": 1}, "unexpected keyword argument 'extra'"),
        (("pdf", "", "policy", "", ""), {"domain": ""}, "multiple values for argument 'domain'"),
        ((), {}, "missing required argument 'source_type'"),
    ],
)
def test_argument_count_errors(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        PyKnowledgeObject(*args, **kwargs)


def test_empty_texts_and_unicode_round_trip():
    obj = PyKnowledgeObject("markdown", "", "definition", "", "")
    assert (obj.source_location, obj.domain, obj.content) == ("", "", "")
    text = "Größe — 東京 🚀 \x00 end"
    obj = PyKnowledgeObject("markdown", text, "definition", text, text)
    assert obj.content == text and obj.domain == text and obj.source_location == text


def test_repr_is_verbatim():
    obj = PyKnowledgeObject("html", "https://x/y?q='1'", "data", "it's sales", "c")
    expected = f"KnowledgeObject(id='{obj.id}', domain='it's sales', source='https://x/y?q='1'')"
    assert repr(obj) == expected
    assert str(obj) == expected


@pytest.mark.parametrize("name", ["id", "domain", "content", "source_location"])
def test_properties_are_read_only(name):
    obj = PyKnowledgeObject("pdf", "", "policy", "", "")
    with pytest.raises(AttributeError):
        setattr(obj, name, "x")


@pytest.mark.parametrize("name", ["source_type", "knowledge_type", "created_at"])
def test_hidden_fields(name):
    obj = PyKnowledgeObject("pdf", "", "policy", "", "")
    with pytest.raises(AttributeError):
        getattr(obj, name)
