#include "postings/crc32.hpp"

#include <array>
#include <cstddef>

namespace revuradova::postings {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// Slicing by sixteen: kTables[0] is the classic byte table; kTables[k][b] is the CRC of byte b
// followed by k zero bytes, so that sixteen bytes are folded in with sixteen independent
// look-ups. A term common in a large base has a postings blob of a few hundred kilobytes,
// checked on every query.
constexpr std::size_t kSlices = 16;
constexpr auto kTables = [] {
    std::array<std::array<std::uint32_t, 256>, kSlices> tables{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) != 0 ? kPolynomial : 0u);
        tables[0][b] = crc;
    }
    for (std::size_t k = 1; k < kSlices; ++k) {
        for (std::size_t b = 0; b < 256; ++b) {
            const std::uint32_t previous = tables[k - 1][b];
            tables[k][b] = (previous >> 8) ^ tables[0][previous & 0xFFu];
        }
    }
    return tables;
}();

}  // namespace

std::uint32_t crc32(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t size = bytes.size();
    std::uint32_t crc = 0xFFFFFFFFu;
    const auto word_at = [](const unsigned char* at) {
        // Little-endian, assembled byte by byte: no dependence on byte order or alignment.
        return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
               static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
    };
    while (size >= kSlices) {
        const std::uint32_t first = word_at(data) ^ crc;
        const std::uint32_t second = word_at(data + 4);
        const std::uint32_t third = word_at(data + 8);
        const std::uint32_t fourth = word_at(data + 12);
        crc = kTables[15][first & 0xFFu] ^ kTables[14][(first >> 8) & 0xFFu] ^
              kTables[13][(first >> 16) & 0xFFu] ^ kTables[12][first >> 24] ^
              kTables[11][second & 0xFFu] ^ kTables[10][(second >> 8) & 0xFFu] ^
              kTables[9][(second >> 16) & 0xFFu] ^ kTables[8][second >> 24] ^
              kTables[7][third & 0xFFu] ^ kTables[6][(third >> 8) & 0xFFu] ^
              kTables[5][(third >> 16) & 0xFFu] ^ kTables[4][third >> 24] ^
              kTables[3][fourth & 0xFFu] ^ kTables[2][(fourth >> 8) & 0xFFu] ^
              kTables[1][(fourth >> 16) & 0xFFu] ^ kTables[0][fourth >> 24];
        data += kSlices;
        size -= kSlices;
    }
    for (; size > 0; --size, ++data) crc = (crc >> 8) ^ kTables[0][(crc ^ *data) & 0xFFu];
    return crc ^ 0xFFFFFFFFu;
}

}  // namespace revuradova::postings
