// The simulated file-system and named-security calls.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

namespace obrex::test {

OsResult<void> SimulatedOs::create_directory(std::u16string_view /*path*/) {
  ADD_FAILURE() << "not simulated yet: create_directory";
  return std::unexpected(OsCode{50});
}

OsResult<std::u16string> SimulatedOs::get_known_folder_path_profile() {
  ADD_FAILURE() << "not simulated yet: get_known_folder_path_profile";
  return std::unexpected(OsCode{50});
}

OsResult<NamedSecurityInfo> SimulatedOs::get_named_security_info(std::u16string_view /*path*/,
                                                                 std::uint32_t /*object_type*/,
                                                                 std::uint32_t /*information*/,
                                                                 bool /*want_dacl*/) {
  ADD_FAILURE() << "not simulated yet: get_named_security_info";
  return std::unexpected(OsCode{50});
}

OsResult<AclPtr> SimulatedOs::set_entries_in_acl(const EXPLICIT_ACCESS_W& /*entry*/,
                                                 AclPtr /*old_acl*/) {
  ADD_FAILURE() << "not simulated yet: set_entries_in_acl";
  return std::unexpected(OsCode{50});
}

OsResult<void> SimulatedOs::set_named_security_info(std::u16string_view /*path*/,
                                                    std::uint32_t /*object_type*/,
                                                    std::uint32_t /*information*/, AclPtr /*dacl*/,
                                                    AclPtr /*sacl*/) {
  ADD_FAILURE() << "not simulated yet: set_named_security_info";
  return std::unexpected(OsCode{50});
}

} // namespace obrex::test
