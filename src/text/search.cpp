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

// Whether the needle occurs at `at + b` for some set bit b of `mask` (the filter's survivors).
template <bool Fold>
bool verify_any(const unsigned char* at, unsigned mask, std::string_view needle) {
    for (; mask != 0; mask &= mask - 1) {
        if (verify<Fold>(at + __builtin_ctz(mask), needle)) return true;
    }
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
    const unsigned char fold = Fold ? 0x20 : 0x00;
    const __m128i first =
        _mm_set1_epi8(static_cast<char>(static_cast<unsigned char>(needle[0]) | fold));
    const __m128i last =
        _mm_set1_epi8(static_cast<char>(static_cast<unsigned char>(needle[n - 1]) | fold));
    const __m128i fold_bits = _mm_set1_epi8(static_cast<char>(fold));
    __m128i any = _mm_setzero_si128();
    for (; i + 16 <= last_start + 1; i += 16) {
        const __m128i raw_first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i));
        if constexpr (Fold) any = _mm_or_si128(any, raw_first);
        const __m128i block_first = _mm_or_si128(raw_first, fold_bits);
        const __m128i block_last = _mm_or_si128(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + i + n - 1)), fold_bits);
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(block_first, first), _mm_cmpeq_epi8(block_last, last))));
        if (verify_any<Fold>(h + i, mask, needle)) return true;
    }
    if (i <= last_start && last_start >= 15) {
        // The last positions: one more block, ending at the last start and overlapping
        // positions already filtered, whose bits are shifted out.
        const std::size_t start = last_start - 15;
        const __m128i raw_first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + start));
        const __m128i raw_last =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(h + start + n - 1));
        const __m128i block_first = _mm_or_si128(raw_first, fold_bits);
        const __m128i block_last = _mm_or_si128(raw_last, fold_bits);
        const auto mask =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(
                _mm_cmpeq_epi8(block_first, first), _mm_cmpeq_epi8(block_last, last)))) >>
            (i - start);
        if (verify_any<Fold>(h + i, mask, needle)) return true;
        if constexpr (Fold) {
            // The two blocks cover [start, start + 16) and [start + n - 1, end); with the
            // loop's [0, i) that is every byte unless the needle is longer than 17.
            any = _mm_or_si128(any, _mm_or_si128(raw_first, raw_last));
            seen |= _mm_movemask_epi8(any) != 0 ? 0x80u : 0u;
            if (n > 17) seen |= is_ascii(haystack.substr(start + 16, n - 17)) ? 0u : 0x80u;
        }
        return false;
    }
    if constexpr (Fold) seen |= static_cast<unsigned>(_mm_movemask_epi8(any)) != 0 ? 0x80u : 0u;
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
// The same filter 32 positions at a time, for processors with AVX2 (chosen at run time).
template <bool Fold>
__attribute__((target("avx2"))) bool search_avx2(std::string_view haystack, std::string_view needle,
                                                 unsigned& seen) {
    const std::size_t n = needle.size();
    if (n == 0) return true;
    if (n > haystack.size()) return search<Fold>(haystack, needle, seen);
    const auto* h = reinterpret_cast<const unsigned char*>(haystack.data());
    const std::size_t last_start = haystack.size() - n;
    const unsigned char fold = Fold ? 0x20 : 0x00;
    const __m256i first =
        _mm256_set1_epi8(static_cast<char>(static_cast<unsigned char>(needle[0]) | fold));
    const __m256i last =
        _mm256_set1_epi8(static_cast<char>(static_cast<unsigned char>(needle[n - 1]) | fold));
    const __m256i fold_bits = _mm256_set1_epi8(static_cast<char>(fold));
    __m256i any = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 32 <= last_start + 1; i += 32) {
        const __m256i raw_first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + i));
        if constexpr (Fold) any = _mm256_or_si256(any, raw_first);
        const __m256i block_first = _mm256_or_si256(raw_first, fold_bits);
        const __m256i block_last = _mm256_or_si256(
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + i + n - 1)), fold_bits);
        const auto mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(
            _mm256_cmpeq_epi8(block_first, first), _mm256_cmpeq_epi8(block_last, last))));
        if (verify_any<Fold>(h + i, mask, needle)) return true;
    }
    if (i <= last_start && last_start >= 31) {
        // The last positions: one more block, ending at the last start and overlapping
        // positions already filtered, whose bits are shifted out.
        const std::size_t start = last_start - 31;
        const __m256i raw_first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + start));
        const __m256i raw_last =
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(h + start + n - 1));
        const __m256i block_first = _mm256_or_si256(raw_first, fold_bits);
        const __m256i block_last = _mm256_or_si256(raw_last, fold_bits);
        const auto mask =
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(
                _mm256_cmpeq_epi8(block_first, first), _mm256_cmpeq_epi8(block_last, last)))) >>
            (i - start);
        if (verify_any<Fold>(h + i, mask, needle)) return true;
        if constexpr (Fold) {
            // The two blocks cover [start, start + 32) and [start + n - 1, end); with the
            // loop's [0, i) that is every byte unless the needle is longer than 33.
            any = _mm256_or_si256(any, _mm256_or_si256(raw_first, raw_last));
            seen |= _mm256_movemask_epi8(any) != 0 ? 0x80u : 0u;
            if (n > 33) seen |= is_ascii(haystack.substr(start + 32, n - 33)) ? 0u : 0x80u;
        }
        return false;
    }
    if constexpr (Fold) seen |= _mm256_movemask_epi8(any) != 0 ? 0x80u : 0u;
    // The remaining positions (fewer than 32) go through the 16-byte path on the suffix.
    const std::string_view rest = haystack.substr(i);
    return search<Fold>(rest, needle, seen);
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
