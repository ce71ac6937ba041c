// Owners of Windows handles: each closes its handle when it goes, so that an exception thrown
// between a handle's creation and its close (a failed allocation) leaves nothing open.
// Thread safety: an owner is used by one thread at a time.
#pragma once

#include <windows.h>

// The owner of one handle that `Close` closes; INVALID_HANDLE_VALUE is none.
template <typename Close>
class OwnedHandle {
 public:
  OwnedHandle() = default;
  explicit OwnedHandle(HANDLE handle) : handle_(handle) {}
  ~OwnedHandle() { reset(); }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Closes the handle held, if any, and takes `handle`.
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (valid()) Close()(handle_);
    handle_ = handle;
  }
  // Gives the handle up to a new owner.
  HANDLE release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

struct CloseFileHandle {
  void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
struct CloseFindHandle {
  void operator()(HANDLE handle) const { ::FindClose(handle); }
};

// A handle of CreateFileW.
using FileHandle = OwnedHandle<CloseFileHandle>;
// A listing of FindFirstFileW.
using FindHandle = OwnedHandle<CloseFindHandle>;
