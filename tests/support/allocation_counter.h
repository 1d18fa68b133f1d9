// allocation_counter.h - counts the heap allocations of a whole process:
// malloc, calloc, realloc and operator new are replaced by versions that
// count while g_counting is on and hand over to the C library's allocator.
// free() and operator delete stay the C library's and the runtime's, which
// take these blocks.  Include it in exactly one source file of a program
// (the allocation test, the end-to-end benchmark).
#ifndef MCU_AGENT_TEST_ALLOCATION_COUNTER_H
#define MCU_AGENT_TEST_ALLOCATION_COUNTER_H

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

// The sanitizers bring their own allocator, which must not be replaced.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define MCU_AGENT_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define MCU_AGENT_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef MCU_AGENT_COUNT_ALLOCATIONS
#define MCU_AGENT_COUNT_ALLOCATIONS 1
#endif

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

inline void count_one() {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if MCU_AGENT_COUNT_ALLOCATIONS
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);
void *__libc_memalign(size_t alignment, size_t size);

void *malloc(size_t size) {
    count_one();
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    count_one();
    return __libc_calloc(count, size);
}
void *realloc(void *block, size_t size) {
    count_one();
    return __libc_realloc(block, size);
}
}

void *operator new(std::size_t size) {
    count_one();
    if (void *p = __libc_malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    count_one();
    return __libc_malloc(size ? size : 1);
}
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept { return operator new(size, tag); }
// Over-aligned types: the runtime's aligned delete frees with free().
void *operator new(std::size_t size, std::align_val_t alignment) {
    count_one();
    if (void *p = __libc_memalign(static_cast<std::size_t>(alignment), size ? size : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t size, std::align_val_t alignment) { return operator new(size, alignment); }
#endif

#endif
