#pragma once

// CRC-32 of IEEE 802.3 (the checksum of zip, gzip and PNG): reflected polynomial
// 0xEDB88320, initial value and final xor 0xFFFFFFFF. crc32("123456789") == 0xCBF43926.

#include <cstdint>
#include <string_view>

namespace revuradova::postings {

std::uint32_t crc32(std::string_view bytes);

}  // namespace revuradova::postings
