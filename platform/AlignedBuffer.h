// A byte buffer for the kernel to read into. The kernel's copy to user memory
// runs several times slower into a destination that is not 32-byte aligned on
// some processors, and unbuffered device reads (O_DIRECT, FILE_FLAG_NO_BUFFERING)
// need sector alignment, so every such buffer starts on a page boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>

#ifdef _WIN32
#include <malloc.h>
#endif

namespace qm {

class AlignedBuffer {
public:
    static constexpr std::size_t kAlignment = 4096;

    AlignedBuffer() = default;
    explicit AlignedBuffer(std::size_t size) { Reset(size); }

    // Replaces the contents with `size` uninitialised bytes (size 0 frees them).
    void Reset(std::size_t size) {
        data_.reset(size == 0 ? nullptr : Allocate(size));
        size_ = size;
    }

    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::span<std::uint8_t> span() { return {data_.get(), size_}; }
    std::span<const std::uint8_t> span() const { return {data_.get(), size_}; }
    std::uint8_t& operator[](std::size_t i) { return data_.get()[i]; }
    const std::uint8_t& operator[](std::size_t i) const { return data_.get()[i]; }

private:
    struct Free {
        void operator()(std::uint8_t* p) const {
#ifdef _WIN32
            _aligned_free(p);
#else
            std::free(p);
#endif
        }
    };

    static std::uint8_t* Allocate(std::size_t size) {
        // Rounded up to whole pages, as aligned_alloc wants a multiple of the alignment.
        const std::size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
        if (rounded < size) throw std::bad_alloc();
#ifdef _WIN32
        void* p = _aligned_malloc(rounded, kAlignment);
#else
        void* p = std::aligned_alloc(kAlignment, rounded);
#endif
        if (!p) throw std::bad_alloc();
        return static_cast<std::uint8_t*>(p);
    }

    std::unique_ptr<std::uint8_t, Free> data_;
    std::size_t size_ = 0;
};

}  // namespace qm
