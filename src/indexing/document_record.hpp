#pragma once

// What the index keeps of one document, in a single allocation: the distinct terms of its
// latest indexing (to replace them when it is indexed again), then its identifier, source
// location and preview. A hundred thousand short documents cost a hundred thousand
// allocations of the exact size, not four each with a string header per field.

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string_view>

#include "indexing/term_dictionary.hpp"

namespace revuradova {

class DocumentRecord {
public:
    DocumentRecord() = default;

    /// Room for `term_count` terms, the first ones copied from `known` (the rest are set
    /// with set_term before the record is read), and copies of the three texts. Throws
    /// std::bad_alloc, or std::length_error for a text or term list of 2**32 or more.
    DocumentRecord(std::span<const TermId> known, std::size_t term_count, std::string_view id,
                   std::string_view location, std::string_view preview)
        : term_count_(checked(term_count)),
          id_size_(checked(id.size())),
          location_size_(checked(location.size())),
          preview_size_(checked(preview.size())) {
        block_ = std::make_unique_for_overwrite<TermId[]>(words());
        if (!known.empty()) std::memcpy(block_.get(), known.data(), known.size_bytes());
        char* at = texts();
        for (const std::string_view text : {id, location, preview}) {
            if (!text.empty()) std::memcpy(at, text.data(), text.size());
            at += text.size();
        }
    }

    DocumentRecord(const DocumentRecord& other)
        : DocumentRecord(other.terms(), other.term_count_, other.id(), other.location(),
                         other.preview()) {}
    DocumentRecord& operator=(const DocumentRecord& other) {
        if (this != &other) *this = DocumentRecord(other);
        return *this;
    }
    DocumentRecord(DocumentRecord&&) noexcept = default;
    DocumentRecord& operator=(DocumentRecord&&) noexcept = default;

    void set_term(std::size_t index, TermId term) noexcept { block_[index] = term; }

    std::span<const TermId> terms() const { return {block_.get(), term_count_}; }
    std::string_view id() const { return {texts(), id_size_}; }
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
    std::size_t words() const {
        const std::size_t text_bytes = std::size_t{id_size_} + location_size_ + preview_size_;
        return term_count_ + (text_bytes + sizeof(TermId) - 1) / sizeof(TermId);
    }
    // The texts follow the terms; chars may alias the words.
    char* texts() const { return reinterpret_cast<char*>(block_.get() + term_count_); }

    std::unique_ptr<TermId[]> block_;
    std::uint32_t term_count_ = 0;
    std::uint32_t id_size_ = 0;
    std::uint32_t location_size_ = 0;
    std::uint32_t preview_size_ = 0;
};

}  // namespace revuradova
