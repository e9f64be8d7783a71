#pragma once

// The two ways an input is refused. Both are exceptions of the core; the module turns
// CorruptPostings into its own CorruptPostings (a ValueError) and InvalidInput into ValueError.

#include <stdexcept>
#include <string>

namespace revuradova::postings {

/// A postings blob that is not well-formed: damaged, truncated, hostile, or inconsistent with
/// the blobs it is read with (one document in two segments of a term). The message starts with
/// "corrupt postings: ".
class CorruptPostings : public std::runtime_error {
public:
    explicit CorruptPostings(const std::string& what)
        : std::runtime_error("corrupt postings: " + what) {}
};

/// An argument outside what the operation accepts (ids out of order, an unknown stemmer...).
class InvalidInput : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

}  // namespace revuradova::postings
