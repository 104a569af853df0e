// One run at a time edits a DACL: the launcher's grant and the companion
// tool's revoke read a DACL, change it and write it back, and two such edits
// that overlap lose one of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/os.h"
#include "platform/owner.h"

namespace obrex {

// An exclusive lock on the first byte of one file of the user's profile,
// {profile}\AppData\Local\Tornel\Obrex\permissions.lock, which serialises
// those edits between every run of both programs of the user, in any
// session, elevated or not. The directories take their DACL from the
// profile, which admits none of a sandboxed command's restricting SIDs; the
// file is made with a Medium no-write-up, no-read-up label, so a
// Low-integrity process (a sandboxed command, or one it left running) can
// open it neither for reading nor for writing, and a lock takes one of the
// two. The system gives the lock back when its holder ends, however it
// ends. The wait for it is bounded, and a program waits at most once: once
// it has not had the lock, it goes on without it for the rest of its work,
// and the check that follows every write still catches an edit that was
// lost.
class PermissionsLock {
public:
  static constexpr std::string_view kLabel = "S:(ML;;NWNR;;;ME)";
  static constexpr std::uint32_t kWaitMilliseconds = 30'000;

  // The lock file of the user whose profile folder is `profile`.
  static std::u16string path_in(std::u16string_view profile);

  explicit PermissionsLock(Os& os, std::uint32_t wait_milliseconds = kWaitMilliseconds)
      : os_(os), wait_milliseconds_(wait_milliseconds) {}
  // With the profile folder the caller has already asked for (or the failure
  // it got), so that the lock does not ask again.
  PermissionsLock(Os& os, OsResult<std::u16string> profile)
      : os_(os), wait_milliseconds_(kWaitMilliseconds), profile_(std::move(profile)) {}

  // Holds the lock until the returned value goes; the file is opened (and
  // made, when missing) on first use only, so a run that edits nothing
  // costs nothing.
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
  // Whether this program did not get the lock once: the wait timed out, or
  // the lock could not be had. Every later hold() then gives it up at once.
  bool gave_up() const { return gave_up_; }

private:
  // Opens the lock file, making it and its directories when missing, and
  // the event its waits end on.
  bool open();

  Os& os_;
  std::uint32_t wait_milliseconds_;
  std::optional<OsResult<std::u16string>> profile_;
  bool gave_up_ = false;
  UniqueHandle file_;
  UniqueHandle event_;
};

} // namespace obrex
