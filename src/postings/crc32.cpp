#include "postings/crc32.hpp"

#include <array>
#include <cstddef>

namespace revuradova::postings {
namespace {

constexpr std::uint32_t kPolynomial = 0xEDB88320u;

// Slicing by eight: kTables[0] is the classic byte table; kTables[k][b] is the CRC of byte b
// followed by k zero bytes, so that eight bytes are folded in with eight look-ups at once.
// A term common in a large base has a postings blob of a few hundred kilobytes, checked on
// every query.
constexpr auto kTables = [] {
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) != 0 ? kPolynomial : 0u);
        tables[0][b] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
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
    while (size >= 8) {
        // Little-endian words, assembled byte by byte so that the result does not depend on
        // the machine's byte order or alignment.
        const std::uint32_t low =
            (static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
             static_cast<std::uint32_t>(data[2]) << 16 |
             static_cast<std::uint32_t>(data[3]) << 24) ^
            crc;
        crc = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^
              kTables[5][(low >> 16) & 0xFFu] ^ kTables[4][low >> 24] ^ kTables[3][data[4]] ^
              kTables[2][data[5]] ^ kTables[1][data[6]] ^ kTables[0][data[7]];
        data += 8;
        size -= 8;
    }
    for (; size > 0; --size, ++data) crc = (crc >> 8) ^ kTables[0][(crc ^ *data) & 0xFFu];
    return crc ^ 0xFFFFFFFFu;
}

}  // namespace revuradova::postings
