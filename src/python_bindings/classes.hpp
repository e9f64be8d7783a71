#pragma once

// The registered classes, in the order in which the module adds them.

#include "python_bindings/type_builder.hpp"

namespace revuradova::py {

LazyType& knowledge_object_type();
LazyType& bm25_indexer_type();
LazyType& query_intent_type();
LazyType& retrieval_orchestrator_type();
LazyType& query_understanding_type();

}  // namespace revuradova::py
