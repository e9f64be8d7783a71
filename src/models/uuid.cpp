#include "models/uuid.hpp"

#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>

namespace revuradova {
namespace {

void fill_from_system(std::uint8_t* out, std::size_t size) {
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

// Small requests (an identifier's 16 bytes) are served from a per-thread buffer filled by
// one system call for many of them. A forked child forgets what its parent had buffered,
// so the two never hand out the same bytes; without that hook nothing is buffered.
constexpr std::size_t kBuffered = 512;
constexpr std::size_t kLargestBuffered = 64;

struct Buffered {
    std::array<std::uint8_t, kBuffered> bytes{};
    std::size_t left = 0;  // the last `left` bytes are unused
};
thread_local Buffered buffered;

void forget_buffered() { buffered.left = 0; }

bool buffering_is_fork_safe() {
    static const bool registered = pthread_atfork(nullptr, nullptr, forget_buffered) == 0;
    return registered;
}

}  // namespace

void system_random_bytes(std::uint8_t* out, std::size_t size) {
    if (size > kLargestBuffered || !buffering_is_fork_safe()) {
        fill_from_system(out, size);
        return;
    }
    if (buffered.left < size) {
        buffered.left = 0;  // a failed refill leaves nothing half-used behind
        fill_from_system(buffered.bytes.data(), kBuffered);
        buffered.left = kBuffered;
    }
    std::uint8_t* from = buffered.bytes.data() + (kBuffered - buffered.left);
    std::copy_n(from, size, out);
    std::fill_n(from, size, std::uint8_t{0});  // handed-out bytes are not kept
    buffered.left -= size;
}

namespace {

// Where each of the 16 bytes' two hex digits start in the 8-4-4-4-12 text, and the dashes.
constexpr std::array<std::uint8_t, 16> kByteAt = {0,  2,  4,  6,  9,  11, 14, 16,
                                                  19, 21, 24, 26, 28, 30, 32, 34};
constexpr std::array<std::uint8_t, 4> kDashAt = {8, 13, 18, 23};

// Lower-case hex digits' values; 0xFF for every other byte.
constexpr auto kHexValue = [] {
    std::array<std::uint8_t, 256> table{};
    table.fill(0xFF);
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<std::uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<std::uint8_t>(c - 'a' + 10);
    return table;
}();

// The 36 characters of the version-4 UUID made of `bytes`, written to `out`.
void write_uuid_v4(std::array<std::uint8_t, 16> bytes, char* out) {
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 9562 variant
    write_uuid_text(bytes.data(), out);
}

}  // namespace

void write_uuid_text(const std::uint8_t* bytes, char* out) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < kByteAt.size(); ++i) {
        out[kByteAt[i]] = kHex[bytes[i] >> 4];
        out[kByteAt[i] + 1] = kHex[bytes[i] & 0x0F];
    }
    for (const std::uint8_t at : kDashAt) out[at] = '-';
}

// Every digit is read whatever the others hold (no branch a byte): identifiers are parsed
// once for every document an index takes in.
bool parse_uuid_text(std::string_view text, std::uint8_t* out) {
    if (text.size() != kUuidCharacters) return false;
    const auto* chars = reinterpret_cast<const unsigned char*>(text.data());
    std::array<std::uint8_t, 16> bytes{};
    unsigned bad = 0;
    for (std::size_t i = 0; i < kByteAt.size(); ++i) {
        const std::uint8_t high = kHexValue[chars[kByteAt[i]]];
        const std::uint8_t low = kHexValue[chars[kByteAt[i] + 1]];
        bad |= high | low;
        bytes[i] = static_cast<std::uint8_t>(high << 4 | (low & 0x0F));
    }
    unsigned dashes = 0;  // zero when every dash is one
    for (const std::uint8_t at : kDashAt) dashes |= chars[at] ^ static_cast<unsigned char>('-');
    if ((bad & 0xF0) != 0 || dashes != 0) return false;  // a digit's 0xFF sets the high bits
    std::copy(bytes.begin(), bytes.end(), out);
    return true;
}

std::string format_uuid_v4(std::array<std::uint8_t, 16> bytes) {
    std::string text(kUuidCharacters, '\0');
    write_uuid_v4(bytes, text.data());
    return text;
}

std::string uuid_v4(RandomSource source, std::string_view prefix) {
    std::array<std::uint8_t, 16> bytes{};
    source(bytes.data(), bytes.size());
    std::string text(prefix.size() + kUuidCharacters, '\0');
    prefix.copy(text.data(), prefix.size());
    write_uuid_v4(bytes, text.data() + prefix.size());
    return text;
}

}  // namespace revuradova
