#include "filesystem/permissions_lock.h"

#include "core/security_conversions.h"
#include "filesystem/sandbox_temp.h"
#include "platform/constants.h"

namespace obrex {
namespace {

// The first byte: its offset (0) is the request's, its length the call's.
constexpr std::uint32_t kLockedBytes = 1;

} // namespace

std::u16string PermissionsLock::path_in(std::u16string_view profile) {
  std::u16string path(profile);
  if (!path.ends_with(u'\\')) {
    path += u'\\';
  }
  return path + u"AppData\\Local\\Tornel\\Obrex\\permissions.lock";
}

bool PermissionsLock::open() {
  if (!profile_) {
    profile_ = os_.get_known_folder_path_profile();
  }
  const auto& profile = *profile_;
  if (!profile) {
    return false;
  }
  // Only a label: the DACL comes from the directory, as for any file made
  // without one. The label counts only when the call makes the file.
  const auto descriptor = security_descriptor_from_sddl(os_, kLabel);
  if (!descriptor) {
    return false;
  }
  const std::u16string path = path_in(*profile);
  // Reading is the lesser of the two rights a lock takes; full sharing, so
  // that no other open of the file can keep this one out.
  const auto create = [&] {
    return os_.create_file(path, win::GENERIC_READ,
                           win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                           win::OPEN_ALWAYS, win::FILE_FLAG_OVERLAPPED, descriptor->get());
  };
  auto opened = create();
  if (!opened && opened.error() == win::ERROR_PATH_NOT_FOUND &&
      create_directory_tree(os_, *parent_path(path))) {
    opened = create();
  }
  if (!opened) {
    return false;
  }
  file_ = UniqueHandle(os_, *opened);
  const auto event = os_.create_event();
  if (!event) {
    return false;
  }
  event_ = UniqueHandle(os_, *event);
  return true;
}

PermissionsLock::Held PermissionsLock::hold() {
  if (!gave_up_ && !event_) {
    gave_up_ = !open();
  }
  if (gave_up_) {
    return Held(nullptr);
  }
  OVERLAPPED request;
  request.hEvent = event_.get();
  auto locked =
      os_.lock_file_ex(file_.get(), win::LOCKFILE_EXCLUSIVE_LOCK, kLockedBytes, 0, request);
  if (!locked && locked.error() == win::ERROR_IO_PENDING) {
    const auto waited = os_.wait_for_single_object(event_.get(), wait_milliseconds_);
    if (!waited || *waited != win::WAIT_OBJECT_0) {
      // The request may be granted between the wait and the cancel: then
      // this program holds the lock after all.
      static_cast<void>(os_.cancel_io_ex(file_.get(), request));
    }
    // The request must end before `request` goes.
    if (const auto settled = os_.get_overlapped_result(file_.get(), request, /*wait=*/true)) {
      locked = {};
    } else {
      locked = std::unexpected(settled.error());
    }
  }
  gave_up_ = !locked;
  return Held(locked ? this : nullptr);
}

PermissionsLock::Held::~Held() {
  if (lock_ == nullptr) {
    return;
  }
  OVERLAPPED range;
  if (!lock_->os_.unlock_file_ex(lock_->file_.get(), kLockedBytes, 0, range)) {
    // Closing the file gives the lock back too; this program then goes on
    // without it.
    lock_->file_.reset();
    lock_->gave_up_ = true;
  }
}

} // namespace obrex
