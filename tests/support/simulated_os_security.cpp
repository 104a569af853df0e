// The simulated SID, security-descriptor and token calls.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

namespace obrex::test {

OsResult<SidPtr> SimulatedOs::convert_string_sid_to_sid(std::u16string_view /*text*/) {
  ADD_FAILURE() << "not simulated yet: convert_string_sid_to_sid";
  return std::unexpected(OsCode{50});
}

OsResult<std::u16string> SimulatedOs::convert_sid_to_string_sid(SidPtr /*sid*/) {
  ADD_FAILURE() << "not simulated yet: convert_sid_to_string_sid";
  return std::unexpected(OsCode{50});
}

std::uint32_t SimulatedOs::get_length_sid(SidPtr /*sid*/) {
  ADD_FAILURE() << "not simulated yet: get_length_sid";
  return {};
}

OsResult<SecurityDescriptorPtr>
SimulatedOs::convert_string_security_descriptor_to_security_descriptor(std::u16string_view /*sddl*/,
                                                                       std::uint32_t /*revision*/) {
  ADD_FAILURE() << "not simulated yet: convert_string_security_descriptor_to_security_descriptor";
  return std::unexpected(OsCode{50});
}

OsResult<std::u16string> SimulatedOs::convert_security_descriptor_to_string_security_descriptor(
    SecurityDescriptorPtr /*descriptor*/, std::uint32_t /*revision*/,
    std::uint32_t /*information*/) {
  ADD_FAILURE() << "not simulated yet: convert_security_descriptor_to_string_security_descriptor";
  return std::unexpected(OsCode{50});
}

OsResult<AclPtr> SimulatedOs::get_security_descriptor_dacl(SecurityDescriptorPtr /*descriptor*/) {
  ADD_FAILURE() << "not simulated yet: get_security_descriptor_dacl";
  return std::unexpected(OsCode{50});
}

OsResult<AclPtr> SimulatedOs::get_security_descriptor_sacl(SecurityDescriptorPtr /*descriptor*/) {
  ADD_FAILURE() << "not simulated yet: get_security_descriptor_sacl";
  return std::unexpected(OsCode{50});
}

OsResult<Handle> SimulatedOs::open_process_token(std::uint32_t /*access*/) {
  ADD_FAILURE() << "not simulated yet: open_process_token";
  return std::unexpected(OsCode{50});
}

OsResult<void> SimulatedOs::get_token_information(Handle /*token*/,
                                                  std::uint32_t /*information_class*/,
                                                  void * /*buffer*/, std::uint32_t /*length*/,
                                                  std::uint32_t & /*needed*/) {
  ADD_FAILURE() << "not simulated yet: get_token_information";
  return std::unexpected(OsCode{50});
}

OsResult<Handle>
SimulatedOs::create_restricted_token(Handle /*token*/, std::uint32_t /*flags*/,
                                     std::span<const SID_AND_ATTRIBUTES> /*restricting*/) {
  ADD_FAILURE() << "not simulated yet: create_restricted_token";
  return std::unexpected(OsCode{50});
}

OsResult<void> SimulatedOs::set_token_information(Handle /*token*/,
                                                  std::uint32_t /*information_class*/,
                                                  const void * /*information*/,
                                                  std::uint32_t /*length*/) {
  ADD_FAILURE() << "not simulated yet: set_token_information";
  return std::unexpected(OsCode{50});
}

} // namespace obrex::test
