// The simulated file-system and named-security calls.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include "platform/constants.h"

namespace obrex::test {
namespace {

constexpr OsCode kEFail = 0x80004005;
constexpr OsCode kErrorFilenameExcedRange = 206;
constexpr std::size_t kLegacyDirectoryUnits = 248; // with the NUL

} // namespace

OsResult<void> SimulatedOs::create_directory(std::u16string_view path) {
  if (const auto fault = enter("create_directory")) {
    return std::unexpected(*fault);
  }
  // Without the extended-length prefix, CreateDirectoryW refuses long paths.
  if (path.size() + 1 >= kLegacyDirectoryUnits && !path.starts_with(u"\\\\?\\")) {
    return std::unexpected(kErrorFilenameExcedRange);
  }
  const std::u16string key = normalise(path);
  if (files.contains(key)) {
    return std::unexpected(win::ERROR_ALREADY_EXISTS);
  }
  const auto parent = parent_key(key);
  const auto holder = parent ? files.find(*parent) : files.end();
  if (holder == files.end() || !holder->second.directory) {
    return std::unexpected(win::ERROR_PATH_NOT_FOUND);
  }
  files[key].directory = true;
  return {};
}

OsResult<std::u16string> SimulatedOs::get_known_folder_path_profile() {
  if (const auto fault = enter("get_known_folder_path_profile")) {
    return std::unexpected(*fault);
  }
  if (!profile) {
    return std::unexpected(kEFail);
  }
  return *profile;
}

OsResult<NamedSecurityInfo> SimulatedOs::get_named_security_info(std::u16string_view path,
                                                                 std::uint32_t object_type,
                                                                 std::uint32_t information,
                                                                 bool want_dacl) {
  if (const auto fault = enter("get_named_security_info")) {
    return std::unexpected(*fault);
  }
  const bool dacl_part = (information & win::DACL_SECURITY_INFORMATION) != 0;
  const bool label_part = (information & win::LABEL_SECURITY_INFORMATION) != 0;
  if (object_type != win::SE_FILE_OBJECT || (want_dacl && !dacl_part)) {
    ADD_FAILURE() << "GetNamedSecurityInfoW with object type " << object_type << " and information "
                  << information;
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  const SimFile* entry = find(path);
  if (entry == nullptr) {
    return std::unexpected(win::ERROR_FILE_NOT_FOUND);
  }
  Allocation descriptor{AllocationKind::SecurityDescriptor, "", nullptr, nullptr};
  if (dacl_part) {
    descriptor.dacl = std::make_unique<std::string>(entry->dacl);
    descriptor.text += entry->dacl;
  }
  if (label_part && !entry->label.empty()) {
    descriptor.sacl = std::make_unique<std::string>(entry->label);
    descriptor.text += entry->label;
  }
  const AclPtr dacl{want_dacl ? descriptor.dacl.get() : nullptr};
  return NamedSecurityInfo{SecurityDescriptorPtr{allocate(std::move(descriptor))}, dacl};
}

OsResult<AclPtr> SimulatedOs::set_entries_in_acl(const EXPLICIT_ACCESS_W& entry, AclPtr old_acl) {
  if (const auto fault = enter("set_entries_in_acl")) {
    return std::unexpected(*fault);
  }
  explicit_accesses.push_back(entry);
  const std::string* trustee = entry.Trustee.TrusteeForm == win::TRUSTEE_IS_SID
                                   ? sid_text(SidPtr{entry.Trustee.ptstrName})
                                   : nullptr;
  if (trustee == nullptr) {
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  const std::string* old_text = acl_text(old_acl);
  std::string text = old_text != nullptr ? *old_text : "D:";
  text += "(A;OICI;FA;;;" + *trustee + ")";
  return AclPtr{allocate(Allocation{AllocationKind::Acl, std::move(text), nullptr, nullptr})};
}

OsResult<void> SimulatedOs::set_named_security_info(std::u16string_view path,
                                                    std::uint32_t object_type,
                                                    std::uint32_t information, AclPtr dacl,
                                                    AclPtr sacl) {
  if (const auto fault = enter("set_named_security_info")) {
    return std::unexpected(*fault);
  }
  // The program writes either the DACL or the label, nothing else, and
  // passes no ACL for the part it does not write.
  const bool dacl_part = information == win::DACL_SECURITY_INFORMATION;
  const bool label_part = information == win::LABEL_SECURITY_INFORMATION;
  if (object_type != win::SE_FILE_OBJECT || (!dacl_part && !label_part) ||
      (dacl_part && (dacl.value == nullptr || sacl.value != nullptr)) ||
      (label_part && dacl.value != nullptr)) {
    ADD_FAILURE() << "SetNamedSecurityInfoW with object type " << object_type << " and information "
                  << information;
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  SimFile* entry = find(path);
  if (entry == nullptr) {
    return std::unexpected(win::ERROR_FILE_NOT_FOUND);
  }
  const std::string* text = acl_text(dacl_part ? dacl : sacl);
  (dacl_part ? entry->dacl : entry->label) = text != nullptr ? *text : "";
  return {};
}

} // namespace obrex::test
