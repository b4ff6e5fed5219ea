// A fixed-size array of trivially copyable values for the handle tables'
// large allocations. An array asked for as huge is mapped on its own, in
// whole 2 MB blocks on a 2 MB boundary, and offered to the kernel as huge
// pages: a table of a million handles otherwise takes tens of thousands of
// page faults as it fills. Small tables keep ordinary pages, so that a short
// trace does not pay 2 MB for a few records.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>

template <class T>
class BigArray {
    static_assert(std::is_trivially_copyable<T>::value, "BigArray holds plain values");

public:
    BigArray() = default;
    // `count` values, each a copy of `fill`.
    BigArray(std::size_t count, const T& fill, bool huge) : BigArray(count, huge) {
        for (std::size_t i = 0; i < count; ++i) new (data_ + i) T(fill);
    }
    // `count` values left unset, for a caller that writes each before it
    // reads it; pages that are never written are never faulted in.
    BigArray(std::size_t count, bool huge) : size_(count) {
        const std::size_t bytes = count * sizeof(T);
        if (huge) {
            mappedBytes_ = (bytes + kHuge - 1) / kHuge * kHuge;
            // One block more, to cut the mapping at a 2 MB boundary.
            void* p = ::mmap(nullptr, mappedBytes_ + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            char* start = static_cast<char*>(p);
            char* aligned = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(start) + kHuge - 1) / kHuge * kHuge);
            if (aligned != start) ::munmap(start, static_cast<std::size_t>(aligned - start));
            const std::size_t tail = static_cast<std::size_t>(start + mappedBytes_ + kHuge - (aligned + mappedBytes_));
            if (tail != 0) ::munmap(aligned + mappedBytes_, tail);
            ::madvise(aligned, mappedBytes_, MADV_HUGEPAGE);  // a hint: without it, plain pages
            data_ = reinterpret_cast<T*>(aligned);
        } else {
            data_ = static_cast<T*>(std::malloc(bytes == 0 ? 1 : bytes));
            if (!data_) throw std::bad_alloc();
        }
    }
    ~BigArray() { release(); }
    BigArray(BigArray&& other) noexcept { swap(other); }
    BigArray& operator=(BigArray&& other) noexcept {
        if (this != &other) {
            release();
            swap(other);
        }
        return *this;
    }
    BigArray(const BigArray&) = delete;
    BigArray& operator=(const BigArray&) = delete;

    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Mapped on its own in whole 2 MB blocks (asked for as huge).
    bool huge() const { return mappedBytes_ != 0; }
    std::size_t mappedBytes() const { return mappedBytes_; }

    void swap(BigArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(mappedBytes_, other.mappedBytes_);
    }

private:
    static constexpr std::size_t kHuge = std::size_t(2) << 20;

    void release() {
        if (!data_) return;
        if (mappedBytes_ != 0)
            ::munmap(data_, mappedBytes_);
        else
            std::free(data_);
        data_ = nullptr;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mappedBytes_ = 0;  // 0: from malloc
};
