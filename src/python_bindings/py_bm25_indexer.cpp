// Python view of this file:
//   class PyBM25Indexer:
//       """Python binding for BM25Indexer"""
//       def __new__(cls) -> PyBM25Indexer: ...
//       def index_document(self, doc: PyKnowledgeObject) -> None: ...
//       def search(self, query: str, limit: int) -> list[tuple[str, float]]: ...
//       def stats(self) -> tuple[int, int, int]:
//           """(doc_count, distinct terms, average document length truncated)"""

#include "indexing/bm25_indexer.hpp"
#include "python_bindings/args.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/classes.hpp"
#include "python_bindings/methods.hpp"
#include "python_bindings/py_knowledge_object.hpp"
#include "python_bindings/signature.hpp"

namespace revuradova::py {
namespace {

using IndexerInstance = Instance<BM25Indexer>;

LazyType& type();

using NewParameters = Parameters<Receiver::none, "PyBM25Indexer">;

PyObject* indexer_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        parse_arguments(NewParameters::signature, args, kwargs, nullptr);
        return create_instance(cls, BM25Indexer());
    });
}

using IndexParameters = Parameters<Receiver::self, "index_document", "doc">;

PyObject* index_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return run_method<BM25Indexer, ExclusiveBorrow, 1>(
        self, type(), IndexParameters::signature, args, nargs, kwnames,
        [](BM25Indexer& index, auto& arguments) {
            const KnowledgeObjectRef doc = knowledge_object_arg(arguments[0], "doc");
            index.index_document(doc.get());
            return none().release();
        });
}

using SearchParameters = Parameters<Receiver::self, "search", "query", "limit">;
using StatsParameters = Parameters<Receiver::self, "stats">;

PyObject* search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method<BM25Indexer, SharedBorrow, 2>(
        self, type(), SearchParameters::signature, args, nargs, kwnames,
        [](const BM25Indexer& index, auto& arguments) {
            const TextArg query = text_arg(arguments[0], "query");
            const std::uint64_t limit = count_arg(arguments[1], "limit");
            const auto hits = index.rank(query.view(), static_cast<std::size_t>(limit));
            return make_list(hits,
                             [&](const Ranked& hit) {
                                 return make_tuple(to_str(index.doc_id(hit.position)),
                                                   to_float(hit.score));
                             })
                .release();
        });
}

PyObject* stats(PyObject* self, PyObject*) {
    return guard([&] {
        auto& instance = instance_of<BM25Indexer>(self, type());
        SharedBorrow borrow(instance.borrow);
        const BM25Indexer& index = instance.value;
        // The average is truncated toward zero into an unsigned 32-bit integer.
        const auto average = static_cast<std::uint32_t>(index.avg_doc_length());
        return make_tuple(to_int(index.doc_count()), to_int(index.term_count()), to_int(average))
            .release();
    });
}

PyMethodDef kMethods[] = {
    method_def<IndexParameters>(as_method(index_document), METH_FASTCALL | METH_KEYWORDS),
    method_def<SearchParameters>(as_method(search), METH_FASTCALL | METH_KEYWORDS),
    method_def<StatsParameters>(as_method(stats), METH_NOARGS),
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(NewParameters::doc<"Python binding for BM25Indexer">.data)},
    {Py_tp_new, reinterpret_cast<void*>(indexer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<BM25Indexer>)},
    {Py_tp_methods, kMethods},
    {0, nullptr} /* sentinel */
};

PyType_Spec kSpec = class_spec("builtins.PyBM25Indexer", sizeof(IndexerInstance), kSlots);

LazyType g_type{&kSpec, "PyBM25Indexer"};
LazyType& type() { return g_type; }

}  // namespace

LazyType& bm25_indexer_type() { return g_type; }

}  // namespace revuradova::py
