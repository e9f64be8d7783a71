"""The correctness oracle of the comparison: our top 10 and scores against bm25s given our
token lists, and against the plain model the tests use (32-bit, the documented order)."""

import sys
from pathlib import Path

import corpora
from systems import Revuradova

# The plain models live with the tests' oracles, written once.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
import plain_models  # noqa: E402


def oracle(texts, queries, connection):
    """Our scores and top 10 against bm25s fed our own token lists; a score that differs
    is checked against the plain model's 32-bit one."""
    import bm25s

    ours_index = Revuradova()
    ours_index.build(texts)
    token_lists = [corpora.tokenize(t) for t in texts]
    retriever = bm25s.BM25(method="atire", idf_method="lucene", k1=1.5, b=0.75)
    retriever.index(token_lists, show_progress=False)
    reference = plain_models.Bm25()
    for i, tokens in enumerate(token_lists):
        reference.index_tokens(i, tokens)

    score_mismatches, order_mismatches, examples = 0, 0, []
    explained = 0  # mismatches where ours equals the 32-bit formula computed independently
    for q in queries:
        hits = ours_index.run(q)
        ours = list(zip(ours_index.positions(hits), (score for _, score in hits), strict=True))
        query_tokens = corpora.tokenize(q)
        theirs_all = retriever.get_scores(query_tokens)
        for doc, score in ours:
            if abs(float(theirs_all[doc]) - score) > 1e-5 * abs(score):
                score_mismatches += 1
                expected32 = float(reference.score(query_tokens, doc))
                explained += abs(expected32 - score) <= 2e-7 * abs(score)
                if len(examples) < 5:
                    examples.append(
                        {
                            "query": q,
                            "doc": doc,
                            "ours": score,
                            "bm25s": float(theirs_all[doc]),
                            "float32_reference": expected32,
                        }
                    )
        order = sorted(((-float(s), i) for i, s in enumerate(theirs_all) if s > 0))[:10]
        theirs = [(i, -negative) for negative, i in order]
        if len(theirs) != len(ours):
            order_mismatches += 1
            continue
        for (our_doc, our_score), (their_doc, their_score) in zip(ours, theirs, strict=False):
            # Different documents at a rank are fine only where the scores tie.
            if our_doc != their_doc and abs(our_score - their_score) > 1e-5 * abs(our_score):
                order_mismatches += 1
                break
    connection.send(
        {
            "queries": len(queries),
            "score_mismatches": score_mismatches,
            "score_mismatches_equal_to_float32_reference": explained,
            "top10_mismatches": order_mismatches,
            "examples": examples,
        }
    )
    connection.close()
