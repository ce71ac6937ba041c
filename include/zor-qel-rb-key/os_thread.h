/// \file
/// Thread module: the plain mutual-exclusion lock the library uses, under its two names.
/// Thread safety: each lock may be used from any thread; neither is recursive.
#pragma once

#include <atomic>
#include <mutex>

#include <zor-qel-rb-key/qel_export.h>

/// A lock that guards a few instructions (a reference count and a pointer): taken with one atomic
/// exchange when free; a thread that finds it held spins briefly, then yields until it is free.
class QEL_API os_critical_section {
 public:
  // Kept for 3.0 programs: see docs/compatibility.md.
  /// The flag asks for a recursive lock; the library always passes false.
  explicit os_critical_section(bool recursive = false);
  ~os_critical_section();
  os_critical_section(const os_critical_section&) = delete;
  os_critical_section& operator=(const os_critical_section&) = delete;

  /// Takes the lock, waiting while another thread holds it.
  void lock();
  /// Releases the lock, which the calling thread holds.
  void unlock();

 private:
  alignas(std::mutex) std::atomic<bool> held_;
  // Kept for 3.0 programs: see docs/compatibility.md.
  /// Unused: keeps the size and alignment the class has always had (those of a std::mutex), so
  /// that programs built against earlier versions lay out what holds one as the library does.
  [[maybe_unused]] char reserved_[sizeof(std::mutex) - sizeof(std::atomic<bool>)];
};

// Kept for 3.0 programs: see docs/compatibility.md.
/// The connection holder's lock: the same plain mutual exclusion under the name it goes by there,
/// a class of its own because programs built against 3.0 call its exported members.
class QEL_API os_condition_mutex {
 public:
  /// A free lock; `recursive` changes nothing.
  explicit os_condition_mutex(bool recursive = false);
  ~os_condition_mutex();
  os_condition_mutex(const os_condition_mutex&) = delete;
  os_condition_mutex& operator=(const os_condition_mutex&) = delete;

  /// Takes the lock, waiting while another thread holds it.
  void lock();
  /// Releases the lock, which the calling thread holds.
  void unlock();

 private:
  os_critical_section section_;
};
