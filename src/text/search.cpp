#include "text/search.hpp"

#include <cstdint>
#include <cstring>

#include "text/unicode.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define REVURADOVA_AVX2_DISPATCH 1
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace revuradova::text {
namespace {

// Substring search after W. Muła's "SIMD-friendly algorithms for substring searching":
// 16 positions at a time are filtered by comparing their first and last byte with the
// needle's, and only survivors are verified. With `Fold`, haystack bytes are compared with
// bit 0x20 set, which maps 'A'..'Z' onto 'a'..'z' and never rejects a true match; the
// verification then compares ASCII lower-case forms exactly.
template <bool Fold>
bool verify(const unsigned char* at, std::string_view needle) {
    for (std::size_t j = 0; j < needle.size(); ++j) {
        unsigned char byte = at[j];
        if constexpr (Fold) {
            if (byte >= 0x80) return false;
            byte = static_cast<unsigned char>(kAsciiLower[byte]);
        }
        if (byte != static_cast<unsigned char>(needle[j])) return false;
    }
    return true;
}

// One instruction set's vector operations for the block filter below.
#if defined(__SSE2__)
struct Sse2 {
    using Vector = __m128i;
    static constexpr std::size_t kWidth = 16;
    static Vector splat(unsigned char byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
    static Vector zero() { return _mm_setzero_si128(); }
    static Vector load(const unsigned char* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    }
    static Vector bit_or(Vector a, Vector b) { return _mm_or_si128(a, b); }
    // Bit k set where a[k] == x[k] and b[k] == y[k].
    static unsigned both_equal(Vector a, Vector x, Vector b, Vector y) {
        return static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, x), _mm_cmpeq_epi8(b, y))));
    }
    static bool any_high_bit(Vector v) { return _mm_movemask_epi8(v) != 0; }
};
#endif

#if defined(REVURADOVA_AVX2_DISPATCH)
// The AVX2 operations pass 32-byte vectors by value. GCC warns that this differs from the
// baseline ABI; they are only ever inlined into search_avx2 (flatten), so no such call is made.
#pragma GCC diagnostic ignored "-Wpsabi"
#define REVURADOVA_AVX2 __attribute__((target("avx2")))
struct Avx2 {
    using Vector = __m256i;
    static constexpr std::size_t kWidth = 32;
    REVURADOVA_AVX2 static Vector splat(unsigned char byte) {
        return _mm256_set1_epi8(static_cast<char>(byte));
    }
    REVURADOVA_AVX2 static Vector zero() { return _mm256_setzero_si256(); }
    REVURADOVA_AVX2 static Vector load(const unsigned char* at) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    }
    REVURADOVA_AVX2 static Vector bit_or(Vector a, Vector b) { return _mm256_or_si256(a, b); }
    REVURADOVA_AVX2 static unsigned both_equal(Vector a, Vector x, Vector b, Vector y) {
        return static_cast<unsigned>(_mm256_movemask_epi8(
            _mm256_and_si256(_mm256_cmpeq_epi8(a, x), _mm256_cmpeq_epi8(b, y))));
    }
    REVURADOVA_AVX2 static bool any_high_bit(Vector v) { return _mm256_movemask_epi8(v) != 0; }
};
#endif

// The block filter: from position `i`, Simd::kWidth start positions at a time, until fewer
// than a block remain; `i` is left at the first position not filtered. With `Fold`, every
// byte the blocks start with is ORed into `seen`.
template <class Simd, bool Fold>
bool filter_blocks(const unsigned char* h, std::size_t last_start, std::string_view needle,
                   std::size_t& i, unsigned& seen) {
    const std::size_t n = needle.size();
    const unsigned char fold = Fold ? 0x20 : 0x00;
    const auto first = Simd::splat(static_cast<unsigned char>(needle[0]) | fold);
    const auto last = Simd::splat(static_cast<unsigned char>(needle[n - 1]) | fold);
    const auto fold_bits = Simd::splat(fold);
    auto any = Simd::zero();
    for (; i + Simd::kWidth <= last_start + 1; i += Simd::kWidth) {
        const auto raw_first = Simd::load(h + i);
        if constexpr (Fold) any = Simd::bit_or(any, raw_first);
        unsigned mask = Simd::both_equal(Simd::bit_or(raw_first, fold_bits), first,
                                         Simd::bit_or(Simd::load(h + i + n - 1), fold_bits), last);
        while (mask != 0) {
            const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (verify<Fold>(h + i + bit, needle)) return true;
            mask &= mask - 1;
        }
    }
    if constexpr (Fold) seen |= Simd::any_high_bit(any) ? 0x80u : 0u;
    return false;
}

// Returns whether the needle occurs; with `Fold`, also ORs every haystack byte it passes over
// into `seen` (all of them when the needle is absent), so non-ASCII input is noticed.
template <bool Fold>
bool search(std::string_view haystack, std::string_view needle, unsigned& seen) {
    const std::size_t n = needle.size();
    if (n == 0) return true;
    if (n > haystack.size()) {
        if constexpr (Fold) seen |= is_ascii(haystack) ? 0u : 0x80u;
        return false;
    }
    const auto* h = reinterpret_cast<const unsigned char*>(haystack.data());
    const std::size_t last_start = haystack.size() - n;  // last valid match position
    std::size_t i = 0;
#if defined(__SSE2__)
    if (filter_blocks<Sse2, Fold>(h, last_start, needle, i, seen)) return true;
#endif
    const std::size_t scanned = i;  // bytes before this were ORed into `seen` above
    for (; i <= last_start; ++i) {
        if (verify<Fold>(h + i, needle)) return true;
    }
    if constexpr (Fold) {
        for (std::size_t j = scanned; j < haystack.size(); ++j) seen |= h[j];
    }
    return false;
}

#if defined(REVURADOVA_AVX2_DISPATCH)
// The same filter 32 positions at a time, for processors with AVX2 (chosen at run time);
// flatten inlines the filter and its AVX2 operations here.
template <bool Fold>
REVURADOVA_AVX2 __attribute__((flatten)) bool search_avx2(std::string_view haystack,
                                                          std::string_view needle, unsigned& seen) {
    const std::size_t n = needle.size();
    if (n == 0 || n > haystack.size()) return search<Fold>(haystack, needle, seen);
    const auto* h = reinterpret_cast<const unsigned char*>(haystack.data());
    std::size_t i = 0;
    if (filter_blocks<Avx2, Fold>(h, haystack.size() - n, needle, i, seen)) return true;
    // The remaining positions (fewer than 32) go through the 16-byte path on the suffix.
    return search<Fold>(haystack.substr(i), needle, seen);
}

const bool kHasAvx2 = __builtin_cpu_supports("avx2");
#endif

template <bool Fold>
bool dispatch(std::string_view haystack, std::string_view needle, unsigned& seen, SearchPath path) {
#if defined(REVURADOVA_AVX2_DISPATCH)
    if (kHasAvx2 && path == SearchPath::Best) return search_avx2<Fold>(haystack, needle, seen);
#endif
    static_cast<void>(path);
    return search<Fold>(haystack, needle, seen);
}

}  // namespace

bool contains(std::string_view haystack, std::string_view needle, SearchPath path) {
    unsigned unused = 0;
    return dispatch<false>(haystack, needle, unused, path);
}

FoldedMatch find_ascii_folded(std::string_view haystack, std::string_view lowered_needle,
                              SearchPath path) {
    // A needle with non-ASCII bytes can only occur where the text has some too.
    if (!is_ascii(lowered_needle)) {
        return is_ascii(haystack) ? FoldedMatch::Absent : FoldedMatch::NeedsUnicode;
    }
    unsigned seen = 0;
    if (dispatch<true>(haystack, lowered_needle, seen, path)) return FoldedMatch::Found;
    return (seen & 0x80u) != 0 ? FoldedMatch::NeedsUnicode : FoldedMatch::Absent;
}

}  // namespace revuradova::text
