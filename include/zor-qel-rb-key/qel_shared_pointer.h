/// \file
/// qel_shared_pointer: a reference-counted shared holder without copy-on-write.
/// Thread safety: handles sharing one holder may be copied, assigned and destroyed from several
/// threads; the held object is used outside the lock.
#pragma once

#include <cstdint>

/// Shares one heap object of type T among copies, deleted with the last one; Lock guards the count.
template <class T, class Lock>
class qel_shared_pointer {
 public:
  /// Takes ownership of `p` (which may be null); deletes it when the holder cannot be made.
  explicit qel_shared_pointer(T* p = nullptr) : holder_(MakeHolder(p)) {
    holder_->lock.lock();
    holder_->count = 1;
    holder_->lock.unlock();
  }
  /// Shares `other`'s object.
  qel_shared_pointer(const qel_shared_pointer& other) : holder_(other.holder_) { Raise(); }
  /// Lets go of the object held so far and shares `other`'s.
  qel_shared_pointer& operator=(const qel_shared_pointer& other) {
    if (this == &other) return *this;
    Release();
    holder_ = other.holder_;
    Raise();
    return *this;
  }
  ~qel_shared_pointer() { Release(); }

  /// The held pointer is set when the holder is made and never changes, so it is read without the
  /// lock; the lock guards the count.
  T* Get() const { return holder_->pointer; }

 private:
  struct holder {
    explicit holder(T* p) : lock(false), count(0), pointer(p) {}
    Lock lock;
    uint32_t count;
    T* pointer;
  };

  static holder* MakeHolder(T* p) {
    try {
      return new holder(p);
    } catch (...) {
      delete p;
      throw;
    }
  }

  void Raise() {
    holder_->lock.lock();
    ++holder_->count;
    holder_->lock.unlock();
  }
  void Release() {
    holder_->lock.lock();
    const uint32_t before = holder_->count--;
    holder_->lock.unlock();
    if (before == 1) {
      delete holder_->pointer;
      delete holder_;
    }
    holder_ = nullptr;
  }

  holder* holder_;
};
