#include "postings/deleted_ids.hpp"

#include <cstring>

namespace revuradova::postings {

DeletedIds DeletedIds::from_bytes(std::string_view bytes) {
    if (bytes.size() % 8 != 0) {
        throw InvalidInput("deleted ids must be 8 bytes each (signed 64-bit, little-endian), got " +
                           std::to_string(bytes.size()) + " bytes");
    }
    std::vector<std::int64_t> ids(bytes.size() / 8);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        std::uint64_t value = 0;
        for (int b = 7; b >= 0; --b) {
            value =
                value << 8 | static_cast<unsigned char>(bytes[i * 8 + static_cast<std::size_t>(b)]);
        }
        std::memcpy(&ids[i], &value, sizeof value);
    }
    return from_ids(std::move(ids));
}

DeletedIds DeletedIds::from_ids(std::vector<std::int64_t> ids) {
    for (std::size_t i = 1; i < ids.size(); ++i) {
        if (ids[i] <= ids[i - 1]) {
            throw InvalidInput("deleted ids must be strictly ascending (at index " +
                               std::to_string(i) + ")");
        }
    }
    DeletedIds deleted;
    deleted.ids_ = std::move(ids);
    return deleted;
}

}  // namespace revuradova::postings
