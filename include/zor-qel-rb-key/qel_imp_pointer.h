/// \file
/// qel_imp_pointer: a shared, lock-guarded, copy-on-write pointer to a polymorphic heap object.
/// Thread safety: different pointers sharing one object may be copied, read through and destroyed
/// from several threads; one pointer object must not take the access for change or be assigned
/// while another thread uses it.
#pragma once

#include <cstdint>

#include <zor-qel-rb-key/os_thread.h>
#include <zor-qel-rb-key/qel_export.h>

/// Logs "Attempt to dereference null pointer" and throws the matching QELLogicalError.
[[noreturn]] QEL_API void qel_imp_pointer_null_error();

/// T is the held pointer type (QELKey* or QELValueMap*); LifeMgr supplies Clone(T) and Destroy(T&).
template <class T, class LifeMgr>
class qel_imp_pointer {
 public:
  /// The shared block: the held pointer with the count of the pointers sharing it.
  class storage {
   public:
    /// Holds `held` with a count of 0.
    explicit storage(T held) : lock(false), count(0), pointer(held) {}
    virtual ~storage() { LifeMgr().Destroy(pointer); }
    os_critical_section lock;  ///< guards the count
    uint32_t count;            ///< the number of pointers sharing this block
    T pointer;                 ///< the held object, destroyed with the block
  };

  qel_imp_pointer() = default;
  /// Takes ownership of `p` (even when null) in a new storage with count 1.
  explicit qel_imp_pointer(T p) : storage_(new storage(p)) { Raise(storage_); }
  /// Shares `other`'s object.
  qel_imp_pointer(const qel_imp_pointer& other) : storage_(other.storage_) { Raise(storage_); }
  /// Takes over `other`'s share, leaving `other` empty: the count does not change.
  qel_imp_pointer(qel_imp_pointer&& other) noexcept : storage_(other.storage_) {
    other.storage_ = nullptr;
  }
  /// Lets go of the object held so far and shares `other`'s.
  qel_imp_pointer& operator=(const qel_imp_pointer& other) {
    // Raising first makes self-assignment and assignment from a sharer harmless.
    Raise(other.storage_);
    Release(storage_);
    storage_ = other.storage_;
    return *this;
  }
  /// Lets go of the object held so far and takes over `other`'s share, leaving `other` empty.
  qel_imp_pointer& operator=(qel_imp_pointer&& other) noexcept {
    if (this != &other) {
      Release(storage_);
      storage_ = other.storage_;
      other.storage_ = nullptr;
    }
    return *this;
  }
  ~qel_imp_pointer() { Release(storage_); }

  /// Read access: never duplicates the object, takes no lock.
  T operator->() const {
    if (storage_ == nullptr) qel_imp_pointer_null_error();
    return Read(storage_);
  }
  /// Access for change: a shared object is first duplicated for this pointer alone.
  T operator->() {
    if (storage_ == nullptr) qel_imp_pointer_null_error();
    storage_ = Detach(storage_);
    return Read(storage_);
  }

  /// Whether there is no object: no storage, or a null held pointer.
  bool IsNull() const { return storage_ == nullptr || Read(storage_) == nullptr; }

 private:
  static void Raise(storage* s) {
    if (s == nullptr) return;
    s->lock.lock();
    ++s->count;
    s->lock.unlock();
  }
  static void Release(storage* s) {
    if (s == nullptr) return;
    s->lock.lock();
    const uint32_t before = s->count--;
    s->lock.unlock();
    if (before == 1) delete s;
  }
  /// A storage's held pointer is set when it is made and cleared only when its last holder lets
  /// go (a change makes a new storage), so a holder reads it without the lock.
  static T Read(storage* s) { return s->pointer; }
  static storage* Detach(storage* s) {
    s->lock.lock();
    storage* result = s;
    if (s->count > 1) {
      storage* copy = nullptr;
      try {
        copy = new storage(LifeMgr().Clone(s->pointer));
      } catch (...) {
        s->lock.unlock();
        throw;
      }
      --s->count;
      copy->lock.lock();
      copy->count = 1;
      copy->lock.unlock();
      result = copy;
    }
    s->lock.unlock();
    return result;
  }

  storage* storage_ = nullptr;
};
