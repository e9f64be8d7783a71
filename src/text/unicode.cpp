#include "text/unicode.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace revuradova::text {
namespace {

#include "text/unicode_tables.generated.inc"

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;

// Start of the code point that ends just before `pos` (malformed bytes count singly).
std::size_t previous_start(std::string_view text, std::size_t pos) {
    std::size_t start = pos - 1;
    const std::size_t limit = pos >= 4 ? pos - 4 : 0;
    while (start > limit && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t probe = start;
    decode_utf8(text, probe);
    return probe == pos ? start : pos - 1;
}

// Final_Sigma: preceded by a cased letter (skipping case-ignorables) and not followed by
// one (skipping case-ignorables).
bool is_final_sigma(std::string_view text, std::size_t pos, std::size_t next) {
    bool preceded_by_cased = false;
    for (std::size_t at = pos; at > 0;) {
        at = previous_start(text, at);
        std::size_t probe = at;
        const std::uint8_t props = properties(decode_utf8(text, probe));
        if (props & kCaseIgnorable) continue;
        preceded_by_cased = (props & kCased) != 0;
        break;
    }
    if (!preceded_by_cased) return false;
    for (std::size_t at = next; at < text.size();) {
        const std::uint8_t props = properties(decode_utf8(text, at));
        if (props & kCaseIgnorable) continue;
        return (props & kCased) == 0;
    }
    return true;
}

}  // namespace

const char kAsciiLower[128] = {
#define ROW(b) static_cast<char>((b) >= 'A' && (b) <= 'Z' ? (b) + 32 : (b))
    ROW(0),   ROW(1),   ROW(2),   ROW(3),   ROW(4),   ROW(5),   ROW(6),   ROW(7),   ROW(8),
    ROW(9),   ROW(10),  ROW(11),  ROW(12),  ROW(13),  ROW(14),  ROW(15),  ROW(16),  ROW(17),
    ROW(18),  ROW(19),  ROW(20),  ROW(21),  ROW(22),  ROW(23),  ROW(24),  ROW(25),  ROW(26),
    ROW(27),  ROW(28),  ROW(29),  ROW(30),  ROW(31),  ROW(32),  ROW(33),  ROW(34),  ROW(35),
    ROW(36),  ROW(37),  ROW(38),  ROW(39),  ROW(40),  ROW(41),  ROW(42),  ROW(43),  ROW(44),
    ROW(45),  ROW(46),  ROW(47),  ROW(48),  ROW(49),  ROW(50),  ROW(51),  ROW(52),  ROW(53),
    ROW(54),  ROW(55),  ROW(56),  ROW(57),  ROW(58),  ROW(59),  ROW(60),  ROW(61),  ROW(62),
    ROW(63),  ROW(64),  ROW(65),  ROW(66),  ROW(67),  ROW(68),  ROW(69),  ROW(70),  ROW(71),
    ROW(72),  ROW(73),  ROW(74),  ROW(75),  ROW(76),  ROW(77),  ROW(78),  ROW(79),  ROW(80),
    ROW(81),  ROW(82),  ROW(83),  ROW(84),  ROW(85),  ROW(86),  ROW(87),  ROW(88),  ROW(89),
    ROW(90),  ROW(91),  ROW(92),  ROW(93),  ROW(94),  ROW(95),  ROW(96),  ROW(97),  ROW(98),
    ROW(99),  ROW(100), ROW(101), ROW(102), ROW(103), ROW(104), ROW(105), ROW(106), ROW(107),
    ROW(108), ROW(109), ROW(110), ROW(111), ROW(112), ROW(113), ROW(114), ROW(115), ROW(116),
    ROW(117), ROW(118), ROW(119), ROW(120), ROW(121), ROW(122), ROW(123), ROW(124), ROW(125),
    ROW(126), ROW(127),
#undef ROW
};

std::string_view unicode_version() { return kUnicodeVersion; }

std::uint8_t properties(char32_t cp) {
    if (cp > 0x10FFFF) return 0;
    return kFlagBlocks[kFlagBlockIndex[cp >> 8]][cp & 0xFF];
}

char32_t decode_utf8(std::string_view text, std::size_t& pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    std::size_t length;
    char32_t cp;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        ++pos;
        return kReplacementCharacter;
    }
    if (text.size() - pos < length) {
        ++pos;
        return kReplacementCharacter;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(pos + i);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return kReplacementCharacter;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return kReplacementCharacter;
    }
    pos += length;
    return cp;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        const char bytes[2] = {static_cast<char>(0xC0 | (cp >> 6)),
                               static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 2);
    } else if (cp < 0x10000) {
        const char bytes[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                               static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                               static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 3);
    } else {
        const char bytes[4] = {
            static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
            static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 4);
    }
}

int lower_code_point(std::string_view text, std::size_t pos, std::size_t next, char32_t cp,
                     char32_t out[3]) {
    if (!(properties(cp) & kChangesWhenLowered)) {
        out[0] = cp;
        return 1;
    }
    if (cp == kCapitalSigma) {
        out[0] = is_final_sigma(text, pos, next) ? kFinalSigma : kSmallSigma;
        return 1;
    }
    const auto* simple = std::lower_bound(std::begin(kSimpleLowerFrom), std::end(kSimpleLowerFrom),
                                          static_cast<std::uint32_t>(cp));
    if (simple != std::end(kSimpleLowerFrom) && *simple == cp) {
        out[0] = kSimpleLowerTo[simple - std::begin(kSimpleLowerFrom)];
        return 1;
    }
    for (const SpecialLower& special : kSpecialLower) {
        if (special.from == cp) {
            std::copy_n(special.to, special.size, out);
            return special.size;
        }
    }
    out[0] = cp;
    return 1;
}

void append_lowercase(std::string_view text, std::string& out) {
    out.reserve(out.size() + text.size());
    std::size_t pos = 0;
    while (pos < text.size()) {
        // ASCII runs are copied through the table without decoding.
        std::size_t run = pos;
        while (run < text.size() && static_cast<unsigned char>(text[run]) < 0x80) ++run;
        if (run > pos) {
            const std::size_t start = out.size();
            out.resize(start + (run - pos));
            char* dest = out.data() + start;
            for (std::size_t i = pos; i < run; ++i) {
                *dest++ = kAsciiLower[static_cast<unsigned char>(text[i])];
            }
            pos = run;
            continue;
        }
        const std::size_t start = pos;
        const char32_t cp = decode_utf8(text, pos);
        char32_t lowered[3];
        const int count = lower_code_point(text, start, pos, cp, lowered);
        for (int i = 0; i < count; ++i) append_utf8(out, lowered[i]);
    }
}

std::string to_lowercase(std::string_view text) {
    std::string out;
    append_lowercase(text, out);
    return out;
}

std::vector<std::string_view> split_white_space(std::string_view text) {
    std::vector<std::string_view> pieces;
    std::size_t pos = 0;
    std::size_t piece_start = 0;
    bool in_piece = false;
    while (pos < text.size()) {
        const std::size_t start = pos;
        const char32_t cp = decode_utf8(text, pos);
        if (is_white_space(cp)) {
            if (in_piece) pieces.push_back(text.substr(piece_start, start - piece_start));
            in_piece = false;
        } else if (!in_piece) {
            piece_start = start;
            in_piece = true;
        }
    }
    if (in_piece) pieces.push_back(text.substr(piece_start));
    return pieces;
}

bool is_ascii(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
#if defined(__SSE2__)
    // 64 bytes an iteration: OR the blocks, then test every byte's top bit at once.
    for (; i + 64 <= text.size(); i += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i + 48));
        const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        if (_mm_movemask_epi8(any) != 0) return false;
    }
#endif
    std::uint64_t any_high = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        any_high |= word;
    }
    for (; i < text.size(); ++i) any_high |= bytes[i];
    return (any_high & 0x8080808080808080ULL) == 0;
}

}  // namespace revuradova::text
