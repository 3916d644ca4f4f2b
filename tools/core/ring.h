// A double-ended queue in one growing array, reused as it drains: unlike
// std::deque it allocates nothing once it has reached its working size (the
// standard one allocates a block per element when they are large).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace telvo::tool {

template <typename T>
class Ring {
public:
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    T& operator[](size_t i) { return items_[(head_ + i) & mask_]; }
    const T& operator[](size_t i) const { return items_[(head_ + i) & mask_]; }
    T& front() { return (*this)[0]; }
    const T& front() const { return (*this)[0]; }
    T& back() { return (*this)[size_ - 1]; }
    const T& back() const { return (*this)[size_ - 1]; }

    T& push_back(T value) {
        if (size_ == items_.size()) grow();
        T& slot = items_[(head_ + size_) & mask_];
        slot = std::move(value);
        ++size_;
        return slot;
    }
    T& emplace_back() { return push_back(T{}); }
    void pop_front() {
        items_[head_] = T{};
        head_ = (head_ + 1) & mask_;
        --size_;
    }
    // Inserts before position i (rare: moves the elements after it).
    void insert(size_t i, T value) {
        push_back(T{});
        for (size_t k = size_ - 1; k > i; --k) (*this)[k] = std::move((*this)[k - 1]);
        (*this)[i] = std::move(value);
    }
    void erase(size_t i) {
        for (size_t k = i; k + 1 < size_; ++k) (*this)[k] = std::move((*this)[k + 1]);
        back() = T{};
        --size_;
    }
    void clear() {
        for (size_t k = 0; k < size_; ++k) (*this)[k] = T{};
        head_ = size_ = 0;
    }

private:
    void grow() {
        std::vector<T> bigger(items_.empty() ? 16 : items_.size() * 2);
        for (size_t k = 0; k < size_; ++k) bigger[k] = std::move((*this)[k]);
        items_ = std::move(bigger);
        head_ = 0;
        mask_ = items_.size() - 1;
    }

    std::vector<T> items_;
    size_t head_ = 0, size_ = 0, mask_ = 0;
};

}  // namespace telvo::tool
