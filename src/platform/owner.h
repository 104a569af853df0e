// The one owner of what the system hands out: a value and the function that
// gives it back, called when the owner goes, so every path out of a step
// releases what the step acquired. Release functions leave the thread's
// last-error value as it was, so an owner that goes between a failed call
// and the read of its error cannot change it.
#pragma once

#include <concepts>
#include <type_traits>
#include <utility>

#include "platform/os.h"

namespace obrex {

template <class T, class Release> class Owner {
public:
  Owner() = default;
  explicit Owner(T value, Release release = Release()) : value_(value), release_(release) {}
  // For the release functions that give the value back through the Os that
  // handed it out.
  Owner(Os& os, T value) requires std::constructible_from<Release, Os&>
      : Owner(value, Release(os)) {}
  Owner(Owner&& other) noexcept
      : value_(std::exchange(other.value_, T{})), release_(other.release_) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = std::exchange(other.value_, T{});
      release_ = other.release_;
    }
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  ~Owner() { reset(); }

  T get() const { return value_; }
  explicit operator bool() const { return held(value_); }
  void reset() {
    if (held(value_)) {
      release_(std::exchange(value_, T{}));
    }
  }
  // Hands the value to the caller, who gives it back from now on.
  T release() { return std::exchange(value_, T{}); }
  // For a call that stores the value through a pointer; what was held is
  // given back first.
  T* put() {
    reset();
    return &value_;
  }

private:
  static bool held(T value) {
    if constexpr (std::is_pointer_v<T>) {
      return value != nullptr;
    } else {
      return value.value != nullptr;
    }
  }

  T value_{};
  Release release_{};
};

// CloseHandle, through the Os that opened the handle.
struct CloseHandleThrough {
  Os* os = nullptr;
  CloseHandleThrough() = default;
  explicit CloseHandleThrough(Os& owner) : os(&owner) {}
  void operator()(Handle handle) const { os->close_handle(handle); }
};

// LocalFree of a SID, security descriptor or ACL, through the Os that
// allocated it.
struct LocalFreeThrough {
  Os* os = nullptr;
  LocalFreeThrough() = default;
  explicit LocalFreeThrough(Os& owner) : os(&owner) {}
  template <class P> void operator()(P pointer) const { os->local_free(pointer.value); }
};

using UniqueHandle = Owner<Handle, CloseHandleThrough>;
// P is SidPtr, AclPtr or SecurityDescriptorPtr.
template <class P> using LocalMemory = Owner<P, LocalFreeThrough>;

} // namespace obrex
