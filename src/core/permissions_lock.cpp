#include "core/permissions_lock.h"

#include "core/security_conversions.h"
#include "platform/constants.h"

namespace obrex {

PermissionsLock::Held PermissionsLock::hold() {
  if (!opened_) {
    opened_ = true;
    // Only a label: the DACL comes from this program's token, as for any
    // object made without one.
    if (const auto descriptor = security_descriptor_from_sddl(os_, kDescriptor)) {
      if (const auto mutex = os_.create_mutex(descriptor->get(), kName)) {
        mutex_ = UniqueHandle(os_, *mutex);
      }
    }
  }
  if (!mutex_) {
    gave_up_ = true;
    return Held(nullptr);
  }
  // An owner that ended without releasing it (WAIT_ABANDONED) left no edit
  // half done that matters here: each edit is one write of a whole DACL.
  const auto waited = os_.wait_for_single_object(mutex_.get(), kWaitMilliseconds);
  const bool owned = waited && (*waited == win::WAIT_OBJECT_0 || *waited == win::WAIT_ABANDONED);
  gave_up_ = gave_up_ || !owned;
  return Held(owned ? this : nullptr);
}

PermissionsLock::Held::~Held() {
  if (lock_ != nullptr) {
    static_cast<void>(lock_->os_.release_mutex(lock_->mutex_.get()));
  }
}

} // namespace obrex
