"""PyQueryIntent and PyQueryUnderstanding."""

import pytest

from revuradova import PyQueryIntent, PyQueryUnderstanding

CONSTRUCTORS = {
    "factual_lookup": "FactualLookup",
    "procedure_guidance": "ProcedureGuidance",
    "compliance_check": "ComplianceCheck",
    "comparison": "Comparison",
    "trend_analysis": "TrendAnalysis",
    "definition": "Definition",
}


@pytest.mark.parametrize("method, name", CONSTRUCTORS.items())
def test_named_constructors(method, name):
    first = getattr(PyQueryIntent, method)()
    second = getattr(PyQueryIntent, method)()
    assert repr(first) == str(first) == f"QueryIntent({name})"
    assert first is not second and first != second and repr(first) == repr(second)
    assert getattr(PyQueryIntent, method).__text_signature__ == "()"
    # Also reachable through an instance.
    assert repr(getattr(first, method)()) == f"QueryIntent({name})"


def test_constructor_order_and_docs():
    methods = [m for m in vars(PyQueryIntent) if not m.startswith("__")]
    assert methods == list(CONSTRUCTORS)
    assert PyQueryIntent.__doc__ == "Python binding for QueryIntent"
    assert PyQueryIntent.__text_signature__ is None
    assert PyQueryUnderstanding.__doc__ == "Query understanding utility"
    assert PyQueryUnderstanding.__text_signature__ is None
    assert PyQueryUnderstanding.understand.__text_signature__ == "(query)"
    assert PyQueryUnderstanding.understand.__doc__ is None
    assert PyQueryUnderstanding.infer_intent.__text_signature__ == "(query)"


@pytest.mark.parametrize("cls", [PyQueryIntent, PyQueryUnderstanding])
def test_no_constructor(cls):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls()
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls(1, x=2)


@pytest.mark.parametrize(
    "query, intent",
    [
        ("", "Unknown"),
        ("How do I submit an expense report?", "ProcedureGuidance"),
        ("what is the process?", "ProcedureGuidance"),
        ("what is the difference between plans", "Comparison"),
        ("What is churn?", "Definition"),
        ("Where is the travel report?", "FactualLookup"),
        ("Where is the travel report", "Unknown"),
        ("HOW CAN I reset my password", "ProcedureGuidance"),
        ("compliance rules", "Unknown"),
        ("Is this allowed", "ComplianceCheck"),
        ("our travel POLICY", "ComplianceCheck"),
        ("sales trends", "TrendAnalysis"),
        ("growing tickets", "TrendAnalysis"),
        ("undefined", "Definition"),
        ("data processing", "ProcedureGuidance"),
        ("meaningful", "Definition"),
        ("how  do I", "Unknown"),
        ("how\tdo I", "Unknown"),
        ("İİ how do", "ProcedureGuidance"),
        ("ΣΑΣ policy", "ComplianceCheck"),
        ("\u212aeep trend", "TrendAnalysis"),
    ],
)
def test_intents(query, intent):
    assert PyQueryUnderstanding.understand(query) == (intent, [])
    assert repr(PyQueryUnderstanding.infer_intent(query)) == f"QueryIntent({intent})"


def test_keyword_and_errors():
    assert PyQueryUnderstanding.understand(query="define x") == ("Definition", [])
    assert repr(PyQueryUnderstanding.infer_intent(query="?")) == "QueryIntent(FactualLookup)"
    with pytest.raises(TypeError):
        PyQueryIntent.definition(1)
    with pytest.raises(TypeError, match="^argument 'query': "):
        PyQueryUnderstanding.understand(None)
    with pytest.raises(TypeError, match="^argument 'query': "):
        PyQueryUnderstanding.infer_intent(b"how do")
    with pytest.raises(TypeError):
        PyQueryUnderstanding.understand()
    with pytest.raises(TypeError):
        PyQueryUnderstanding.understand("a", "b")
    with pytest.raises(UnicodeEncodeError):
        PyQueryUnderstanding.understand("\udfff")


def test_readme_keyword_table_matches_the_module():
    """The README shows the keyword table the module uses; each row must hold."""
    import pathlib
    import re

    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text(encoding="utf-8")
    rows = re.findall(r'^\| "([^"]+)" \| (\w+) \|$', readme, flags=re.MULTILINE)
    assert len(rows) == 15
    for position, (keyword, intent) in enumerate(rows):
        assert PyQueryUnderstanding.understand(f"xx {keyword.upper()} xx")[0] == intent
        # Every earlier keyword wins over this one.
        for earlier, earlier_intent in rows[:position]:
            assert PyQueryUnderstanding.understand(f"{keyword} {earlier}")[0] == earlier_intent
