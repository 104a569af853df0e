// Owners for what `Os` hands out: each releases through the `Os` that gave
// it, so every path out of a step gives back what the step acquired.
#pragma once

#include <utility>

#include "platform/os.h"

namespace obrex {

// A handle closed with CloseHandle when the owner goes.
class UniqueHandle {
public:
  UniqueHandle() = default;
  UniqueHandle(Os& os, Handle handle) : os_(&os), handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept
      : os_(other.os_), handle_(std::exchange(other.handle_, Handle{})) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      os_ = other.os_;
      handle_ = std::exchange(other.handle_, Handle{});
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_.value != nullptr; }
  void reset() {
    if (handle_.value != nullptr) {
      os_->close_handle(std::exchange(handle_, Handle{}));
    }
  }
  // Hands the handle to the caller, who closes it from now on.
  Handle release() { return std::exchange(handle_, Handle{}); }

private:
  Os* os_ = nullptr;
  Handle handle_;
};

// Memory from the security functions (a SID, a security descriptor, an
// ACL), released with LocalFree when the owner goes. P is SidPtr, AclPtr or
// SecurityDescriptorPtr.
template <class P> class LocalMemory {
public:
  LocalMemory() = default;
  LocalMemory(Os& os, P pointer) : os_(&os), pointer_(pointer) {}
  LocalMemory(LocalMemory&& other) noexcept
      : os_(other.os_), pointer_(std::exchange(other.pointer_, P{})) {}
  LocalMemory& operator=(LocalMemory&& other) noexcept {
    if (this != &other) {
      reset();
      os_ = other.os_;
      pointer_ = std::exchange(other.pointer_, P{});
    }
    return *this;
  }
  LocalMemory(const LocalMemory&) = delete;
  LocalMemory& operator=(const LocalMemory&) = delete;
  ~LocalMemory() { reset(); }

  P get() const { return pointer_; }
  explicit operator bool() const { return pointer_.value != nullptr; }
  void reset() {
    if (pointer_.value != nullptr) {
      os_->local_free(std::exchange(pointer_, P{}).value);
    }
  }

private:
  Os* os_ = nullptr;
  P pointer_{};
};

} // namespace obrex
