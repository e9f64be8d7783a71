// Python view of this file:
//   class PyRetrievalOrchestrator:
//       """Python binding for RetrievalOrchestrator"""
//       def __new__(cls, enable_bm25: bool, enable_entity_graph: bool, enable_topics: bool,
//                   enable_vector_search: bool, enable_progressive_filtering: bool,
//                   max_results: int) -> PyRetrievalOrchestrator: ...
//       def index_document(self, doc: PyKnowledgeObject) -> None: ...  # dropped without BM25
//       def search(self, query: str, documents: Sequence[PyKnowledgeObject]
//                  ) -> tuple[list[str], str]: ...                    # (final ids, summary)
//       def stats(self) -> str:
//           "BM25: true, EntityGraph: false, Topics: false, Vector: false, Progressive: true"
//
// search() reads the passed knowledge objects in place: each is held by a strong reference
// and a shared borrow until the search returns, and nothing is copied. An object passed to
// a second search gets a digest of its content, kept with it, that stage 4 reads first.

#include <string>
#include <vector>

#include "python_bindings/args.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/classes.hpp"
#include "python_bindings/methods.hpp"
#include "python_bindings/py_knowledge_object.hpp"
#include "python_bindings/signature.hpp"
#include "retrieval/orchestrator.hpp"
#include "util/look_ahead.hpp"

namespace revuradova::py {
namespace {

using OrchestratorInstance = Instance<RetrievalOrchestrator>;

LazyType& type();

using NewParameters = Parameters<Receiver::none, "PyRetrievalOrchestrator", "enable_bm25",
                                 "enable_entity_graph", "enable_topics", "enable_vector_search",
                                 "enable_progressive_filtering", "max_results">;
constexpr const auto& kNewParameters = NewParameters::names;

PyObject* orchestrator_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
    return guard([&] {
        PyObject* values[6];
        parse_arguments(NewParameters::signature, args, kwargs, values);
        OrchestratorConfig config;
        config.enable_bm25 = flag_arg(values[0], kNewParameters[0]);
        config.enable_entity_graph = flag_arg(values[1], kNewParameters[1]);
        config.enable_topics = flag_arg(values[2], kNewParameters[2]);
        config.enable_vector_search = flag_arg(values[3], kNewParameters[3]);
        config.enable_progressive_filtering = flag_arg(values[4], kNewParameters[4]);
        config.max_results = count_arg(values[5], kNewParameters[5]);
        return create_instance(cls, RetrievalOrchestrator(config));
    });
}

using IndexParameters = Parameters<Receiver::self, "index_document", "doc">;

PyObject* index_document(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return run_method<RetrievalOrchestrator, ExclusiveBorrow, 1>(
        self, type(), IndexParameters::signature, args, nargs, kwnames,
        [](RetrievalOrchestrator& orchestrator, auto& arguments) {
            const KnowledgeObjectRef doc = knowledge_object_arg(arguments[0], "doc");
            if (BM25Indexer* index = orchestrator.bm25_indexer()) index->index_document(doc.get());
            return none().release();
        });
}

// The knowledge objects of a `documents` argument, held for the duration of a search.
class DocumentList {
public:
    explicit DocumentList(PyObject* documents) {
        if (PyUnicode_Check(documents)) {
            PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
            raise_argument_error("documents");
        }
        if (PyList_CheckExact(documents) || PyTuple_CheckExact(documents)) {
            // Exact lists and tuples are read by index, and from here until the search
            // returns no Python code runs: the container and its items stay as they are, so
            // the items are read through the container's references.
            const bool list = PyList_CheckExact(documents);
            const Py_ssize_t size = list ? PyList_Size(documents) : PyTuple_Size(documents);
            pointers_.reserve(static_cast<std::size_t>(size));
            digests_.reserve(static_cast<std::size_t>(size));
            // The items are objects all over the heap: each is requested some items ahead
            // of the one whose type is checked, so that the cache misses overlap.
            constexpr Py_ssize_t kAhead = 8;
            const auto item_at = [&](Py_ssize_t i) {
                return list ? PyList_GetItem(documents, i) : PyTuple_GetItem(documents, i);
            };
            visit_looking_ahead(
                size, kAhead, [&](Py_ssize_t i) { __builtin_prefetch(item_at(i)); },
                [&](Py_ssize_t i) {
                    PyObject* item = item_at(i);
                    if (item == nullptr) throw PythonError();
                    KnowledgeObjectHandle& handle = knowledge_object_handle(item, "documents");
                    pointers_.push_back(handle.object.get());
                    digests_.push_back(content_digest(handle));
                });
            return;
        }
        if (!PySequence_Check(documents)) {
            PyErr_Format(PyExc_TypeError, "'%s' object is not a sequence",
                         type_name_of(documents).c_str());
            raise_argument_error("documents");
        }
        // Anything the sequence's own iteration raises passes through unchanged.
        Object iterator = Object::checked(PyObject_GetIter(documents));
        while (Object item = Object::steal(PyIter_Next(iterator.get()))) add(item.get());
        if (PyErr_Occurred()) throw PythonError();
    }

    Candidates candidates() const { return pointers_; }
    ContentDigests digests() const { return digests_; }

private:
    void add(PyObject* item) {
        if (item == nullptr) throw PythonError();
        refs_.push_back(knowledge_object_arg(item, "documents"));
        pointers_.push_back(&refs_.back().get());
        digests_.push_back(content_digest(knowledge_object_handle(item, "documents")));
    }

    std::vector<KnowledgeObjectRef> refs_;
    std::vector<const KnowledgeObject*> pointers_;
    // The contents' digests, one per document (null before an object's second search):
    // knowledge objects never change, so each keeps the digest once made.
    std::vector<const text::ContentDigest*> digests_;
};

using SearchParameters = Parameters<Receiver::self, "search", "query", "documents">;
using StatsParameters = Parameters<Receiver::self, "stats">;

PyObject* search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method<RetrievalOrchestrator, SharedBorrow, 2>(
        self, type(), SearchParameters::signature, args, nargs, kwnames,
        [](const RetrievalOrchestrator& orchestrator, auto& arguments) {
            const TextArg query = text_arg(arguments[0], "query");
            const DocumentList documents(arguments[1]);
            // Objects made from Python carry random identifiers that nothing can set, so equal
            // identifiers mean the same object; only the final identifiers reach Python.
            const SearchOptions options{.record_stage_ids = false,
                                        .identifiers_follow_objects = true,
                                        .digests = documents.digests()};
            const RetrievalResult result =
                orchestrator.search(query.view(), documents.candidates(), options);
            return make_tuple(
                       make_list(result.final_ids, [](std::string_view id) { return to_str(id); }),
                       to_str(result.summary()))
                .release();
        });
}

PyObject* stats(PyObject* self, PyObject*) {
    return guard([&] {
        auto& instance = instance_of<RetrievalOrchestrator>(self, type());
        SharedBorrow borrow(instance.borrow);
        const OrchestratorConfig& config = instance.value.config();
        const auto word = [](bool flag) { return flag ? "true" : "false"; };
        std::string text = "BM25: ";
        text += word(config.enable_bm25);
        text += ", EntityGraph: ";
        text += word(config.enable_entity_graph);
        text += ", Topics: ";
        text += word(config.enable_topics);
        text += ", Vector: ";
        text += word(config.enable_vector_search);
        text += ", Progressive: ";
        text += word(config.enable_progressive_filtering);
        return to_str(text).release();
    });
}

PyMethodDef kMethods[] = {
    method_def<IndexParameters>(as_method(index_document), METH_FASTCALL | METH_KEYWORDS),
    method_def<SearchParameters>(as_method(search), METH_FASTCALL | METH_KEYWORDS),
    method_def<StatsParameters>(as_method(stats), METH_NOARGS),
    {nullptr, nullptr, 0, nullptr} /* sentinel */
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>(NewParameters::doc<"Python binding for RetrievalOrchestrator">.data)},
    {Py_tp_new, reinterpret_cast<void*>(orchestrator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<RetrievalOrchestrator>)},
    {Py_tp_methods, kMethods},
    {0, nullptr} /* sentinel */
};

PyType_Spec kSpec =
    class_spec("builtins.PyRetrievalOrchestrator", sizeof(OrchestratorInstance), kSlots);

LazyType g_type{&kSpec, "PyRetrievalOrchestrator"};
LazyType& type() { return g_type; }

}  // namespace

LazyType& retrieval_orchestrator_type() { return g_type; }

}  // namespace revuradova::py
