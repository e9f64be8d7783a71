// Random progressive searches against a plain implementation of the four stages: the
// orchestrator's road (understood intent, real clock) and the stage operations with
// criteria only C++ callers can set (fixed clock).

#include <cstdlib>

#include "fuzz_input.hpp"
#include "retrieval/orchestrator.hpp"
#include "support/plain_models.hpp"

using namespace revuradova;

namespace {

constexpr std::string_view kWords[] = {"how",  "do",      "I",       "process",    "policy", "What",
                                       "is",   "compare", "trend",   "report",     "Report", "café",
                                       "CAFÉ", "?",       "expense", "compliance", "x"};
constexpr std::string_view kDomains[] = {"finance", "hr compliance", "Compliance", "", "eng"};

void check(bool condition) {
    if (!condition) std::abort();
}

UtcTimestamp shifted(const UtcTimestamp& base, std::int64_t days) {
    return UtcTimestamp::from_unix(base.unix_seconds() + days * 86400, base.nanoseconds);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    const UtcTimestamp now = UtcTimestamp::now();
    std::vector<KnowledgeObject> objects(input.below(12));
    for (KnowledgeObject& object : objects) {
        object.id = "id" + std::to_string(input.below(8));
        object.knowledge_type = static_cast<KnowledgeType>(input.below(7));
        object.domain = std::string(kDomains[input.below(std::size(kDomains))]);
        object.content = input.words(kWords, 10);
        object.created_at = shifted(now, static_cast<std::int64_t>(input.below(5)) - 2);
        // Windows a day or more away from now, so the real clock cannot straddle a bound.
        if (input.below(4) == 0) object.valid_until = shifted(now, input.below(2) ? 1 : -1);
        if (input.below(4) == 0) object.valid_from = shifted(now, input.below(2) ? 1 : -1);
    }
    plain::FilterModel::Docs docs;
    for (const KnowledgeObject& object : objects) docs.push_back(&object);
    const std::string query = input.words(kWords, 6);
    const std::uint64_t limit = input.below(6);

    // The orchestrator's road.
    const RetrievalOrchestrator orchestrator(
        OrchestratorConfig{limit, false, false, false, false, true});
    const RetrievalResult result = orchestrator.search(query, docs);
    const QueryContext understood = understand_query(query);
    using M = plain::FilterModel;
    M::Ids want = M::stage1(understood, docs);
    for (int stage = 2; stage <= 4 && !want.empty(); ++stage) {
        if (stage == 2) want = M::stage2(understood, docs, want);
        if (stage == 3) want = M::stage3(understood, docs, want, now);
        if (stage == 4) want = M::stage4(understood, docs, want, limit);
    }
    check(result.final_ids == want);
    // The same road with the contents' digests (some documents without) finds the same.
    std::vector<text::ContentDigest> made;
    for (const KnowledgeObject& object : objects)
        made.push_back(text::ContentDigest::of(object.content));
    std::vector<const text::ContentDigest*> digests;
    for (const text::ContentDigest& digest : made)
        digests.push_back(input.below(4) ? &digest : nullptr);
    const SearchOptions with_digests{
        .record_stage_ids = true, .identifiers_follow_objects = false, .digests = digests};
    check(orchestrator.search(query, docs, with_digests).final_ids == want);

    // The stage operations with criteria.
    QueryContext context = understood;
    if (input.below(2))
        context.domains.push_back(std::string(kDomains[input.below(std::size(kDomains))]));
    if (input.below(2))
        context.knowledge_types.push_back(static_cast<KnowledgeType>(input.below(7)));
    if (input.below(2))
        context.entities.push_back(std::string(kWords[input.below(std::size(kWords))]));
    if (input.below(3) == 0) context.time_range = TimeRange{shifted(now, -1), std::nullopt};
    Span span = SpanBuilder::create("t", "s", "n").build();
    TextList ids = ProgressiveFilter::stage1_source_relevance(context, docs, span).document_ids;
    M::Ids plain_ids = M::stage1(context, docs);
    check(ids == plain_ids);
    ids.push_back("unknown");
    plain_ids.push_back("unknown");
    ids = ProgressiveFilter::stage2_type_domain(context, docs, ids, span).document_ids;
    plain_ids = M::stage2(context, docs, plain_ids);
    check(ids == plain_ids);
    ids = ProgressiveFilter::stage3_freshness(context, docs, ids, span, now).document_ids;
    plain_ids = M::stage3(context, docs, plain_ids, now);
    check(ids == plain_ids);
    ids =
        ProgressiveFilter::stage4_semantic_reranking(context, docs, ids, limit, span).document_ids;
    check(ids == M::stage4(context, docs, plain_ids, limit));
    check(span.events.size() == 4);
    return 0;
}
