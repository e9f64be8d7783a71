// Python view of this file:
//   class PyQueryIntent:
//       """Python binding for QueryIntent"""
//       @staticmethod
//       def factual_lookup() -> PyQueryIntent: ...      # and procedure_guidance,
//       ...                                             # compliance_check, comparison,
//       @staticmethod                                   # trend_analysis, definition
//       def definition() -> PyQueryIntent: ...
//       def __repr__(self) -> str: return f"QueryIntent({name})"
//
//   class PyQueryUnderstanding:
//       """Query understanding utility"""
//       @staticmethod
//       def infer_intent(query: str) -> PyQueryIntent: ...
//       @staticmethod
//       def understand(query: str) -> tuple[str, list[str]]: ...   # (intent name, entities)
//
// Neither class can be instantiated by calling it.

#include <string>

#include "python_bindings/args.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/classes.hpp"
#include "python_bindings/signature.hpp"
#include "retrieval/query_understanding.hpp"

namespace revuradova::py {
namespace {

using IntentInstance = Instance<QueryIntent>;

PyObject* new_intent(QueryIntent intent) {
    return create_instance(query_intent_type().get(), QueryIntent{intent});
}

template <QueryIntent Intent>
PyObject* named_constructor(PyObject*, PyObject*) {
    return guard([] { return new_intent(Intent); });
}

PyObject* intent_repr(PyObject* self) {
    return guard([&] {
        auto& instance = instance_of<QueryIntent>(self, query_intent_type());
        SharedBorrow borrow(instance.borrow);
        std::string text = "QueryIntent(";
        text += intent_name(instance.value);
        text += ')';
        return to_str(text).release();
    });
}

PyMethodDef kIntentMethods[] = {
    method_def<Parameters<Receiver::none, "factual_lookup">>(
        named_constructor<QueryIntent::FactualLookup>, METH_NOARGS | METH_STATIC),
    method_def<Parameters<Receiver::none, "procedure_guidance">>(
        named_constructor<QueryIntent::ProcedureGuidance>, METH_NOARGS | METH_STATIC),
    method_def<Parameters<Receiver::none, "compliance_check">>(
        named_constructor<QueryIntent::ComplianceCheck>, METH_NOARGS | METH_STATIC),
    method_def<Parameters<Receiver::none, "comparison">>(named_constructor<QueryIntent::Comparison>,
                                                         METH_NOARGS | METH_STATIC),
    method_def<Parameters<Receiver::none, "trend_analysis">>(
        named_constructor<QueryIntent::TrendAnalysis>, METH_NOARGS | METH_STATIC),
    method_def<Parameters<Receiver::none, "definition">>(named_constructor<QueryIntent::Definition>,
                                                         METH_NOARGS | METH_STATIC),
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyType_Slot kIntentSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python binding for QueryIntent")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<QueryIntent>)},
    {Py_tp_repr, reinterpret_cast<void*>(intent_repr)},
    {Py_tp_methods, kIntentMethods},
    {0, nullptr} /* sentinel */
};

PyType_Spec kIntentSpec =
    class_spec("builtins.PyQueryIntent", sizeof(IntentInstance), kIntentSlots);

LazyType g_intent_type{&kIntentSpec, "PyQueryIntent"};

using InferParameters = Parameters<Receiver::none, "infer_intent", "query">;
using UnderstandParameters = Parameters<Receiver::none, "understand", "query">;

// The context of the one `query` argument of infer_intent and understand.
QueryContext understood(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    PyObject* values[1];
    parse_arguments(signature, args, nargs, kwnames, values);
    const TextArg query = text_arg(values[0], "query");
    return understand_query(query.view());
}

PyObject* infer_intent(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        return new_intent(understood(InferParameters::signature, args, nargs, kwnames).intent);
    });
}

PyObject* understand(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard([&] {
        const QueryContext context =
            understood(UnderstandParameters::signature, args, nargs, kwnames);
        return make_tuple(
                   to_str(intent_name(context.intent)),
                   make_list(context.entities, [](const std::string& e) { return to_str(e); }))
            .release();
    });
}

PyMethodDef kUnderstandingMethods[] = {
    method_def<InferParameters>(as_method(infer_intent),
                                METH_FASTCALL | METH_KEYWORDS | METH_STATIC),
    method_def<UnderstandParameters>(as_method(understand),
                                     METH_FASTCALL | METH_KEYWORDS | METH_STATIC),
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

// Instances are never created; the layout still carries the borrow flag like every class.
struct UnderstandingInstance {
    PyObject_HEAD BorrowFlag borrow;
};

void understanding_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto* free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyType_Slot kUnderstandingSlots[] = {
    {Py_tp_doc, const_cast<char*>("Query understanding utility")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(understanding_dealloc)},
    {Py_tp_methods, kUnderstandingMethods},
    {0, nullptr} /* sentinel */
};

PyType_Spec kUnderstandingSpec =
    class_spec("builtins.PyQueryUnderstanding", sizeof(UnderstandingInstance), kUnderstandingSlots);

LazyType g_understanding_type{&kUnderstandingSpec, "PyQueryUnderstanding"};

}  // namespace

LazyType& query_intent_type() { return g_intent_type; }
LazyType& query_understanding_type() { return g_understanding_type; }

}  // namespace revuradova::py
