// The simulated token calls.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

namespace obrex::test {

OsResult<Handle> SimulatedOs::open_process_token(std::uint32_t /*access*/) {
  ADD_FAILURE() << "not simulated yet: open_process_token";
  return std::unexpected(OsCode{50});
}

OsResult<void> SimulatedOs::get_token_information(Handle /*token*/,
                                                  std::uint32_t /*information_class*/,
                                                  void* /*buffer*/, std::uint32_t /*length*/,
                                                  std::uint32_t& /*needed*/) {
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
                                                  const void* /*information*/,
                                                  std::uint32_t /*length*/) {
  ADD_FAILURE() << "not simulated yet: set_token_information";
  return std::unexpected(OsCode{50});
}

} // namespace obrex::test
