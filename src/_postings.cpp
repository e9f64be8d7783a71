// Python view of this file (the module revuradova._postings):
//
//   __all__ = ["CorruptPostings", "terms", "spans", "segment", "merge", "search", "decode",
//              "nearest"]
//   class CorruptPostings(ValueError): ...   # a postings blob that is not well-formed
//   def terms(text: str, min_bytes: int, stemmer: str) -> list[str]: ...  # stemmer "" or "english"
//   def spans(text: str, wanted: Collection[str], min_bytes: int,
//             stemmer: str) -> list[tuple[int, int]]: ...
//   def segment(ids: Sequence[int], texts: Sequence[str], min_bytes: int,
//               stemmer: str) -> tuple[list[tuple[str, int, bytes]], list[int]]: ...
//   def merge(blobs: Sequence[Buffer], deleted: Buffer) -> tuple[int, bytes]: ...
//   def search(postings: Sequence[Sequence[Buffer]], dfs: Sequence[int], doc_count: int,
//              total_length: int, deleted: Buffer, limit: int) -> list[tuple[int, float]]: ...
//   def decode(blob: Buffer) -> list[tuple[int, int, int]]: ...
//   def nearest(codes: Buffer, scales: Buffer, query: Buffer,
//               limit: int) -> list[tuple[int, float]]: ...   # int8 codes, float32 scales
//
// Every argument is converted before the core runs, and the buffers are held until it
// returns: nothing calls back into Python while the core reads them. Single-phase
// initialisation, as revuradova._core.

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "postings/analyzer.hpp"
#include "postings/deleted_ids.hpp"
#include "postings/merge.hpp"
#include "postings/nearest.hpp"
#include "postings/postings_codec.hpp"
#include "postings/search.hpp"
#include "postings/segment_builder.hpp"
#include "python_bindings/args.hpp"
#include "python_bindings/boundary.hpp"
#include "python_bindings/buffer_arg.hpp"
#include "python_bindings/functions.hpp"
#include "python_bindings/module_attrs.hpp"
#include "python_bindings/signature.hpp"

namespace {

using namespace revuradova::py;
namespace postings = revuradova::postings;

PyObject* g_module = nullptr;            // the process's module, once initialised
PyObject* g_corrupt_postings = nullptr;  // its CorruptPostings class
std::int64_t g_interpreter_id = -1;

/// Runs `body`, turning the core's refusals into CorruptPostings and ValueError.
template <class Body>
PyObject* refusals_translated(Body&& body) {
    try {
        return body();
    } catch (const postings::CorruptPostings& error) {
        raise(g_corrupt_postings, error.what());
    } catch (const postings::InvalidInput& error) {
        raise(PyExc_ValueError, error.what());
    }
}

Object sized(std::size_t value) { return to_int(static_cast<std::uint64_t>(value)); }

postings::Analyzer analyzer_arg(PyObject* min_bytes, PyObject* stemmer) {
    const std::uint64_t bytes = count_arg(min_bytes, "min_bytes");
    const TextArg name = text_arg(stemmer, "stemmer");
    return postings::Analyzer(static_cast<std::size_t>(bytes),
                              postings::stemmer_named(name.view()));
}

postings::DeletedIds deleted_arg(PyObject* value) {
    const BytesArg deleted(value, "deleted");
    return postings::DeletedIds::from_bytes(deleted.view());
}

using TermsParameters = Parameters<Receiver::none, "terms", "text", "min_bytes", "stemmer">;

PyObject* terms(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_function<3>(TermsParameters::signature, args, nargs, kwnames, [](auto& arguments) {
        return refusals_translated([&] {
            const TextArg text = text_arg(arguments[0], "text");
            postings::Analyzer analyzer = analyzer_arg(arguments[1], arguments[2]);
            return make_list(analyzer.terms(text.view()), to_str).release();
        });
    });
}

using SpansParameters =
    Parameters<Receiver::none, "spans", "text", "wanted", "min_bytes", "stemmer">;

PyObject* spans(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_function<4>(SpansParameters::signature, args, nargs, kwnames, [](auto& arguments) {
        return refusals_translated([&] {
            const TextArg text = text_arg(arguments[0], "text");
            const Object items = sequence_arg(arguments[1], "wanted");
            postings::TermSet wanted;
            for (Py_ssize_t i = 0, n = PyTuple_Size(items.get()); i < n; ++i) {
                wanted.emplace(text_arg(PyTuple_GetItem(items.get(), i), "wanted").view());
            }
            postings::Analyzer analyzer = analyzer_arg(arguments[2], arguments[3]);
            return make_list(analyzer.spans(text.view(), wanted),
                             [](const auto& span) {
                                 return make_tuple(sized(span.first), sized(span.second));
                             })
                .release();
        });
    });
}

using SegmentParameters =
    Parameters<Receiver::none, "segment", "ids", "texts", "min_bytes", "stemmer">;

PyObject* segment(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_function<4>(SegmentParameters::signature, args, nargs, kwnames, [](auto& arguments) {
        return refusals_translated([&] {
            const Object id_items = sequence_arg(arguments[0], "ids");
            const Object text_items = sequence_arg(arguments[1], "texts");
            std::vector<postings::DocId> ids;
            for (Py_ssize_t i = 0, n = PyTuple_Size(id_items.get()); i < n; ++i) {
                ids.push_back(id_arg(PyTuple_GetItem(id_items.get(), i), "ids"));
            }
            std::vector<TextArg> texts;
            std::vector<std::string_view> views;
            for (Py_ssize_t i = 0, n = PyTuple_Size(text_items.get()); i < n; ++i) {
                texts.push_back(text_arg(PyTuple_GetItem(text_items.get(), i), "texts"));
                views.push_back(texts.back().view());
            }
            postings::Analyzer analyzer = analyzer_arg(arguments[2], arguments[3]);
            const postings::Segment built = postings::build_segment(ids, views, analyzer);
            Object term_list = make_list(built.terms, [](const postings::TermPostings& term) {
                return make_tuple(to_str(term.term), to_int(term.doc_freq), to_bytes(term.blob));
            });
            Object lengths =
                make_list(built.lengths, [](std::uint32_t length) { return to_int(length); });
            return make_tuple(std::move(term_list), std::move(lengths)).release();
        });
    });
}

/// The buffers of a sequence of bytes-like objects, held, and their views.
struct Blobs {
    std::vector<BytesArg> held;
    std::vector<std::string_view> views;
};

Blobs blobs_arg(PyObject* value, const char* name) {
    const Object items = sequence_arg(value, name);
    Blobs blobs;
    const Py_ssize_t n = PyTuple_Size(items.get());
    blobs.held.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        blobs.held.emplace_back(PyTuple_GetItem(items.get(), i), name);
        blobs.views.push_back(blobs.held.back().view());
    }
    return blobs;
}

using MergeParameters = Parameters<Receiver::none, "merge", "blobs", "deleted">;

PyObject* merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_function<2>(MergeParameters::signature, args, nargs, kwnames, [](auto& arguments) {
        return refusals_translated([&] {
            const Blobs blobs = blobs_arg(arguments[0], "blobs");
            const postings::DeletedIds deleted = deleted_arg(arguments[1]);
            const postings::MergedPostings merged = postings::merge_postings(blobs.views, deleted);
            return make_tuple(to_int(merged.doc_freq), to_bytes(merged.blob)).release();
        });
    });
}

using SearchParameters = Parameters<Receiver::none, "search", "postings", "dfs", "doc_count",
                                    "total_length", "deleted", "limit">;

PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_function<6>(SearchParameters::signature, args, nargs, kwnames, [](auto& arguments) {
        return refusals_translated([&] {
            const Object term_items = sequence_arg(arguments[0], "postings");
            const Py_ssize_t term_count = PyTuple_Size(term_items.get());
            std::vector<Blobs> term_blobs;
            term_blobs.reserve(static_cast<std::size_t>(term_count));
            for (Py_ssize_t i = 0; i < term_count; ++i) {
                term_blobs.push_back(blobs_arg(PyTuple_GetItem(term_items.get(), i), "postings"));
            }
            const Object df_items = sequence_arg(arguments[1], "dfs");
            if (PyTuple_Size(df_items.get()) != term_count) {
                raise(PyExc_ValueError, "postings and dfs differ in length");
            }
            std::vector<postings::QueryTerm> query;
            for (Py_ssize_t i = 0; i < term_count; ++i) {
                query.push_back(
                    postings::QueryTerm{term_blobs[static_cast<std::size_t>(i)].views,
                                        count_arg(PyTuple_GetItem(df_items.get(), i), "dfs")});
            }
            const std::uint64_t doc_count = count_arg(arguments[2], "doc_count");
            const std::uint64_t total_length = count_arg(arguments[3], "total_length");
            const postings::DeletedIds deleted = deleted_arg(arguments[4]);
            const std::uint64_t limit = count_arg(arguments[5], "limit");
            const auto hits = postings::search_postings(query, doc_count, total_length, deleted,
                                                        static_cast<std::size_t>(limit));
            return make_list(hits,
                             [](const postings::Hit& hit) {
                                 return make_tuple(to_int(hit.id), to_float(hit.score));
                             })
                .release();
        });
    });
}

using DecodeParameters = Parameters<Receiver::none, "decode", "blob">;

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_function<1>(DecodeParameters::signature, args, nargs, kwnames, [](auto& arguments) {
        return refusals_translated([&] {
            const BytesArg blob(arguments[0], "blob");
            return make_list(postings::decode_postings(blob.view()),
                             [](const postings::Posting& p) {
                                 return make_tuple(to_int(p.id), to_int(p.tf), to_int(p.length));
                             })
                .release();
        });
    });
}

using NearestParameters =
    Parameters<Receiver::none, "nearest", "codes", "scales", "query", "limit">;

PyObject* nearest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_function<4>(NearestParameters::signature, args, nargs, kwnames, [](auto& arguments) {
        return refusals_translated([&] {
            const BytesArg codes(arguments[0], "codes");
            const BytesArg scale_bytes(arguments[1], "scales");
            const BytesArg query(arguments[2], "query");
            const std::uint64_t limit = count_arg(arguments[3], "limit");
            if (scale_bytes.view().size() % sizeof(float) != 0) {
                raise(PyExc_ValueError, "scales is not a whole number of float32 values");
            }
            // Copied, not cast: a caller's buffer need not be aligned for floats.
            std::vector<float> scales(scale_bytes.view().size() / sizeof(float));
            if (!scales.empty()) {
                std::memcpy(scales.data(), scale_bytes.view().data(), scale_bytes.view().size());
            }
            const auto as_int8 = [](std::string_view bytes) {
                return std::span<const std::int8_t>(
                    reinterpret_cast<const std::int8_t*>(bytes.data()), bytes.size());
            };
            const auto found =
                postings::nearest_rows(as_int8(codes.view()), scales, as_int8(query.view()),
                                       static_cast<std::size_t>(limit));
            return make_list(found,
                             [](const postings::Neighbour& n) {
                                 return make_tuple(sized(n.row), to_float(n.score));
                             })
                .release();
        });
    });
}

PyMethodDef g_functions[] = {
    function_def<TermsParameters, "The analysed terms of text, in order, repeats kept.">(terms),
    function_def<SpansParameters,
                 "(start, end) code-point offsets of every token of text whose term is in "
                 "wanted, in order.">(spans),
    function_def<SegmentParameters,
                 "(term, df, blob) for every distinct term of the texts, sorted by the terms' "
                 "UTF-8 bytes, and each text's length in terms.">(segment),
    function_def<MergeParameters,
                 "(df, blob) of one term's postings from several segments, without the "
                 "deleted ids; (0, b'') when none survives.">(merge),
    function_def<SearchParameters,
                 "The limit best live documents as (id, score), score descending, ties by "
                 "id ascending.">(search),
    function_def<DecodeParameters, "(id, tf, length) of every posting of blob.">(decode),
    function_def<NearestParameters,
                 "The limit best rows of the int8 codes (rows of len(query) bytes) as (row, "
                 "score), score = scale[row] * dot(codes[row], query), descending, ties by "
                 "row.">(nearest),
    {nullptr, nullptr, 0, nullptr} /* sentinel */,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_postings",
    "Postings blobs of the knowledge base's stored BM25 index: analysis, encoding, merging "
    "and exact top-k search.",
    0,
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialise() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter < 0) throw PythonError();
    if (g_interpreter_id >= 0 && g_interpreter_id != interpreter) {
        raise(PyExc_ImportError,
              "revuradova._postings can be used by one interpreter per process only");
    }
    if (g_module != nullptr) return Object::borrow(g_module).release();

    Object module = Object::checked(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
    Object corrupt = Object::checked(PyErr_NewExceptionWithDoc(
        "revuradova._postings.CorruptPostings",
        "A postings blob that is not well-formed; the message starts with "
        "'corrupt postings: '.",
        PyExc_ValueError, nullptr));
    add_module_attribute(module.get(), "CorruptPostings", corrupt.get());
    for (const PyMethodDef* def = g_functions; def->ml_name != nullptr; ++def) {
        Object function = Object::checked(PyObject_GetAttrString(module.get(), def->ml_name));
        add_module_attribute(module.get(), def->ml_name, function.get());
    }

    g_interpreter_id = interpreter;
    g_corrupt_postings = corrupt.release();  // the process keeps one reference
    g_module = Object(module).release();
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__postings(void) {
    return guard([] { return initialise(); });
}
