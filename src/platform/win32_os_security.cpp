#include "platform/win32_os.h"

#include "platform/win32_os_support.h"

#include <aclapi.h>
#include <sddl.h>

#include <cstddef>
#include <cstring>
#include <iterator>

namespace obrex {

using namespace win32;

// --- SIDs, security descriptors, ACLs ---------------------------------------

OsResult<SidPtr> Win32Os::convert_string_sid_to_sid(std::u16string_view text) {
  const std::wstring wide_text = wide(text);
  PSID sid = nullptr;
  if (!::ConvertStringSidToSidW(wide_text.c_str(), &sid)) {
    return last_error();
  }
  return SidPtr{sid};
}

OsResult<std::u16string> Win32Os::convert_sid_to_string_sid(SidPtr sid) {
  LocalString text;
  if (!::ConvertSidToStringSidW(sid.value, text.put())) {
    return last_error();
  }
  return units(text.get(), std::wcslen(text.get()));
}

std::uint32_t Win32Os::get_length_sid(SidPtr sid) {
  return ::GetLengthSid(sid.value);
}

OsResult<SecurityDescriptorPtr>
Win32Os::convert_string_security_descriptor_to_security_descriptor(std::u16string_view sddl,
                                                                   std::uint32_t revision) {
  const std::wstring wide_sddl = wide(sddl);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide_sddl.c_str(), revision,
                                                              &descriptor, nullptr)) {
    return last_error();
  }
  return SecurityDescriptorPtr{descriptor};
}

OsResult<std::u16string> Win32Os::convert_security_descriptor_to_string_security_descriptor(
    SecurityDescriptorPtr descriptor, std::uint32_t revision, std::uint32_t information) {
  LocalString text;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.value, revision,
                                                              information, text.put(), nullptr)) {
    return last_error();
  }
  return units(text.get(), std::wcslen(text.get()));
}

OsResult<AclPtr> Win32Os::get_security_descriptor_dacl(SecurityDescriptorPtr descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  if (!::GetSecurityDescriptorDacl(descriptor.value, &present, &acl, &defaulted)) {
    return last_error();
  }
  return AclPtr{present ? acl : nullptr};
}

OsResult<AclPtr> Win32Os::get_security_descriptor_sacl(SecurityDescriptorPtr descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  if (!::GetSecurityDescriptorSacl(descriptor.value, &present, &acl, &defaulted)) {
    return last_error();
  }
  return AclPtr{present ? acl : nullptr};
}

OsResult<NamedSecurityInfo> Win32Os::get_named_security_info(std::u16string_view path,
                                                             std::uint32_t object_type,
                                                             std::uint32_t information,
                                                             bool want_dacl) {
  const std::wstring wide_path = wide(path);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  const DWORD status = ::GetNamedSecurityInfoW(
      wide_path.c_str(), static_cast<::SE_OBJECT_TYPE>(object_type), information, nullptr, nullptr,
      want_dacl ? &dacl : nullptr, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    return status_error(status);
  }
  return NamedSecurityInfo{SecurityDescriptorPtr{descriptor}, AclPtr{dacl}};
}

OsResult<AclPtr> Win32Os::set_entries_in_acl(const EXPLICIT_ACCESS_W& entry, AclPtr old_acl) {
  ::EXPLICIT_ACCESS_W access{};
  access.grfAccessPermissions = entry.grfAccessPermissions;
  access.grfAccessMode = static_cast<::ACCESS_MODE>(entry.grfAccessMode);
  access.grfInheritance = entry.grfInheritance;
  access.Trustee.pMultipleTrustee = static_cast<::TRUSTEE_W*>(entry.Trustee.pMultipleTrustee);
  access.Trustee.MultipleTrusteeOperation =
      static_cast<::MULTIPLE_TRUSTEE_OPERATION>(entry.Trustee.MultipleTrusteeOperation);
  access.Trustee.TrusteeForm = static_cast<::TRUSTEE_FORM>(entry.Trustee.TrusteeForm);
  access.Trustee.TrusteeType = static_cast<::TRUSTEE_TYPE>(entry.Trustee.TrusteeType);
  access.Trustee.ptstrName = static_cast<LPWSTR>(entry.Trustee.ptstrName);
  PACL acl = nullptr;
  const DWORD status = ::SetEntriesInAclW(1, &access, static_cast<PACL>(old_acl.value), &acl);
  if (status != ERROR_SUCCESS) {
    return status_error(status);
  }
  return AclPtr{acl};
}

OsResult<std::uint32_t> Win32Os::get_acl_information(AclPtr acl) {
  ::ACL_SIZE_INFORMATION size{};
  if (!::GetAclInformation(static_cast<PACL>(acl.value), &size, sizeof size, AclSizeInformation)) {
    return last_error();
  }
  return static_cast<std::uint32_t>(size.AceCount);
}

OsResult<void> Win32Os::set_named_security_info(std::u16string_view path, std::uint32_t object_type,
                                                std::uint32_t information, AclPtr dacl,
                                                AclPtr sacl) {
  // The call takes the name through a non-const pointer.
  std::wstring wide_path = wide(path);
  const DWORD status = ::SetNamedSecurityInfoW(
      wide_path.data(), static_cast<::SE_OBJECT_TYPE>(object_type), information, nullptr, nullptr,
      static_cast<PACL>(dacl.value), static_cast<PACL>(sacl.value));
  if (status != ERROR_SUCCESS) {
    return status_error(status);
  }
  return {};
}

namespace {

// Where the SID of an entry of this type begins, or 0 for a type without
// one: after the header and the mask, and in the object types also after
// their flags and the GUIDs those flags announce.
std::size_t sid_offset(const unsigned char* ace, std::size_t size) {
  switch (ace[0]) {
  case ACCESS_ALLOWED_ACE_TYPE:
  case ACCESS_DENIED_ACE_TYPE:
  case SYSTEM_AUDIT_ACE_TYPE:
  case SYSTEM_ALARM_ACE_TYPE:
  case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
  case ACCESS_DENIED_CALLBACK_ACE_TYPE:
  case SYSTEM_AUDIT_CALLBACK_ACE_TYPE:
  case SYSTEM_ALARM_CALLBACK_ACE_TYPE:
  case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
  case SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE:
  case SYSTEM_SCOPED_POLICY_ID_ACE_TYPE:
    return offsetof(::ACCESS_ALLOWED_ACE, SidStart);
  case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
  case ACCESS_DENIED_OBJECT_ACE_TYPE:
  case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
  case SYSTEM_ALARM_OBJECT_ACE_TYPE:
  case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
  case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
  case SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE:
  case SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE: {
    constexpr std::size_t kFlags = offsetof(::ACCESS_ALLOWED_OBJECT_ACE, Flags);
    if (size < kFlags + sizeof(DWORD)) {
      return 0;
    }
    DWORD flags = 0;
    std::memcpy(&flags, ace + kFlags, sizeof flags);
    return kFlags + sizeof(DWORD) + ((flags & ACE_OBJECT_TYPE_PRESENT) != 0 ? sizeof(GUID) : 0) +
           ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0 ? sizeof(GUID) : 0);
  }
  default:
    return 0;
  }
}

} // namespace

OsResult<ACE_RECORD> Win32Os::get_ace(AclPtr acl, std::uint32_t index) {
  void* entry = nullptr;
  if (!::GetAce(static_cast<PACL>(acl.value), index, &entry)) {
    return last_error();
  }
  const auto* bytes = static_cast<const unsigned char*>(entry);
  ::ACE_HEADER header{};
  std::memcpy(&header, bytes, sizeof header);
  ACE_RECORD record;
  record.AceType = header.AceType;
  record.AceFlags = header.AceFlags;
  record.AceSize = header.AceSize;
  const std::size_t size = header.AceSize;
  const std::size_t sid_at = sid_offset(bytes, size);
  if (sid_at == 0) {
    return record;
  }
  std::memcpy(&record.Mask, bytes + sizeof header, sizeof record.Mask);
  // The SID must lie whole inside the entry: its fixed part first (revision,
  // count, authority), then as many subauthorities as it counts.
  constexpr std::size_t kSidFixed = 8;
  if (sid_at + kSidFixed <= size &&
      sid_at + kSidFixed + 4 * std::size_t{bytes[sid_at + 1]} <= size) {
    record.Sid = SidPtr{const_cast<unsigned char*>(bytes + sid_at)};
  }
  return record;
}

OsResult<void> Win32Os::delete_ace(AclPtr acl, std::uint32_t index) {
  if (!::DeleteAce(static_cast<PACL>(acl.value), index)) {
    return last_error();
  }
  return {};
}

OsResult<std::uint16_t> Win32Os::get_security_descriptor_control(SecurityDescriptorPtr descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!::GetSecurityDescriptorControl(descriptor.value, &control, &revision)) {
    return last_error();
  }
  return static_cast<std::uint16_t>(control);
}

bool Win32Os::equal_sid(SidPtr a, SidPtr b) {
  return ::EqualSid(a.value, b.value) != FALSE;
}

OsResult<SecurityInfo> Win32Os::get_security_info(Handle handle, std::uint32_t object_type,
                                                  std::uint32_t information) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  PACL sacl = nullptr;
  const DWORD status = ::GetSecurityInfo(native(handle), static_cast<::SE_OBJECT_TYPE>(object_type),
                                         information, nullptr, nullptr, &dacl, &sacl, &descriptor);
  if (status != ERROR_SUCCESS) {
    return status_error(status);
  }
  return SecurityInfo{SecurityDescriptorPtr{descriptor}, AclPtr{dacl}, AclPtr{sacl}};
}

OsResult<void> Win32Os::set_security_info(Handle handle, std::uint32_t object_type,
                                          std::uint32_t information, AclPtr dacl, AclPtr sacl) {
  const DWORD status = ::SetSecurityInfo(
      native(handle), static_cast<::SE_OBJECT_TYPE>(object_type), information, nullptr, nullptr,
      static_cast<PACL>(dacl.value), static_cast<PACL>(sacl.value));
  if (status != ERROR_SUCCESS) {
    return status_error(status);
  }
  return {};
}

void Win32Os::local_free(void* memory) {
  const DWORD error = ::GetLastError();
  ::LocalFree(memory);
  ::SetLastError(error);
}

// --- tokens -----------------------------------------------------------------

OsResult<Handle> Win32Os::open_process_token(std::uint32_t access) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), access, &token)) {
    return last_error();
  }
  return Handle{token};
}

OsResult<void> Win32Os::get_token_information(Handle token, std::uint32_t information_class,
                                              void* buffer, std::uint32_t length,
                                              std::uint32_t& needed) {
  DWORD returned = 0;
  const BOOL ok = ::GetTokenInformation(native(token),
                                        static_cast<::TOKEN_INFORMATION_CLASS>(information_class),
                                        buffer, length, &returned);
  needed = returned;
  if (!ok) {
    return last_error();
  }
  return {};
}

OsResult<Handle> Win32Os::create_restricted_token(Handle token, std::uint32_t flags,
                                                  std::span<const SID_AND_ATTRIBUTES> restricting) {
  std::vector<::SID_AND_ATTRIBUTES> sids(restricting.size());
  for (std::size_t i = 0; i < restricting.size(); ++i) {
    sids[i].Sid = restricting[i].Sid.value;
    sids[i].Attributes = restricting[i].Attributes;
  }
  HANDLE restricted = nullptr;
  if (!::CreateRestrictedToken(native(token), flags, 0, nullptr, 0, nullptr,
                               static_cast<DWORD>(sids.size()),
                               sids.empty() ? nullptr : sids.data(), &restricted)) {
    return last_error();
  }
  return Handle{restricted};
}

OsResult<void> Win32Os::set_token_information(Handle token, std::uint32_t information_class,
                                              const void* information, std::uint32_t length) {
  // The call takes the record through a non-const pointer but only reads it.
  if (!::SetTokenInformation(native(token),
                             static_cast<::TOKEN_INFORMATION_CLASS>(information_class),
                             const_cast<void*>(information), length)) {
    return last_error();
  }
  return {};
}

// --- the companion tool -----------------------------------------------------

OsResult<void> Win32Os::lookup_account_sid(SidPtr sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_length = static_cast<DWORD>(std::size(name));
  DWORD domain_length = static_cast<DWORD>(std::size(domain));
  ::SID_NAME_USE use{};
  if (::LookupAccountSidW(nullptr, sid.value, name, &name_length, domain, &domain_length, &use)) {
    return {};
  }
  const DWORD error = ::GetLastError();
  // Buffers too small for the names: the SID names an account all the same.
  if (error == ERROR_INSUFFICIENT_BUFFER) {
    return {};
  }
  return status_error(error);
}

} // namespace obrex
