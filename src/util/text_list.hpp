#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace revuradova {

/// An ordered list of texts that owns them in one buffer: appending copies the bytes, and
/// elements read back as string views valid while the list lives and is not changed.
/// Identifier lists of many thousands of entries cost two allocations, not one per entry.
class TextList {
public:
    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::string_view;

        const_iterator() = default;
        const_iterator(const TextList* list, std::size_t index) : list_(list), index_(index) {}
        std::string_view operator*() const { return (*list_)[index_]; }
        std::string_view operator[](difference_type n) const {
            return (*list_)[static_cast<std::size_t>(static_cast<difference_type>(index_) + n)];
        }
        const_iterator& operator++() { return ++index_, *this; }
        const_iterator operator++(int) { return {list_, index_++}; }
        const_iterator& operator--() { return --index_, *this; }
        const_iterator operator--(int) { return {list_, index_--}; }
        const_iterator& operator+=(difference_type n) {
            index_ = static_cast<std::size_t>(static_cast<difference_type>(index_) + n);
            return *this;
        }
        const_iterator& operator-=(difference_type n) { return *this += -n; }
        friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
        friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
        friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
        friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
            return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) {
            return a.index_ == b.index_;
        }
        friend auto operator<=>(const const_iterator& a, const const_iterator& b) {
            return a.index_ <=> b.index_;
        }

    private:
        const TextList* list_ = nullptr;
        std::size_t index_ = 0;
    };

    TextList() = default;
    TextList(std::initializer_list<std::string_view> texts) {
        for (std::string_view text : texts) push_back(text);
    }
    TextList(const std::vector<std::string>& texts) {  // NOLINT: a value conversion
        for (const std::string& text : texts) push_back(text);
    }

    void push_back(std::string_view text) {
        bytes_.append(text);
        ends_.push_back(bytes_.size());
    }
    /// Room for `count` texts of `bytes` bytes in all.
    void reserve(std::size_t count, std::size_t bytes) {
        ends_.reserve(count);
        bytes_.reserve(bytes);
    }
    void clear() {
        bytes_.clear();
        ends_.clear();
    }

    std::size_t size() const { return ends_.size(); }
    bool empty() const { return ends_.empty(); }
    std::string_view operator[](std::size_t index) const {
        const std::size_t begin = index == 0 ? 0 : ends_[index - 1];
        return std::string_view(bytes_).substr(begin, ends_[index] - begin);
    }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size()}; }

    std::vector<std::string> to_vector() const { return {begin(), end()}; }

    friend bool operator==(const TextList& a, const TextList& b) {
        return a.ends_ == b.ends_ && a.bytes_ == b.bytes_;
    }
    friend bool operator==(const TextList& a, const std::vector<std::string>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < b.size(); ++i) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }
    friend std::ostream& operator<<(std::ostream& out, const TextList& list) {
        out << '[';
        for (std::size_t i = 0; i < list.size(); ++i)
            out << (i ? ", " : "") << '"' << list[i] << '"';
        return out << ']';
    }

private:
    std::string bytes_;
    std::vector<std::size_t> ends_;  // end offset of each text in bytes_
};

}  // namespace revuradova
