// One run at a time edits a DACL: the launcher's grant and the companion
// tool's revoke read a DACL, change it and write it back, and two such edits
// that overlap lose one of them.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "platform/os.h"
#include "platform/owner.h"

namespace obrex {

// The named mutex that serialises those edits between every run of both
// programs in the session. It is labelled Medium with no-write-up,
// no-read-up and no-execute-up, so a Low-integrity process (a sandboxed
// command, or one it left running) can neither wait on it nor, since it may
// not add names to the session's namespace, make it first. The wait for it
// is bounded: when another program holds it too long, or it cannot be had
// at all, the edit goes on without it, and the check that follows every
// write still catches an edit that was lost.
class PermissionsLock {
public:
  static constexpr std::u16string_view kName = u"Local\\Tornel.Obrex.Permissions";
  static constexpr std::string_view kDescriptor = "S:(ML;;NWNRNX;;;ME)";
  static constexpr std::uint32_t kWaitMilliseconds = 30'000;

  explicit PermissionsLock(Os& os) : os_(os) {}

  // Holds the lock until the returned value goes; the mutex is made or
  // opened on first use only, so a run that edits nothing costs nothing.
  class Held {
  public:
    Held(Held&& other) noexcept : lock_(std::exchange(other.lock_, nullptr)) {}
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    Held& operator=(Held&&) = delete;
    ~Held();
    // Whether this Held holds the lock.
    bool owned() const { return lock_ != nullptr; }

  private:
    friend class PermissionsLock;
    explicit Held(PermissionsLock* lock) : lock_(lock) {}
    PermissionsLock* lock_;
  };
  Held hold();
  // Whether a wait for the lock did not get it: it timed out, or the lock
  // could not be had.
  bool gave_up() const { return gave_up_; }

private:
  Os& os_;
  bool opened_ = false;
  bool gave_up_ = false;
  UniqueHandle mutex_;
};

} // namespace obrex
