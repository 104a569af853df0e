#include "launch/job_process.h"

#include <string>

#include "platform/constants.h"
#include "platform/owner.h"

namespace obrex {

Result<std::uint32_t> job_breakaway_flags(Os& os) {
  const auto in_job = os.is_process_in_job();
  if (!in_job) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot tell whether obrex-sandbox-exec runs in a job", in_job.error()));
  }
  if (!*in_job) {
    return 0u;
  }
  const auto limits = os.query_information_job_object();
  if (!limits) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot read the limits of the job that obrex-sandbox-exec runs in", limits.error()));
  }
  if ((limits->LimitFlags & win::JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK) != 0) {
    return 0u;
  }
  if ((limits->LimitFlags & win::JOB_OBJECT_LIMIT_BREAKAWAY_OK) != 0) {
    return win::CREATE_BREAKAWAY_FROM_JOB;
  }
  return std::unexpected(SandboxError::from_context(
      "cannot confine the command to the sandbox's job: obrex-sandbox-exec runs in a job that "
      "lets no process break away (start it outside that job, or let the job allow breakaway)"));
}

Result<std::uint32_t> run_in_job(Os& os, Handle token, const ResolvedCommand& command,
                                 std::uint32_t breakaway_flags) {
  const auto created_job = os.create_job_object();
  if (!created_job) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot create the sandbox's job", created_job.error()));
  }
  const UniqueHandle job(os, *created_job);

  const JOBOBJECT_BASIC_UI_RESTRICTIONS restrictions{win::JOB_OBJECT_UILIMIT_ALL};
  static_assert(sizeof(restrictions) == 4);
  if (const auto restricted = os.set_information_job_object(
          job.get(), win::JobObjectBasicUIRestrictions, &restrictions, sizeof(restrictions));
      !restricted) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot restrict the sandbox's job", restricted.error()));
  }

  // The call may write into the command line, so it gets its own buffer;
  // std::u16string keeps it NUL-terminated.
  std::u16string command_line = child_command_line(command);
  STARTUPINFOW startup;
  startup.dwFlags = win::STARTF_USESTDHANDLES;
  startup.hStdInput = os.get_std_handle(win::STD_INPUT_HANDLE);
  startup.hStdOutput = os.get_std_handle(win::STD_OUTPUT_HANDLE);
  startup.hStdError = os.get_std_handle(win::STD_ERROR_HANDLE);

  // Kept for good and inherited by the command: no critical-error boxes, no
  // fault dialog.
  os.set_error_mode(win::SEM_FAILCRITICALERRORS | win::SEM_NOGPFAULTERRORBOX);

  const auto program = [&command] { return display_text(command.program); };
  const auto started = os.create_process_as_user(token, command.program, command_line, true,
                                                 win::CREATE_SUSPENDED | breakaway_flags, startup);
  if (!started) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot start " + program(), started.error()));
  }
  UniqueHandle process(os, started->hProcess);
  UniqueHandle thread(os, started->hThread);

  // Into the job while still suspended: the command runs no code outside it.
  if (const auto assigned = os.assign_process_to_job_object(job.get(), process.get()); !assigned) {
    os.terminate_process(process.get(), 1);
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot confine the command to the sandbox's job", assigned.error()));
  }
  // From here on the command shares the console: Ctrl+C and Ctrl+Break reach
  // it, and this program stays to pass its exit code on. Installed only now,
  // so that an interrupt during the preparation still ends the run.
  if (const auto shielded = os.set_console_ctrl_handler(); !shielded) {
    os.terminate_process(process.get(), 1);
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot keep Ctrl+C from ending obrex-sandbox-exec", shielded.error()));
  }
  if (const auto resumed = os.resume_thread(thread.get()); !resumed) {
    os.terminate_process(process.get(), 1);
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot start " + program(), resumed.error()));
  }
  thread.reset();

  // Anything but WAIT_OBJECT_0 means the process has not ended, and its exit
  // code would read STILL_ACTIVE. It is left running in its job.
  const auto waited = os.wait_for_single_object(process.get(), win::INFINITE);
  if (!waited || *waited != win::WAIT_OBJECT_0) {
    return std::unexpected(SandboxError::from_os_error(os, "cannot wait for " + program(),
                                                       waited ? *waited : waited.error()));
  }

  const auto exit_code = os.get_exit_code_process(process.get());
  if (!exit_code) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot read " + program() + "'s exit code", exit_code.error()));
  }
  return *exit_code; // the process, then the job, are closed on the way out
}

} // namespace obrex
