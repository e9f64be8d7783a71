#pragma once

// Reads a fuzzer's bytes as a stream of small decisions; past the end every read is 0.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace revuradova::fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return done() ? 0 : data_[pos_++]; }
    /// A value in [0, bound).
    std::size_t below(std::size_t bound) { return bound == 0 ? 0 : byte() % bound; }
    /// Up to `max` raw bytes.
    std::string bytes(std::size_t max) {
        const std::size_t n = below(max + 1);
        std::string out;
        while (out.size() < n && !done()) out.push_back(static_cast<char>(byte()));
        return out;
    }
    /// Up to `max` words picked from `words`, separated by spaces or punctuation.
    template <std::size_t N>
    std::string words(const std::string_view (&vocabulary)[N], std::size_t max) {
        static constexpr std::string_view kSeparators[] = {" ", "  ", ", ", "-", "\n", ". "};
        const std::size_t n = below(max + 1);
        std::string out;
        for (std::size_t i = 0; i < n; ++i) {
            if (i != 0) out += kSeparators[below(std::size(kSeparators))];
            out += vocabulary[below(N)];
        }
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace revuradova::fuzz
