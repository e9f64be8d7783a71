// Python view of this file (the module revuradova._core):
//
//   from builtins import (PyKnowledgeObject, PyBM25Indexer, PyQueryIntent,
//                         PyRetrievalOrchestrator, PyQueryUnderstanding)  # the five classes
//   __doc__ = "ReVuradova - Universal Knowledge Ingestion Engine"
//   VERSION = "0.3.0"        # the version in pyproject.toml
//   __all__ = ["PyKnowledgeObject", "PyBM25Indexer", "PyQueryIntent",
//              "PyRetrievalOrchestrator", "PyQueryUnderstanding", "__doc__", "VERSION"]
//
// Single-phase initialisation: the module is created once per process and handed out again
// on a later import; a second interpreter in the same process gets ImportError. Every
// attribute is added by appending its name to __all__ and then setting it, which is why
// __doc__ and VERSION are listed too.

#include <cstdint>

#include "python_bindings/boundary.hpp"
#include "python_bindings/classes.hpp"
#include "python_bindings/module_attrs.hpp"

namespace {

using namespace revuradova::py;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "RoDudaror: Universal Knowledge Ingestion Engine\n"
    "\n"
    "Transform documents into intelligent knowledge objects through\n"
    "metadata-first indexing and context-aware retrieval.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;  // the process's module, once initialised
std::int64_t g_interpreter_id = -1;

struct RegisteredClass {
    const char* name;
    LazyType& (*type)();
};

constexpr RegisteredClass kClasses[] = {
    {"PyKnowledgeObject", knowledge_object_type},
    {"PyBM25Indexer", bm25_indexer_type},
    {"PyQueryIntent", query_intent_type},
    {"PyRetrievalOrchestrator", retrieval_orchestrator_type},
    {"PyQueryUnderstanding", query_understanding_type},
};

PyObject* initialise() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) throw PythonError();
    if (g_interpreter_id >= 0 && g_interpreter_id != interpreter) {
        raise(PyExc_ImportError,
              "revuradova._core can be used by one interpreter per process only");
    }
    if (g_module != nullptr) return Object::borrow(g_module).release();

    Object module = Object::checked(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
    for (const RegisteredClass& entry : kClasses) {
        PyTypeObject* type = entry.type().get();
        add_module_attribute(module.get(), entry.name, reinterpret_cast<PyObject*>(type));
    }
    add_module_attribute(module.get(), "__doc__",
                         to_str("ReVuradova - Universal Knowledge Ingestion Engine").get());
    add_module_attribute(module.get(), "VERSION", to_str(REVURADOVA_VERSION).get());

    g_interpreter_id = interpreter;
    g_module = Object(module).release();  // the process keeps one reference
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__core(void) {
    return guard([] { return initialise(); });
}
