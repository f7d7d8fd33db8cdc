#include "Allocationcounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> allocations{0};
std::atomic<std::ptrdiff_t> live{0};

void* Allocate(std::size_t size, std::size_t alignment = 0) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    live.fetch_add(1, std::memory_order_relaxed);
    const std::size_t bytes = size == 0 ? 1 : size;
    // aligned_alloc wants a size that is a multiple of the alignment.
    void* p = alignment == 0
                  ? std::malloc(bytes)
                  : std::aligned_alloc(alignment, (bytes + alignment - 1) / alignment * alignment);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void Release(void* p) noexcept {
    if (p != nullptr) {
        live.fetch_sub(1, std::memory_order_relaxed);
        std::free(p);
    }
}

} // namespace

std::size_t AllocationCounter::Allocations() {
    return allocations.load(std::memory_order_relaxed);
}

std::ptrdiff_t AllocationCounter::Live() {
    return live.load(std::memory_order_relaxed);
}

// The nothrow forms of the library call these.
void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return Allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return Allocate(size, static_cast<std::size_t>(alignment));
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    Release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    Release(p);
}
