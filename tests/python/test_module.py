"""The module surface: registration, class properties and the calling conventions."""

import gc
import weakref

import pytest

import revuradova
from revuradova import _core

CLASS_NAMES = [
    "PyKnowledgeObject",
    "PyBM25Indexer",
    "PyQueryIntent",
    "PyRetrievalOrchestrator",
    "PyQueryUnderstanding",
]


def test_module_attributes():
    assert _core.VERSION == "0.3.0"
    assert _core.__doc__ == "ReVuradova - Universal Knowledge Ingestion Engine"
    assert _core.__all__ == CLASS_NAMES + ["__doc__", "VERSION"]
    assert revuradova.__version__ == "0.3.0"
    for name in CLASS_NAMES:
        assert getattr(revuradova, name) is getattr(_core, name)


def test_reimport_returns_same_module():
    import importlib
    import sys

    module = sys.modules.pop("revuradova._core")
    try:
        again = importlib.import_module("revuradova._core")
        assert again.PyKnowledgeObject is module.PyKnowledgeObject
    finally:
        sys.modules["revuradova._core"] = module


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_properties(name, make_object):
    cls = getattr(_core, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__name__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_have_no_dict_weakref_or_equality(make_object):
    first, second = make_object("same"), make_object("same")
    with pytest.raises(AttributeError):
        first.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(first)
    assert first == first
    assert first != second
    assert hash(first) != hash(second)
    assert not gc.is_tracked(first)


def test_knowledge_object_signature():
    cls = _core.PyKnowledgeObject
    assert cls.__text_signature__ == (
        "(source_type, source_location, knowledge_type, domain, content)"
    )
    assert cls.__doc__ == "Python binding for KnowledgeObject"


def test_module_exports_only_its_entry_point():
    import shutil
    import subprocess

    from revuradova import _core

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", _core.__file__], capture_output=True, text=True, check=True
    ).stdout
    exported = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    # A sanitized build also exports the sanitizer runtime's hooks.
    exported = [s for s in exported if not s.startswith(("__asan", "__ubsan", "__sanitizer"))]
    assert exported == ["PyInit__core"]
