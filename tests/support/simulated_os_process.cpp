// The simulated job and process calls.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

namespace obrex::test {

OsResult<Handle> SimulatedOs::create_job_object() {
  ADD_FAILURE() << "not simulated yet: create_job_object";
  return std::unexpected(OsCode{50});
}

OsResult<void> SimulatedOs::set_information_job_object(Handle /*job*/,
                                                       std::uint32_t /*information_class*/,
                                                       const void* /*information*/,
                                                       std::uint32_t /*length*/) {
  ADD_FAILURE() << "not simulated yet: set_information_job_object";
  return std::unexpected(OsCode{50});
}

std::uint32_t SimulatedOs::set_error_mode(std::uint32_t /*mode*/) {
  ADD_FAILURE() << "not simulated yet: set_error_mode";
  return {};
}

OsResult<PROCESS_INFORMATION> SimulatedOs::create_process_as_user(
    Handle /*token*/, std::u16string_view /*application*/, std::u16string& /*command_line*/,
    bool /*inherit_handles*/, std::uint32_t /*creation_flags*/, const STARTUPINFOW& /*startup*/) {
  ADD_FAILURE() << "not simulated yet: create_process_as_user";
  return std::unexpected(OsCode{50});
}

OsResult<void> SimulatedOs::assign_process_to_job_object(Handle /*job*/, Handle /*process*/) {
  ADD_FAILURE() << "not simulated yet: assign_process_to_job_object";
  return std::unexpected(OsCode{50});
}

OsResult<std::uint32_t> SimulatedOs::resume_thread(Handle /*thread*/) {
  ADD_FAILURE() << "not simulated yet: resume_thread";
  return std::unexpected(OsCode{50});
}

void SimulatedOs::terminate_process(Handle /*process*/, std::uint32_t /*exit_code*/) {
  ADD_FAILURE() << "not simulated yet: terminate_process";
}

OsResult<std::uint32_t> SimulatedOs::wait_for_single_object(Handle /*handle*/,
                                                            std::uint32_t /*milliseconds*/) {
  ADD_FAILURE() << "not simulated yet: wait_for_single_object";
  return std::unexpected(OsCode{50});
}

OsResult<std::uint32_t> SimulatedOs::get_exit_code_process(Handle /*process*/) {
  ADD_FAILURE() << "not simulated yet: get_exit_code_process";
  return std::unexpected(OsCode{50});
}

} // namespace obrex::test
