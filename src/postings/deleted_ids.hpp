#pragma once

// The deleted documents of a base: signed 64-bit ids, strictly ascending, as the store keeps
// them (little-endian, eight bytes each).

#include <cstdint>
#include <string_view>
#include <vector>

#include "postings/postings_codec.hpp"

namespace revuradova::postings {

/// Invariant: `ids` strictly ascending.
class DeletedIds {
public:
    DeletedIds() = default;
    /// InvalidInput when the size is not a multiple of 8 or the ids are not strictly ascending.
    static DeletedIds from_bytes(std::string_view bytes);
    static DeletedIds from_ids(std::vector<std::int64_t> ids);

    const std::vector<std::int64_t>& ids() const { return ids_; }

    /// Answers "is this id deleted" for ids asked in ascending order, by moving forward.
    class Cursor {
    public:
        explicit Cursor(const DeletedIds& deleted)
            : at_(deleted.ids_.data()), end_(at_ + deleted.ids_.size()) {}
        bool deleted(DocId id) {
            const auto wanted = static_cast<std::int64_t>(id);  // ids are below 2**63
            while (at_ != end_ && *at_ < wanted) ++at_;
            return at_ != end_ && *at_ == wanted;
        }

    private:
        const std::int64_t* at_;
        const std::int64_t* end_;
    };

private:
    std::vector<std::int64_t> ids_;
};

}  // namespace revuradova::postings
