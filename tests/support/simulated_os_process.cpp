// The simulated job and process calls. A launched process runs only once
// resumed; it ends at the wait with `next_exit_code`, or when terminated.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "platform/constants.h"

namespace obrex::test {
namespace {

constexpr OsCode kErrorInvalidHandle = 6;
constexpr std::uint32_t kStillActive = 259;
constexpr std::uint32_t kWaitTimeout = 258;
constexpr OsCode kErrorNotOwner = 288;

} // namespace

OsResult<bool> SimulatedOs::is_process_in_job() {
  if (const auto fault = enter("is_process_in_job")) {
    return std::unexpected(*fault);
  }
  return own_job_limits.has_value();
}

OsResult<JOBOBJECT_EXTENDED_LIMIT_INFORMATION> SimulatedOs::query_information_job_object() {
  if (const auto fault = enter("query_information_job_object")) {
    return std::unexpected(*fault);
  }
  return JOBOBJECT_EXTENDED_LIMIT_INFORMATION{own_job_limits.value_or(0)};
}

OsResult<Handle> SimulatedOs::create_job_object() {
  if (const auto fault = enter("create_job_object")) {
    return std::unexpected(*fault);
  }
  jobs_.emplace_back();
  return new_handle(HandleObject{HandleKind::Job, {}, jobs_.size() - 1});
}

OsResult<void> SimulatedOs::set_information_job_object(Handle job, std::uint32_t information_class,
                                                       const void* information,
                                                       std::uint32_t length) {
  if (const auto fault = enter("set_information_job_object")) {
    return std::unexpected(*fault);
  }
  const auto* object = handle_object(job, HandleKind::Job);
  if (object == nullptr || information_class != win::JobObjectBasicUIRestrictions || length != 4) {
    ADD_FAILURE() << "SetInformationJobObject with class " << information_class << " and length "
                  << length;
    return std::unexpected(win::ERROR_INVALID_PARAMETER);
  }
  std::uint32_t limits = 0;
  std::memcpy(&limits, information, sizeof(limits));
  jobs_[object->index] = limits;
  return {};
}

std::uint32_t SimulatedOs::set_error_mode(std::uint32_t mode) {
  enter("set_error_mode");
  return std::exchange(error_mode, mode);
}

OsResult<PROCESS_INFORMATION>
SimulatedOs::create_process_as_user(Handle user_token, std::u16string_view application,
                                    std::u16string& line, bool inherit_handles,
                                    std::uint32_t creation_flags, const STARTUPINFOW& startup) {
  if (const auto fault = enter("create_process_as_user")) {
    return std::unexpected(*fault);
  }
  const auto* token_object = handle_object(user_token);
  if (token_object == nullptr) {
    return std::unexpected(kErrorInvalidHandle);
  }
  // The program must be a file; a relative name is taken against the current
  // directory.
  const SimFile* image = find(application);
  if (image == nullptr || image->directory) {
    return std::unexpected(image == nullptr ? win::ERROR_FILE_NOT_FOUND : win::ERROR_ACCESS_DENIED);
  }
  const bool breakaway = (creation_flags & win::CREATE_BREAKAWAY_FROM_JOB) != 0;
  if (breakaway && own_job_limits && (*own_job_limits & win::JOB_OBJECT_LIMIT_BREAKAWAY_OK) == 0) {
    return std::unexpected(win::ERROR_ACCESS_DENIED);
  }
  SimProcess& process = processes.emplace_back();
  process.in_own_job = own_job_limits && !breakaway &&
                       (*own_job_limits & win::JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) == 0;
  process.application = application;
  process.command_line = line;
  process.inherit_handles = inherit_handles;
  process.creation_flags = creation_flags;
  process.startup = startup;
  if (token_object->kind == HandleKind::RestrictedToken) {
    process.token = restricted_tokens.at(token_object->index);
  }
  process.environment = environment;
  process.error_mode = error_mode;
  process.resumed = (creation_flags & win::CREATE_SUSPENDED) == 0;
  process.exit_code = kStillActive;
  const std::size_t index = processes.size() - 1;
  return PROCESS_INFORMATION{new_handle(HandleObject{HandleKind::Process, {}, index}),
                             new_handle(HandleObject{HandleKind::Thread, {}, index})};
}

OsResult<void> SimulatedOs::assign_process_to_job_object(Handle job, Handle process) {
  if (const auto fault = enter("assign_process_to_job_object")) {
    return std::unexpected(*fault);
  }
  const auto* job_object = handle_object(job, HandleKind::Job);
  const auto* process_object = handle_object(process, HandleKind::Process);
  if (job_object == nullptr || process_object == nullptr) {
    return std::unexpected(kErrorInvalidHandle);
  }
  SimProcess& target = processes[process_object->index];
  if (target.in_own_job && jobs_[job_object->index].value_or(0) != 0) {
    return std::unexpected(win::ERROR_ACCESS_DENIED); // a job with UI limits cannot nest
  }
  if (target.resumed) {
    ADD_FAILURE() << "the process ran code before it was put into the job";
  }
  target.job_ui_restrictions = jobs_[job_object->index].value_or(0);
  return {};
}

OsResult<std::uint32_t> SimulatedOs::resume_thread(Handle thread) {
  if (const auto fault = enter("resume_thread")) {
    return std::unexpected(*fault);
  }
  const auto* object = handle_object(thread, HandleKind::Thread);
  if (object == nullptr) {
    return std::unexpected(kErrorInvalidHandle);
  }
  return std::exchange(processes[object->index].resumed, true) ? 0 : 1;
}

void SimulatedOs::terminate_process(Handle process, std::uint32_t exit_code) {
  enter("terminate_process");
  if (const auto* object = handle_object(process, HandleKind::Process)) {
    SimProcess& target = processes[object->index];
    if (target.exit_code == kStillActive) {
      target.terminated = true;
      target.exit_code = exit_code;
    }
  }
}

OsResult<std::uint32_t> SimulatedOs::wait_for_single_object(Handle handle,
                                                            std::uint32_t milliseconds) {
  if (const auto fault = enter("wait_for_single_object")) {
    return std::unexpected(*fault);
  }
  if (const auto* mutex = handle_object(handle); mutex && mutex->kind == HandleKind::Mutex) {
    SimMutex& named = mutexes.at(mutex->path);
    if (milliseconds == win::INFINITE) {
      ADD_FAILURE() << "a wait without a time-out for a lock";
    }
    if (named.held_elsewhere) {
      return kWaitTimeout;
    }
    ++named.held_here;
    return win::WAIT_OBJECT_0;
  }
  const auto* object = handle_object(handle, HandleKind::Process);
  if (object == nullptr) {
    return std::unexpected(kErrorInvalidHandle);
  }
  if (milliseconds != win::INFINITE) {
    ADD_FAILURE() << "the wait for the command has a time-out: " << milliseconds;
  }
  if (wait_result) {
    return *wait_result;
  }
  SimProcess& target = processes[object->index];
  if (target.exit_code == kStillActive) {
    if (!target.resumed) {
      ADD_FAILURE() << "an infinite wait for a process that never runs";
    }
    target.exit_code = next_exit_code;
  }
  return win::WAIT_OBJECT_0;
}

OsResult<std::uint32_t> SimulatedOs::get_exit_code_process(Handle process) {
  if (const auto fault = enter("get_exit_code_process")) {
    return std::unexpected(*fault);
  }
  const auto* object = handle_object(process, HandleKind::Process);
  if (object == nullptr) {
    return std::unexpected(kErrorInvalidHandle);
  }
  return processes[object->index].exit_code;
}

OsResult<Handle> SimulatedOs::create_mutex(SecurityDescriptorPtr descriptor,
                                           std::u16string_view name) {
  if (const auto fault = enter("create_mutex")) {
    return std::unexpected(*fault);
  }
  std::string label;
  if (descriptor.value != nullptr) {
    const Allocation* made = allocation(descriptor.value, AllocationKind::SecurityDescriptor);
    label = made != nullptr && made->sacl ? *made->sacl : "";
  }
  const auto [named, created] = mutexes.try_emplace(std::u16string(name), SimMutex{label});
  return new_handle(HandleObject{HandleKind::Mutex, named->first, 0});
}

OsResult<void> SimulatedOs::release_mutex(Handle mutex) {
  if (const auto fault = enter("release_mutex")) {
    return std::unexpected(*fault);
  }
  const auto* object = handle_object(mutex, HandleKind::Mutex);
  if (object == nullptr || mutexes.at(object->path).held_here == 0) {
    return std::unexpected(kErrorNotOwner);
  }
  --mutexes.at(object->path).held_here;
  return {};
}

OsResult<void> SimulatedOs::set_console_ctrl_handler() {
  if (const auto fault = enter("set_console_ctrl_handler")) {
    return std::unexpected(*fault);
  }
  ignores_console_interrupts = true;
  return {};
}

} // namespace obrex::test
