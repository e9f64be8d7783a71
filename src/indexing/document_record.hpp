#pragma once

// What the index keeps of one document, in a single allocation: the distinct terms of its
// latest indexing (to replace them when it is indexed again), packed, then its identifier,
// source location and preview. A hundred thousand short documents cost a hundred thousand
// allocations of the exact size, not four each with a string header per field.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>

#include "indexing/term_dictionary.hpp"
#include "models/uuid.hpp"

namespace revuradova {

/// The term identifiers of a record, each packed into as few little-endian bytes as the
/// largest identifier the record may hold needs (1 to 4): a vocabulary under 65,536 terms
/// costs two bytes a posting here, not four.
class PackedTerms {
public:
    PackedTerms(const unsigned char* bytes, std::size_t count, unsigned width)
        : bytes_(bytes), count_(count), width_(width) {}

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    TermId operator[](std::size_t i) const { return read(bytes_ + i * width_, width_); }

    /// Reads the packed bytes themselves, so it outlives the view it came from.
    class iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = TermId;
        using difference_type = std::ptrdiff_t;
        using pointer = const TermId*;
        using reference = TermId;

        iterator(const unsigned char* at, unsigned width) : at_(at), width_(width) {}
        TermId operator*() const { return read(at_, width_); }
        iterator& operator++() {
            at_ += width_;
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const iterator& other) const { return at_ == other.at_; }

    private:
        const unsigned char* at_;
        unsigned width_;
    };
    iterator begin() const { return {bytes_, width_}; }
    iterator end() const { return {bytes_ + count_ * width_, width_}; }

private:
    static TermId read(const unsigned char* at, unsigned width) {
        TermId term = 0;
        for (unsigned b = 0; b < width; ++b) term |= TermId{at[b]} << (8 * b);
        return term;
    }

    const unsigned char* bytes_;
    std::size_t count_;
    unsigned width_;
};

/// Identifiers of the form every knowledge object draws, "ko_" and a UUID in lower-case hex
/// (8-4-4-4-12 digits), are kept as the UUID's 16 bytes: 23 bytes less a document.
namespace packed_id {

inline constexpr std::string_view kPrefix = "ko_";
inline constexpr std::size_t kTextSize = kPrefix.size() + kUuidCharacters;
inline constexpr std::size_t kBytes = 16;

/// The 16 bytes of `id`, when it has the form; false otherwise (nothing written).
inline bool pack(std::string_view id, unsigned char* out) {
    return id.starts_with(kPrefix) && parse_uuid_text(id.substr(kPrefix.size()), out);
}

/// The text of packed bytes: the inverse of pack.
inline void unpack(const unsigned char* bytes, char* out) {
    kPrefix.copy(out, kPrefix.size());
    write_uuid_text(bytes, out + kPrefix.size());
}

}  // namespace packed_id

/// A record's identifier: a view of the text it keeps, or the text rebuilt from packed
/// bytes inside this value. Its view() lives only as long as the value (there is no
/// implicit conversion, so that no view outlives it unseen).
class RecordId {
public:
    explicit RecordId(std::string_view stored) : stored_(stored) {}
    explicit RecordId(const unsigned char* packed) : packed_(true) {
        packed_id::unpack(packed, text_);
    }
    std::string_view view() const {
        return packed_ ? std::string_view(text_, packed_id::kTextSize) : stored_;
    }
    bool empty() const { return view().empty(); }
    friend bool operator==(const RecordId& id, std::string_view text) { return id.view() == text; }

private:
    std::string_view stored_;
    bool packed_ = false;
    char text_[packed_id::kTextSize] = {};
};

class DocumentRecord {
public:
    DocumentRecord() = default;

    /// Room for `term_count` terms, each below `term_limit`, the first ones copied from
    /// `known` (the rest are set with set_term before the record is read), and copies of
    /// the three texts. Throws std::bad_alloc, or std::length_error for a text or term list
    /// of 2**32 or more (a preview of 65,536 bytes or more).
    DocumentRecord(std::span<const TermId> known, std::size_t term_count, std::uint64_t term_limit,
                   std::string_view id, std::string_view location, std::string_view preview)
        : term_count_(checked(term_count)),
          id_size_(checked(id.size())),
          location_size_(checked(location.size())),
          preview_size_(checked_preview(preview.size())),
          width_(width_for(term_limit)) {
        unsigned char packed[packed_id::kBytes] = {};
        if (packed_id::pack(id, packed)) {
            packed_id_ = true;
            id_size_ = packed_id::kBytes;
        }
        block_ = std::make_unique_for_overwrite<unsigned char[]>(bytes());
        for (std::size_t i = 0; i < known.size(); ++i) set_term(i, known[i]);
        char* at = texts();
        if (packed_id_) {
            std::memcpy(at, packed, packed_id::kBytes);
            at += packed_id::kBytes;
        }
        for (const std::string_view text :
             {packed_id_ ? std::string_view() : id, location, preview}) {
            if (!text.empty()) std::memcpy(at, text.data(), text.size());
            at += text.size();
        }
    }

    DocumentRecord(const DocumentRecord& other)
        : term_count_(other.term_count_),
          id_size_(other.id_size_),
          location_size_(other.location_size_),
          preview_size_(other.preview_size_),
          width_(other.width_),
          packed_id_(other.packed_id_) {
        if (other.block_) {
            block_ = std::make_unique_for_overwrite<unsigned char[]>(bytes());
            std::memcpy(block_.get(), other.block_.get(), bytes());
        }
    }
    DocumentRecord& operator=(const DocumentRecord& other) {
        if (this != &other) *this = DocumentRecord(other);
        return *this;
    }
    DocumentRecord(DocumentRecord&&) noexcept = default;
    DocumentRecord& operator=(DocumentRecord&&) noexcept = default;

    /// `term` must be below the record's term limit.
    void set_term(std::size_t index, TermId term) noexcept {
        unsigned char* at = block_.get() + index * width_;
        for (unsigned b = 0; b < width_; ++b) at[b] = static_cast<unsigned char>(term >> (8 * b));
    }

    PackedTerms terms() const { return {block_.get(), term_count_, width_}; }
    /// The bytes the term list takes.
    std::size_t term_bytes() const { return std::size_t{term_count_} * width_; }
    RecordId id() const {
        if (packed_id_) return RecordId(reinterpret_cast<const unsigned char*>(texts()));
        return RecordId(std::string_view(texts(), id_size_));
    }
    std::string_view location() const { return {texts() + id_size_, location_size_}; }
    std::string_view preview() const {
        return {texts() + id_size_ + location_size_, preview_size_};
    }

private:
    static std::uint32_t checked(std::size_t size) {
        if (size > 0xFFFFFFFFu)
            throw std::length_error("a document record holds texts under 4 GiB");
        return static_cast<std::uint32_t>(size);
    }
    static std::uint16_t checked_preview(std::size_t size) {
        if (size > 0xFFFFu) throw std::length_error("a document preview holds under 64 KiB");
        return static_cast<std::uint16_t>(size);
    }
    static std::uint8_t width_for(std::uint64_t term_limit) {
        std::uint8_t width = 1;
        while (width < 4 && term_limit > (std::uint64_t{1} << (8 * width))) ++width;
        return width;
    }
    std::size_t bytes() const {
        return term_bytes() + std::size_t{id_size_} + location_size_ + preview_size_;
    }
    // The texts follow the terms.
    char* texts() const { return reinterpret_cast<char*>(block_.get() + term_bytes()); }

    std::unique_ptr<unsigned char[]> block_;
    std::uint32_t term_count_ = 0;
    std::uint32_t id_size_ = 0;
    std::uint32_t location_size_ = 0;
    std::uint16_t preview_size_ = 0;
    std::uint8_t width_ = 1;  // bytes per term
    bool packed_id_ = false;  // the identifier's id_size_ bytes are packed_id bytes
};

}  // namespace revuradova
