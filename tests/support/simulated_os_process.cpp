// The simulated job and process calls. A launched process runs only once
// resumed; it ends at the wait with `next_exit_code`, or when terminated.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace obrex::test {
namespace {

constexpr OsCode kErrorInvalidHandle = 6;
constexpr std::uint32_t kStillActive = 259;
constexpr std::uint32_t kWaitTimeout = 258;

} // namespace

OsResult<bool> SimulatedOs::is_process_in_job(Handle process) {
  if (const auto fault = enter("is_process_in_job")) {
    return std::unexpected(*fault);
  }
  if (process.value == nullptr) {
    return !own_jobs.empty();
  }
  const auto* object = handle_object(process, HandleKind::Process);
  if (object == nullptr) {
    return std::unexpected(kErrorInvalidHandle);
  }
  return processes[object->index].own_jobs_kept > 0;
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
  if (object != nullptr && information_class == 4u && length == 4) {
    std::uint32_t limits = 0;
    std::memcpy(&limits, information, sizeof(limits));
    jobs_[object->index].ui_restrictions = limits;
    return {};
  }
  if (object != nullptr && information_class == 9u &&
      length == sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION)) {
    jobs_[object->index].limit_flags =
        static_cast<const JOBOBJECT_EXTENDED_LIMIT_INFORMATION*>(information)
            ->BasicLimitInformation.LimitFlags;
    return {};
  }
  ADD_FAILURE() << "SetInformationJobObject with class " << information_class << " and length "
                << length;
  return std::unexpected(87u);
}

std::uint32_t SimulatedOs::set_error_mode(std::uint32_t mode) {
  enter("set_error_mode");
  return std::exchange(error_mode, mode);
}

OsResult<PROCESS_INFORMATION> SimulatedOs::start_process(SimProcess process) {
  const bool breakaway = (process.creation_flags & 0x01000000u) != 0;
  if (breakaway && !own_jobs.empty() && (own_jobs.front() & 0x800u) == 0) {
    return std::unexpected(5u);
  }
  const auto lets_go = [breakaway](std::uint32_t limits) {
    return (limits & 0x1000u) != 0 || (breakaway && (limits & 0x800u) != 0);
  };
  std::size_t left = 0;
  while (left < own_jobs.size() && lets_go(own_jobs[left])) {
    ++left;
  }
  process.own_jobs_kept = own_jobs.size() - left;
  process.error_mode = error_mode;
  process.resumed = (process.creation_flags & 0x4u) == 0;
  process.exit_code = kStillActive;
  processes.push_back(std::move(process));
  const std::size_t index = processes.size() - 1;
  return PROCESS_INFORMATION{new_handle(HandleObject{HandleKind::Process, {}, index}),
                             new_handle(HandleObject{HandleKind::Thread, {}, index})};
}

OsResult<PROCESS_INFORMATION> SimulatedOs::create_process(std::u16string_view application,
                                                          std::u16string& line,
                                                          std::uint32_t creation_flags) {
  if (const auto fault = enter("create_process")) {
    return std::unexpected(*fault);
  }
  SimProcess process;
  process.application = application;
  process.command_line = line;
  process.creation_flags = creation_flags;
  return start_process(std::move(process));
}

OsResult<PROCESS_INFORMATION>
SimulatedOs::create_process_as_user(Handle user_token, std::u16string_view application,
                                    std::u16string& line, bool inherit_handles,
                                    std::uint32_t creation_flags, const STARTUPINFOW& startup,
                                    std::optional<std::u16string_view> block) {
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
    return std::unexpected(image == nullptr ? 2u : 5u);
  }
  SimProcess process;
  process.application = application;
  process.command_line = line;
  process.inherit_handles = inherit_handles;
  process.creation_flags = creation_flags;
  process.startup = startup;
  if (token_object->kind == HandleKind::RestrictedToken) {
    process.token = restricted_tokens.at(token_object->index);
  }
  process.environment = environment;
  if (block) {
    // Entries "name=value", each ending in a NUL, then one more NUL; sorted
    // by name without regard to ASCII case, as Windows expects.
    if ((creation_flags & 0x400u) == 0 || !block->ends_with(u'\0')) {
      ADD_FAILURE() << "an environment block without CREATE_UNICODE_ENVIRONMENT or its end";
    }
    process.environment.clear();
    std::u16string previous;
    for (std::size_t at = 0; at < block->size() && (*block)[at] != u'\0';) {
      const std::size_t end = std::min(block->find(u'\0', at), block->size());
      const std::u16string_view entry = block->substr(at, end - at);
      const std::size_t equals = std::min(entry.find(u'=', 1), entry.size());
      std::u16string name(entry.substr(0, equals));
      std::u16string folded = name;
      std::ranges::transform(folded, folded.begin(), [](char16_t c) {
        return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
      });
      if (folded < previous) {
        ADD_FAILURE() << "the environment block is not sorted at entry " << at;
      }
      previous = std::move(folded);
      process.environment[std::move(name)] = entry.substr(std::min(equals + 1, entry.size()));
      at = end + 1;
    }
  }
  return start_process(std::move(process));
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
  const SimJob& into = jobs_[job_object->index];
  if (target.own_jobs_kept > 0 && into.ui_restrictions.value_or(0) != 0) {
    return std::unexpected(5u); // a job with UI limits cannot nest
  }
  if (target.resumed) {
    ADD_FAILURE() << "the process ran code before it was put into the job";
  }
  target.job_ui_restrictions = into.ui_restrictions.value_or(0);
  target.job_limit_flags = into.limit_flags;
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

OsResult<void> SimulatedOs::terminate_process(Handle process, std::uint32_t exit_code) {
  if (const auto fault = enter("terminate_process")) {
    return std::unexpected(*fault);
  }
  const auto* object = handle_object(process, HandleKind::Process);
  if (object == nullptr) {
    return std::unexpected(kErrorInvalidHandle);
  }
  SimProcess& target = processes[object->index];
  if (target.exit_code == kStillActive) {
    target.terminated = true;
    target.exit_code = exit_code;
  }
  return {};
}

OsResult<std::uint32_t> SimulatedOs::wait_for_single_object(Handle handle,
                                                            std::uint32_t milliseconds) {
  if (const auto fault = enter("wait_for_single_object")) {
    return std::unexpected(*fault);
  }
  if (const auto* event = handle_object(handle); event && event->kind == HandleKind::Event) {
    if (milliseconds == 0xFFFFFFFFu) {
      ADD_FAILURE() << "a wait without a time-out for a lock";
    }
    grant_freed_locks();
    return event->signalled ? 0u : kWaitTimeout;
  }
  const auto* object = handle_object(handle, HandleKind::Process);
  if (object == nullptr) {
    return std::unexpected(kErrorInvalidHandle);
  }
  if (milliseconds != 0xFFFFFFFFu && !processes[object->index].with_output) {
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
  return 0u;
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

OsResult<Handle> SimulatedOs::create_event() {
  if (const auto fault = enter("create_event")) {
    return std::unexpected(*fault);
  }
  return new_handle(HandleObject{HandleKind::Event, {}});
}

OsResult<void> SimulatedOs::set_console_ctrl_handler() {
  if (const auto fault = enter("set_console_ctrl_handler")) {
    return std::unexpected(*fault);
  }
  console_handler = true;
  console_interrupt = false;
  return {};
}

void SimulatedOs::set_console_ctrl_target(Handle process) {
  enter("set_console_ctrl_target");
  console_target = process;
}

bool SimulatedOs::console_interrupted() {
  enter("console_interrupted");
  return console_interrupt;
}

OsResult<void> SimulatedOs::bcrypt_gen_random(std::span<std::uint8_t> buffer) {
  if (const auto fault = enter("bcrypt_gen_random")) {
    return std::unexpected(*fault);
  }
  for (std::uint8_t& byte : buffer) {
    byte = random_byte++;
  }
  return {};
}

OsResult<OSVERSIONINFO> SimulatedOs::rtl_get_version() {
  if (const auto fault = enter("rtl_get_version")) {
    return std::unexpected(*fault);
  }
  return OSVERSIONINFO{10, 0, 19045};
}

OsResult<Pipe> SimulatedOs::create_pipe() {
  if (const auto fault = enter("create_pipe")) {
    return std::unexpected(*fault);
  }
  pipes_.emplace_back();
  const std::size_t index = pipes_.size() - 1;
  return Pipe{new_handle(HandleObject{HandleKind::Pipe, {}, index}),
              new_handle(HandleObject{HandleKind::Pipe, {}, index})};
}

OsResult<PROCESS_INFORMATION>
SimulatedOs::create_process_with_output(std::u16string_view application, std::u16string& line,
                                        Handle output) {
  if (const auto fault = enter("create_process_with_output")) {
    return std::unexpected(*fault);
  }
  const auto* pipe = handle_object(output, HandleKind::Pipe);
  if (pipe == nullptr) {
    return std::unexpected(kErrorInvalidHandle);
  }
  SimProcess process;
  process.application = application;
  process.command_line = line;
  process.with_output = true;
  const SimRun run = on_start ? on_start(process) : SimRun{};
  pipes_[pipe->index] += run.output;
  auto started = start_process(std::move(process));
  if (started) {
    processes.back().exit_code = run.exit_code;
  }
  return started;
}

OsResult<std::string> SimulatedOs::read_file_to_end(Handle file) {
  if (const auto fault = enter("read_file_to_end")) {
    return std::unexpected(*fault);
  }
  const auto* pipe = handle_object(file, HandleKind::Pipe);
  if (pipe == nullptr) {
    return std::unexpected(kErrorInvalidHandle);
  }
  return std::exchange(pipes_[pipe->index], std::string());
}

} // namespace obrex::test
