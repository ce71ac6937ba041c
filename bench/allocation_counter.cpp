// operator new and delete replaced by counting ones, measured with malloc_usable_size.
#include "allocation_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<size_t> g_live_bytes{0};
std::atomic<size_t> g_peak_bytes{0};

void* CountedAllocate(size_t size) {
  void* pointer = std::malloc(size == 0 ? 1 : size);
  if (pointer == nullptr) throw std::bad_alloc();
  size_t live = g_live_bytes.fetch_add(malloc_usable_size(pointer)) + malloc_usable_size(pointer);
  size_t peak = g_peak_bytes.load();
  while (live > peak && !g_peak_bytes.compare_exchange_weak(peak, live)) {
  }
  return pointer;
}

void CountedFree(void* pointer) {
  if (pointer == nullptr) return;
  g_live_bytes.fetch_sub(malloc_usable_size(pointer));
  std::free(pointer);
}
}  // namespace

size_t LiveAllocatedBytes() { return g_live_bytes.load(); }

size_t PeakAllocatedBytes() { return g_peak_bytes.load(); }

size_t ResetAllocationPeak() {
  const size_t live = g_live_bytes.load();
  g_peak_bytes.store(live);
  return live;
}

void* operator new(size_t size) { return CountedAllocate(size); }
void* operator new[](size_t size) { return CountedAllocate(size); }
// The nothrow forms too (std::stable_sort's buffer uses them): freed by the same delete.
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return CountedAllocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* pointer) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer) noexcept { CountedFree(pointer); }
void operator delete(void* pointer, size_t) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer, size_t) noexcept { CountedFree(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { CountedFree(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { CountedFree(pointer); }
