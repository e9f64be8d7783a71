#include "util/text_hash.hpp"

#include <sys/random.h>

#include <cerrno>
#include <chrono>

namespace revuradova::text {
namespace {

bool fill_from_random_source(HashKey& key) noexcept {
    auto* out = reinterpret_cast<unsigned char*>(key.words);
    std::size_t filled = 0;
    while (filled < sizeof key.words) {
        const ssize_t got = getrandom(out + filled, sizeof key.words - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

// Not secret, but not known ahead of time either: clocks and where things were mapped.
void fill_from_environment(HashKey& key) noexcept {
    const auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    const auto steady =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto stack = reinterpret_cast<std::uintptr_t>(&key);
    const auto code = reinterpret_cast<std::uintptr_t>(&fill_from_environment);
    std::uint64_t state = now ^ 0x9E3779B97F4A7C15ull;
    const std::uint64_t inputs[4] = {steady, stack, code, now >> 17};
    for (int i = 0; i < 4; ++i) {
        state =
            detail::mix(state ^ inputs[i], 0xD6E8FEB86659FD93ull + static_cast<std::uint64_t>(i));
        key.words[i] = state;
    }
}

HashKey draw_key() noexcept {
    HashKey key{};
    if (!fill_from_random_source(key)) fill_from_environment(key);
    // An odd multiplier side keeps every product invertible in its low half.
    for (std::uint64_t& word : key.words) word |= 1;
    return key;
}

}  // namespace

const HashKey& process_hash_key() noexcept {
    static const HashKey key = draw_key();
    return key;
}

}  // namespace revuradova::text
