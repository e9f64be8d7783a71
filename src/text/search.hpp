#pragma once

#include <string_view>

namespace revuradova::text {

/// Which implementation a search runs: the widest the processor offers (AVX2 when present),
/// or the 16-byte SSE2 one, so that tests exercise both on any machine.
enum class SearchPath { Best, Sse2 };

/// True when `needle` occurs in `haystack`, byte for byte (an empty needle always does).
bool contains(std::string_view haystack, std::string_view needle,
              SearchPath path = SearchPath::Best);

/// Outcome of a search in the ASCII case-folded form of a text.
enum class FoldedMatch {
    Found,         // the needle occurs within ASCII bytes: it occurs in the lower-cased text
    Absent,        // the text is pure ASCII and the needle does not occur in its lower-case form
    NeedsUnicode,  // not found, but the text holds non-ASCII bytes: lower-case it fully to know
};

/// Looks for the ASCII `lowered_needle` in `haystack` with A-Z folded to a-z, without
/// building a lower-cased copy. Non-ASCII bytes never match; whether the haystack holds any
/// is noticed on the way, so callers need no separate pass to check it.
FoldedMatch find_ascii_folded(std::string_view haystack, std::string_view lowered_needle,
                              SearchPath path = SearchPath::Best);

}  // namespace revuradova::text
