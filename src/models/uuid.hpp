#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace revuradova {

/// The operating system's random source failed; carries the system's error code.
class RandomSourceError : public std::system_error {
public:
    explicit RandomSourceError(int error_number)
        : std::system_error(error_number, std::generic_category(), "random source") {}
};

/// Fills `out` with `size` bytes of randomness; throws RandomSourceError on failure.
using RandomSource = void (*)(std::uint8_t* out, std::size_t size);

/// The operating system's cryptographically strong source (getrandom, retried on EINTR).
/// Requests of up to 64 bytes are served from a per-thread buffer that one call fills for
/// many of them, and that a forked child forgets.
void system_random_bytes(std::uint8_t* out, std::size_t size);

/// A random version-4 UUID in canonical form (36 lower-case characters, 8-4-4-4-12) after
/// `prefix`, made in one allocation.
std::string uuid_v4(RandomSource source = system_random_bytes, std::string_view prefix = {});

/// Formats 16 bytes as a version-4 UUID, forcing the version and variant bits.
std::string format_uuid_v4(std::array<std::uint8_t, 16> bytes);

/// Characters of a UUID's canonical text.
inline constexpr std::size_t kUuidCharacters = 36;

/// The canonical text (lower-case hex, 8-4-4-4-12) of 16 bytes as they are, written to `out`.
void write_uuid_text(const std::uint8_t* bytes, char* out);

/// The 16 bytes of `text` when it is exactly a canonical text write_uuid_text gives (lower
/// case only, so that the bytes give the text back); false otherwise, with nothing written.
bool parse_uuid_text(std::string_view text, std::uint8_t* out);

}  // namespace revuradova
