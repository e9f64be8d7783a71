#pragma once

// The BM25 formula, alone. Okapi BM25 (Robertson and Zaragoza, "The Probabilistic
// Relevance Framework: BM25 and Beyond", 2009) with the idf of Lucene: 1 added inside the
// logarithm keeps it positive, since a term's document frequency never exceeds N.
//
//   K      = ((length / avgdl) * b + (1 - b)) * k1
//   idf    = ln(((N - df) + 0.5) / (df + 0.5) + 1)
//   weight = ((tf * (k1 + 1)) / (K + tf)) * idf
//
// Every step is a 32-bit float operation in the order written; the build forbids
// contraction into fused multiply-adds, so the results are reproducible bit for bit.

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace revuradova {

struct BM25Scorer {
    static constexpr float kK1 = 1.5f;
    static constexpr float kB = 0.75f;
    static constexpr float kOneMinusB = 1.0f - kB;
    static constexpr float kK1PlusOne = kK1 + 1.0f;
    static constexpr float kSmoothing = 0.5f;
    static constexpr float kIdfOffset = 1.0f;

    /// K of a document of `length` tokens.
    static float length_normalisation(float length, float avg_doc_length) {
        return ((length / avg_doc_length) * kB + kOneMinusB) * kK1;
    }

    static float inverse_document_frequency(std::size_t doc_count, std::size_t doc_freq) {
        const float n = static_cast<float>(doc_count);
        const float df = static_cast<float>(doc_freq);
        return std::log(((n - df) + kSmoothing) / (df + kSmoothing) + kIdfOffset);
    }

    /// The weight before the idf: (tf * (k1 + 1)) / (K + tf).
    static float saturation(std::uint32_t term_frequency, float normalisation) {
        const float tf = static_cast<float>(term_frequency);
        return (tf * kK1PlusOne) / (normalisation + tf);
    }

    static float term_weight(std::uint32_t term_frequency, float normalisation, float idf) {
        return saturation(term_frequency, normalisation) * idf;
    }
};

}  // namespace revuradova
