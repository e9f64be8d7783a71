#include "models/uuid.hpp"

#include <sys/random.h>

#include <cerrno>

namespace revuradova {

void system_random_bytes(std::uint8_t* out, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = getrandom(out + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw RandomSourceError(errno);
        }
        filled += static_cast<std::size_t>(got);
    }
}

std::string format_uuid_v4(std::array<std::uint8_t, 16> bytes) {
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 9562 variant
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0x0F]);
    }
    return text;
}

std::string uuid_v4(RandomSource source) {
    std::array<std::uint8_t, 16> bytes{};
    source(bytes.data(), bytes.size());
    return format_uuid_v4(bytes);
}

}  // namespace revuradova
