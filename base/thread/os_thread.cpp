// Thread module: the lock is an atomic flag, spun on briefly and then yielded on.
#include <zor-qel-rb-key/os_thread.h>

#include <thread>

static_assert(sizeof(os_critical_section) == sizeof(std::mutex) &&
                  alignof(os_critical_section) == alignof(std::mutex),
              "the lock keeps the layout of earlier versions");

os_critical_section::os_critical_section(bool) : held_(false), reserved_() {}

os_critical_section::~os_critical_section() = default;

void os_critical_section::lock() {
  int spins = 0;
  while (held_.exchange(true, std::memory_order_acquire)) {
    // Wait on plain loads, which leave the cache line shared, until the holder lets go; a
    // holder that takes long (a clone under the lock) gets the processor back.
    while (held_.load(std::memory_order_relaxed)) {
      if (spins < 100) {
        ++spins;
      } else {
        std::this_thread::yield();
      }
    }
  }
}

void os_critical_section::unlock() { held_.store(false, std::memory_order_release); }

os_condition_mutex::os_condition_mutex(bool) {}
os_condition_mutex::~os_condition_mutex() = default;
void os_condition_mutex::lock() { section_.lock(); }
void os_condition_mutex::unlock() { section_.unlock(); }
