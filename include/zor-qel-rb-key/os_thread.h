// Thread module: the plain mutual-exclusion lock the library uses, under its two names.
// Thread safety: each lock may be used from any thread; neither is recursive.
#pragma once

#include <mutex>

#include <zor-qel-rb-key/qel_export.h>

// A lock that guards a few instructions (a reference count and a pointer).
class QEL_API os_critical_section {
 public:
  // The flag asks for a recursive lock; the library always passes false.
  explicit os_critical_section(bool recursive = false);
  ~os_critical_section();
  os_critical_section(const os_critical_section&) = delete;
  os_critical_section& operator=(const os_critical_section&) = delete;

  void lock();
  void unlock();

 private:
  std::mutex mutex_;
};

// The connection holder's lock: the same plain mutual exclusion under the name it goes by there.
using os_condition_mutex = os_critical_section;
