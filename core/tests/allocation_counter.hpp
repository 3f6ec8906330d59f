// Replaces the global allocation functions of the executable that includes it (once, in its one
// source file) so that code can count the heap allocations made inside a window.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace alloc_count {
// Relaxed atomics: allocations on any thread (a pooled product's workers included) are counted.
inline std::atomic<bool> counting{false};
inline std::atomic<std::size_t> allocations{0};

// Counts allocations from construction until `stop()` (or destruction).
class Window {
 public:
  Window() {
    allocations.store(0, std::memory_order_relaxed);
    counting.store(true, std::memory_order_relaxed);
  }
  ~Window() { stop(); }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  std::size_t stop() {
    counting.store(false, std::memory_order_relaxed);
    return allocations.load(std::memory_order_relaxed);
  }
};
}  // namespace alloc_count

void* operator new(std::size_t n) {
  if (alloc_count::counting.load(std::memory_order_relaxed)) {
    alloc_count::allocations.fetch_add(1, std::memory_order_relaxed);
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
// Not inlined, so the compiler does not pair a visible free() with a new-expression.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
