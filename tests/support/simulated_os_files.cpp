// The simulated file-system and named-security calls.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace obrex::test {
namespace {

std::uint32_t attributes_of(const SimFile& entry) {
  std::uint32_t attributes = entry.directory ? 0x10u : 0x20; // ARCHIVE
  return attributes | (entry.reparse_tag != 0 ? 0x400u : 0);
}

// What a call that looks up a missing entry fails with: its directory is
// missing too, or only the entry is.
std::unexpected<OsCode> missing_entry(const SimulatedOs& os, std::u16string_view key) {
  const auto parent = SimulatedOs::parent_key(key);
  return std::unexpected(!parent || os.files.contains(*parent) ? 2u : 3u);
}

} // namespace

OsResult<Handle> SimulatedOs::create_file(std::u16string_view path, std::uint32_t access,
                                          std::uint32_t /*share*/, std::uint32_t disposition,
                                          std::uint32_t flags, SecurityDescriptorPtr descriptor) {
  if (const auto fault = enter("create_file")) {
    return std::unexpected(*fault);
  }
  // OPEN_EXISTING (3), OPEN_ALWAYS (4) or CREATE_NEW (1).
  if (disposition != 3u && disposition != 4u && disposition != 1u) {
    ADD_FAILURE() << "the program makes no file but with OPEN_ALWAYS or CREATE_NEW";
  }
  std::u16string key = normalise(path);
  if (disposition == 1u && files.contains(key)) {
    return std::unexpected(80u); // ERROR_FILE_EXISTS
  }
  if (disposition != 3u && !files.contains(key)) {
    const auto parent = parent_key(key);
    if (!parent || !files.contains(*parent) || !files[*parent].directory) {
      return std::unexpected(3u);
    }
    const Allocation* made = descriptor.value == nullptr
                                 ? nullptr
                                 : allocation(descriptor.value, AllocationKind::SecurityDescriptor);
    files[key].label = made != nullptr && made->sacl ? *made->sacl : "";
  }
  const bool follow = (flags & 0x00200000u) == 0;
  for (int depth = 0;; ++depth) {
    const auto it = files.find(key);
    if (it == files.end()) {
      return missing_entry(*this, key);
    }
    const SimFile& entry = it->second;
    if (follow && entry.follow_open_error != 0) {
      return std::unexpected(entry.follow_open_error);
    }
    if (follow && entry.link_target && depth < 8) {
      key = normalise(*entry.link_target);
      continue;
    }
    if (entry.directory && (flags & 0x02000000u) == 0) {
      return std::unexpected(5u); // directories open only so
    }
    HandleObject object{HandleKind::File, key};
    object.access = access;
    object.flags = flags;
    return new_handle(object);
  }
}

namespace {

constexpr OsCode kErrorNotLocked = 158;
constexpr OsCode kErrorOperationAborted = 995;
constexpr OsCode kErrorIoIncomplete = 996;
constexpr OsCode kErrorNotFound = 1168;
constexpr std::uint32_t kGenericWrite = 0x40000000;

// Ends the pending request of `file` with `code` (0: the lock is granted),
// as the system does: the outcome goes into the record, and its event is
// signalled.
void end_request(SimulatedOs& os, SimulatedOs::HandleObject& file, OsCode code) {
  file.pending->Internal = code;
  file.locked = file.locked || code == 0;
  if (file.pending->hEvent.value != nullptr) {
    if (auto* event = os.handle_object(file.pending->hEvent, SimulatedOs::HandleKind::Event)) {
      event->signalled = true;
    }
  }
  file.pending = nullptr;
}

} // namespace

void SimulatedOs::grant_freed_locks() {
  for (auto& [value, object] : handles_) {
    if (object.pending == nullptr) {
      continue;
    }
    const bool held = files.at(object.path).locked_elsewhere ||
                      std::ranges::any_of(handles_, [&](const auto& other) {
                        return other.second.kind == HandleKind::File && other.second.locked &&
                               other.second.path == object.path;
                      });
    if (!held) {
      end_request(*this, object, 0);
    }
  }
}

OsResult<void> SimulatedOs::lock_file_ex(Handle file, std::uint32_t flags, std::uint32_t bytes_low,
                                         std::uint32_t bytes_high, OVERLAPPED& overlapped) {
  if (const auto fault = enter("lock_file_ex")) {
    return std::unexpected(*fault);
  }
  HandleObject* object = handle_object(file, HandleKind::File);
  if (object == nullptr) {
    return std::unexpected(OsCode{6});
  }
  if (flags != 0x2u || bytes_low != 1 || bytes_high != 0 || overlapped.Offset != 0 ||
      overlapped.OffsetHigh != 0) {
    ADD_FAILURE() << "a lock other than the exclusive lock of the first byte";
  }
  if ((object->access & (0x80000000u | kGenericWrite)) == 0) {
    return std::unexpected(5u);
  }
  if ((object->flags & 0x40000000u) == 0) {
    ADD_FAILURE() << "a lock request that would wait without a bound";
  }
  if (overlapped.hEvent.value != nullptr) {
    if (auto* event = handle_object(overlapped.hEvent, HandleKind::Event)) {
      event->signalled = false;
    }
  }
  object->pending = &overlapped;
  grant_freed_locks();
  if (object->pending != nullptr) {
    overlapped.Internal = 997u;
    return std::unexpected(997u);
  }
  return {};
}

OsResult<void> SimulatedOs::unlock_file_ex(Handle file, std::uint32_t bytes_low,
                                           std::uint32_t bytes_high, OVERLAPPED& overlapped) {
  if (const auto fault = enter("unlock_file_ex")) {
    return std::unexpected(*fault);
  }
  HandleObject* object = handle_object(file, HandleKind::File);
  if (object == nullptr || !object->locked || bytes_low != 1 || bytes_high != 0 ||
      overlapped.Offset != 0 || overlapped.OffsetHigh != 0) {
    return std::unexpected(kErrorNotLocked);
  }
  object->locked = false;
  return {};
}

OsResult<void> SimulatedOs::cancel_io_ex(Handle file, OVERLAPPED& overlapped) {
  if (const auto fault = enter("cancel_io_ex")) {
    return std::unexpected(*fault);
  }
  grant_freed_locks();
  HandleObject* object = handle_object(file, HandleKind::File);
  if (object == nullptr || object->pending != &overlapped) {
    return std::unexpected(kErrorNotFound);
  }
  end_request(*this, *object, kErrorOperationAborted);
  return {};
}

OsResult<std::uint32_t> SimulatedOs::get_overlapped_result(Handle file, OVERLAPPED& overlapped,
                                                           bool wait) {
  if (const auto fault = enter("get_overlapped_result")) {
    return std::unexpected(*fault);
  }
  grant_freed_locks();
  const HandleObject* object = handle_object(file, HandleKind::File);
  if (object != nullptr && object->pending == &overlapped) {
    if (wait) {
      ADD_FAILURE() << "a wait for a request that nothing ends";
    }
    return std::unexpected(kErrorIoIncomplete);
  }
  if (overlapped.Internal != 0) {
    return std::unexpected(static_cast<OsCode>(overlapped.Internal));
  }
  return 0u;
}

namespace {

// The entry a file handle reached; nullptr (and a test failure) for another
// handle.
const SimFile* opened_entry(SimulatedOs& os, Handle file) {
  const auto* object = os.handle_object(file, SimulatedOs::HandleKind::File);
  return object == nullptr ? nullptr : &os.files.at(object->path);
}

} // namespace

OsResult<BY_HANDLE_FILE_INFORMATION> SimulatedOs::get_file_information_by_handle(Handle file) {
  if (const auto fault = enter("get_file_information_by_handle")) {
    return std::unexpected(*fault);
  }
  const SimFile* entry = opened_entry(*this, file);
  return BY_HANDLE_FILE_INFORMATION{entry == nullptr ? 0 : attributes_of(*entry)};
}

OsResult<FILE_ID_INFO> SimulatedOs::get_file_id_info(Handle file) {
  if (const auto fault = enter("get_file_id_info")) {
    return std::unexpected(*fault);
  }
  const SimFile* entry = opened_entry(*this, file);
  if (entry == nullptr || entry->file_id_error != 0) {
    return std::unexpected(entry == nullptr ? 6 : entry->file_id_error);
  }
  FILE_ID_INFO info;
  info.VolumeSerialNumber = entry->volume_serial;
  std::ranges::copy(entry->file_id, info.FileId);
  return info;
}

OsResult<FILE_ATTRIBUTE_TAG_INFO> SimulatedOs::get_file_attribute_tag_info(Handle file) {
  if (const auto fault = enter("get_file_attribute_tag_info")) {
    return std::unexpected(*fault);
  }
  const SimFile* entry = opened_entry(*this, file);
  return entry == nullptr ? FILE_ATTRIBUTE_TAG_INFO{}
                          : FILE_ATTRIBUTE_TAG_INFO{attributes_of(*entry), entry->reparse_tag};
}

OsResult<std::u16string> SimulatedOs::get_full_path_name(std::u16string_view path) {
  if (const auto fault = enter("get_full_path_name")) {
    return std::unexpected(*fault);
  }
  if (path.empty()) {
    return std::unexpected(87u);
  }
  return full_path(path);
}

OsResult<WIN32_FIND_DATAW> SimulatedOs::find_first_file_ex(std::u16string_view path) {
  if (const auto fault = enter("find_first_file_ex")) {
    return std::unexpected(*fault);
  }
  const SimFile* entry = find(path);
  if (entry == nullptr) {
    return std::unexpected(2u);
  }
  return WIN32_FIND_DATAW{attributes_of(*entry), entry->reparse_tag};
}

OsResult<void> SimulatedOs::create_directory(std::u16string_view path) {
  if (const auto fault = enter("create_directory")) {
    return std::unexpected(*fault);
  }
  // Without the extended-length prefix, CreateDirectoryW refuses paths of
  // 248 units and more, with the NUL (ERROR_FILENAME_EXCED_RANGE).
  if (path.size() + 1 >= 248 && !path.starts_with(u"\\\\?\\")) {
    return std::unexpected(OsCode{206});
  }
  const std::u16string key = normalise(path);
  if (files.contains(key)) {
    return std::unexpected(183u);
  }
  const auto parent = parent_key(key);
  if (!parent || !files.contains(*parent) || !files[*parent].directory) {
    return std::unexpected(3u);
  }
  files[key].directory = true;
  return {};
}

OsResult<std::u16string> SimulatedOs::get_known_folder_path_profile() {
  if (const auto fault = enter("get_known_folder_path_profile")) {
    return std::unexpected(*fault);
  }
  if (!profile) {
    return std::unexpected(OsCode{0x80004005}); // E_FAIL
  }
  return *profile;
}

OsResult<std::uint32_t> SimulatedOs::get_file_attributes(std::u16string_view path) {
  if (const auto fault = enter("get_file_attributes")) {
    return std::unexpected(*fault);
  }
  // With long paths off, a path of MAX_PATH units or more is not found.
  if (path.size() >= 260 && !path.starts_with(u"\\\\?\\")) {
    return std::unexpected(3u);
  }
  // The entry itself: a link, even one to nothing, has attributes of its own.
  const std::u16string key = normalise(path);
  const auto it = files.find(key);
  if (it == files.end()) {
    return missing_entry(*this, key);
  }
  return attributes_of(it->second);
}

OsResult<NamedSecurityInfo> SimulatedOs::get_named_security_info(std::u16string_view path,
                                                                 std::uint32_t object_type,
                                                                 std::uint32_t information,
                                                                 bool want_dacl) {
  if (const auto fault = enter("get_named_security_info")) {
    return std::unexpected(*fault);
  }
  const bool dacl_part = (information & 0x4u) != 0;
  if (object_type != 1u || (want_dacl && !dacl_part)) {
    ADD_FAILURE() << "GetNamedSecurityInfoW with object type " << object_type << " and information "
                  << information;
  }
  const SimFile* entry = find(path);
  if (entry == nullptr) {
    return std::unexpected(2u);
  }
  const SecurityInfo read = read_security(*entry, information, want_dacl);
  return NamedSecurityInfo{read.descriptor, read.dacl};
}

OsResult<SecurityInfo> SimulatedOs::get_security_info(Handle handle, std::uint32_t object_type,
                                                      std::uint32_t information) {
  if (const auto fault = enter("get_security_info")) {
    return std::unexpected(*fault);
  }
  const HandleObject* object = handle_object(handle, HandleKind::File);
  if (object == nullptr || object_type != 1u) {
    return std::unexpected(87u);
  }
  return read_security(files.at(object->path), information, true);
}

SecurityInfo SimulatedOs::read_security(const SimFile& entry, std::uint32_t information,
                                        bool want_dacl) {
  Allocation descriptor{AllocationKind::SecurityDescriptor, "", nullptr, nullptr};
  const bool dacl_part = (information & 0x4u) != 0;
  if (dacl_part) {
    descriptor.dacl = std::make_unique<std::string>(entry.dacl);
  }
  if ((information & 0x10u) != 0 && !entry.label.empty()) {
    descriptor.sacl = std::make_unique<std::string>(entry.label);
  }
  // A null DACL reads as "D:NO_ACCESS_CONTROL" and is handed out as no ACL.
  const bool null_dacl = entry.dacl == "D:NO_ACCESS_CONTROL";
  const AclPtr dacl{want_dacl && !null_dacl ? descriptor.dacl.get() : nullptr};
  const AclPtr sacl{descriptor.sacl.get()};
  return SecurityInfo{SecurityDescriptorPtr{allocate(std::move(descriptor))}, dacl, sacl};
}

OsResult<AclPtr> SimulatedOs::set_entries_in_acl(const EXPLICIT_ACCESS_W& entry, AclPtr old_acl) {
  if (const auto fault = enter("set_entries_in_acl")) {
    return std::unexpected(*fault);
  }
  explicit_accesses.push_back(entry);
  const std::string* trustee = sid_text(SidPtr{entry.Trustee.ptstrName});
  const std::string* old_text = acl_text(old_acl);
  std::string text = (old_text != nullptr ? *old_text : "D:") + "(A;OICI;FA;;;" +
                     (trustee != nullptr ? *trustee : "?") + ")";
  return AclPtr{allocate(Allocation{AllocationKind::Acl, std::move(text), nullptr, nullptr})};
}

OsResult<void> SimulatedOs::set_named_security_info(std::u16string_view path,
                                                    std::uint32_t object_type,
                                                    std::uint32_t information, AclPtr dacl,
                                                    AclPtr sacl) {
  if (const auto fault = enter("set_named_security_info")) {
    return std::unexpected(*fault);
  }
  if (object_type != 1u) {
    ADD_FAILURE() << "SetNamedSecurityInfoW with object type " << object_type;
    return std::unexpected(87u);
  }
  SimFile* entry = find(path);
  if (entry == nullptr) {
    return std::unexpected(2u);
  }
  return write_security(*entry, information, dacl, sacl);
}

OsResult<void> SimulatedOs::set_security_info(Handle handle, std::uint32_t object_type,
                                              std::uint32_t information, AclPtr dacl, AclPtr sacl) {
  if (const auto fault = enter("set_security_info")) {
    return std::unexpected(*fault);
  }
  const HandleObject* object = handle_object(handle, HandleKind::File);
  if (object == nullptr || object_type != 1u) {
    return std::unexpected(87u);
  }
  return write_security(files.at(object->path), information, dacl, sacl);
}

OsResult<void> SimulatedOs::write_security(SimFile& entry, std::uint32_t information, AclPtr dacl,
                                           AclPtr sacl) {
  // The program writes the DACL, the label or both, nothing else, always
  // with a DACL for the DACL part and with no ACL for a part it does not
  // write; it may say whether the DACL inherits, never both ways at once.
  constexpr std::uint32_t kProtection = 0x80000000u | 0x20000000u;
  const bool dacl_part = (information & 0x4u) != 0;
  const bool label_part = (information & 0x10u) != 0;
  if ((!dacl_part && !label_part) || (information & kProtection) == kProtection ||
      ((information & kProtection) != 0 && !dacl_part) ||
      (information & ~(0x4u | 0x10u | kProtection)) != 0 || (dacl.value != nullptr) != dacl_part ||
      (!label_part && sacl.value != nullptr)) {
    ADD_FAILURE() << "writing security with information " << information;
    return std::unexpected(87u);
  }
  if (dacl_part) {
    // An ACL carries no protection of its own: the object's stays unless the
    // call says otherwise. The rest of the ACL's flags ("AI") are written.
    const std::string* text = acl_text(dacl);
    std::string written = text != nullptr ? *text : "D:";
    const std::size_t entries = std::min(written.find('('), written.size());
    const std::size_t old_entries = std::min(entry.dacl.find('('), entry.dacl.size());
    const bool was_protected = entry.dacl.substr(0, old_entries).find('P') != std::string::npos;
    const bool now_protected =
        (information & 0x80000000u) != 0 || (was_protected && (information & 0x20000000u) == 0);
    std::string header = written.substr(2, entries - 2);
    std::erase(header, 'P');
    entry.dacl = "D:" + std::string(now_protected ? "P" : "") + header + written.substr(entries);
  }
  if (label_part) {
    // A SACL without entries takes the label away.
    const std::string* text = acl_text(sacl);
    entry.label = text != nullptr && text->find('(') != std::string::npos ? *text : "";
  }
  return {};
}

OsResult<void> SimulatedOs::delete_file(std::u16string_view path) {
  if (const auto fault = enter("delete_file")) {
    return std::unexpected(*fault);
  }
  const auto it = files.find(normalise(path));
  if (it == files.end() || it->second.directory) {
    return std::unexpected(it == files.end() ? OsCode{2} : OsCode{5});
  }
  files.erase(it);
  return {};
}

OsResult<void> SimulatedOs::remove_directory(std::u16string_view path) {
  if (const auto fault = enter("remove_directory")) {
    return std::unexpected(*fault);
  }
  const std::u16string key = normalise(path);
  const auto it = files.find(key);
  if (it == files.end() || !it->second.directory) {
    return std::unexpected(it == files.end() ? OsCode{2} : OsCode{267});
  }
  for (const auto& [other, entry] : files) {
    if (parent_key(other) == key) {
      return std::unexpected(OsCode{145}); // ERROR_DIR_NOT_EMPTY
    }
  }
  files.erase(it);
  return {};
}

} // namespace obrex::test
