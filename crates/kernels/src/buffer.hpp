#pragma once
// Heap storage with a single owner. Kernels allocate their results as Buffers; the module
// surface releases the pointer to the owner object of a NumPy array, which frees it with
// std::free when the array dies. Hence malloc/calloc/aligned_alloc rather than new[].

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

#include "fatal.hpp"

namespace kernels {

// The size of a huge page, which large arrays filled page by page are advised onto.
inline constexpr std::size_t HUGE_PAGE = std::size_t{1} << 21;

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;

    static Buffer uninitialised(std::size_t count) { return Buffer(count, false); }
    // Zero-filled storage straight from the allocator (large blocks come as fresh pages).
    static Buffer zeroed(std::size_t count) { return Buffer(count, true); }

    // Uninitialised storage for a large array that is filled once, page by page. From
    // 2 MiB up it is aligned to 2 MiB and advised onto huge pages, where the filling costs
    // a page fault per 2 MiB rather than per 4 KiB, and freeing it is as quick.
    static Buffer on_huge_pages(std::size_t count) {
        constexpr std::size_t SMALL_ALIGNMENT = 64;
        check_capacity(count);
        const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(T);
        const bool huge = bytes >= HUGE_PAGE;
        const std::size_t alignment = huge ? HUGE_PAGE : SMALL_ALIGNMENT;
        // At most PTRDIFF_MAX bytes, so rounding up cannot wrap.
        const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
        void* data = std::aligned_alloc(alignment, rounded);
        if (data == nullptr) throw std::bad_alloc();
        if (huge) madvise(data, rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
        Buffer buffer;
        buffer.data_ = static_cast<T*>(data);
        buffer.size_ = count;
        return buffer;
    }

    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(data_); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t k) noexcept { return data_[k]; }
    const T& operator[](std::size_t k) const noexcept { return data_[k]; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }

    // Gives up ownership; the caller frees the pointer with std::free. Never null, even
    // for an empty buffer, so that it can be handed to owners that refuse null.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    static void check_capacity(std::size_t count) {
        if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) fatal("capacity overflow");
    }

    Buffer(std::size_t count, bool zero) : size_(count) {
        check_capacity(count);
        const std::size_t slots = count == 0 ? 1 : count;
        data_ = static_cast<T*>(zero ? std::calloc(slots, sizeof(T)) : std::malloc(slots * sizeof(T)));
        if (data_ == nullptr) throw std::bad_alloc();
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace kernels
