#include "postings/merge.hpp"

#include <vector>

#include "postings/merge_runs.hpp"
#include "postings/postings_codec.hpp"

namespace revuradova::postings {

MergedPostings merge_postings(std::span<const std::string_view> blobs, const DeletedIds& deleted) {
    std::vector<std::vector<Posting>> runs;
    runs.reserve(blobs.size());
    for (const std::string_view blob : blobs) runs.push_back(decode_postings(blob));
    std::vector<Posting> merged = merge_runs(runs, [](const Posting& p) { return p.id; });
    DeletedIds::Cursor cursor(deleted);
    std::size_t kept = 0;
    for (const Posting& posting : merged) {
        if (!cursor.deleted(posting.id)) merged[kept++] = posting;
    }
    merged.resize(kept);
    return MergedPostings{merged.size(), encode_postings(merged)};
}

}  // namespace revuradova::postings
