// A double-ended queue over one growing array: the line's symbols, decoded
// characters and FIFO bytes pass through these at every byte of a stream, and
// indexing one costs a mask instead of a deque's block arithmetic.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace sim::serial {

template <typename T>
class Ring {
  public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](size_t i) { return items_[(head_ + i) & mask_]; }
    const T& operator[](size_t i) const { return items_[(head_ + i) & mask_]; }
    T& front() { return (*this)[0]; }
    const T& front() const { return (*this)[0]; }
    T& back() { return (*this)[size_ - 1]; }
    const T& back() const { return (*this)[size_ - 1]; }

    void push_back(const T& item) {
        if (size_ == items_.size())
            Grow();
        items_[(head_ + size_) & mask_] = item;
        ++size_;
    }
    void pop_front() {
        head_ = (head_ + 1) & mask_;
        --size_;
    }
    void pop_back() { --size_; }
    void pop_back(size_t n) { size_ -= n; }
    void pop_front(size_t n) {
        head_ = (head_ + n) & mask_;
        size_ -= n;
    }
    void clear() {
        head_ = 0;
        size_ = 0;
    }
    // Appends n items.
    void Append(const T* items, size_t n) {
        while (size_ + n > items_.size())
            Grow();
        const size_t at = (head_ + size_) & mask_;
        const size_t first = std::min(n, items_.size() - at);
        std::copy_n(items, first, items_.begin() + static_cast<std::ptrdiff_t>(at));
        std::copy_n(items + first, n - first, items_.begin());
        size_ += n;
    }
    // Copies n items from `from` on out.
    void Copy(size_t from, size_t n, T* out) const {
        const size_t at = (head_ + from) & mask_;
        const size_t first = std::min(n, items_.size() - at);
        std::copy_n(items_.begin() + static_cast<std::ptrdiff_t>(at), first, out);
        std::copy_n(items_.begin(), n - first, out + first);
    }
    void CopyFront(size_t n, T* out) const { Copy(0, n, out); }

  private:
    void Grow() {
        std::vector<T> bigger(items_.empty() ? 16 : items_.size() * 2);
        for (size_t i = 0; i < size_; ++i)
            bigger[i] = std::move((*this)[i]);
        items_ = std::move(bigger);
        head_ = 0;
        mask_ = items_.size() - 1;
    }

    std::vector<T> items_;
    size_t head_ = 0;
    size_t size_ = 0;
    size_t mask_ = 0;
};

}  // namespace sim::serial
