#include "launch/job_process.h"

#include <optional>
#include <string>

#include "platform/constants.h"
#include "platform/owner.h"

namespace obrex {
namespace {

// Ends a process and waits for its end: nothing, or the code of the call
// that failed (for a wait that returned something else, that result).
OsResult<void> end_process(Os& os, Handle process, std::uint32_t exit_code) {
  if (auto ended = os.terminate_process(process, exit_code); !ended) {
    return ended;
  }
  const auto waited = os.wait_for_single_object(process, win::INFINITE);
  if (!waited || *waited != win::WAIT_OBJECT_0) {
    return std::unexpected(waited ? *waited : waited.error());
  }
  return {};
}

// Whether a process that this program creates with `flags` lands outside
// every job. The trial is this program's own executable, suspended, with no
// handles and no console; it never runs code.
Result<bool> trial_leaves_every_job(Os& os, const std::u16string& image, std::uint32_t flags) {
  std::u16string command_line = u"\"" + image + u"\"";
  const auto started =
      os.create_process(image, command_line, win::CREATE_SUSPENDED | win::DETACHED_PROCESS | flags);
  if (!started) {
    if (flags != 0 && started.error() == win::ERROR_ACCESS_DENIED) {
      return false; // the innermost job allows no breakaway on request
    }
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot start obrex-sandbox-exec's trial process", started.error()));
  }
  const UniqueHandle process(os, started->hProcess);
  const UniqueHandle thread(os, started->hThread);
  const auto in_job = os.is_process_in_job(process.get());
  if (const auto ended = end_process(os, process.get(), 0); !ended) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot end obrex-sandbox-exec's trial process", ended.error()));
  }
  if (!in_job) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot tell whether obrex-sandbox-exec's trial process left every job",
        in_job.error()));
  }
  return !*in_job;
}

// While it is set, the console handler ends `process` when the console
// closes; it is cleared before the process handle closes.
class ConsoleCtrlTarget {
public:
  ConsoleCtrlTarget(Os& os, Handle process) : os_(os) { os_.set_console_ctrl_target(process); }
  ConsoleCtrlTarget(const ConsoleCtrlTarget&) = delete;
  ConsoleCtrlTarget& operator=(const ConsoleCtrlTarget&) = delete;
  ~ConsoleCtrlTarget() { os_.set_console_ctrl_target(Handle{}); }

private:
  Os& os_;
};

} // namespace

Result<Breakaway> plan_breakaway(Os& os) {
  const auto in_job = os.is_process_in_job(Handle{});
  if (!in_job) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot tell whether obrex-sandbox-exec runs in a job", in_job.error()));
  }
  if (!*in_job) {
    return Breakaway{};
  }
  const auto image = os.get_module_file_name();
  if (!image) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot find obrex-sandbox-exec's own executable", image.error()));
  }
  for (const std::uint32_t flags : {0u, win::CREATE_BREAKAWAY_FROM_JOB}) {
    const auto left = trial_leaves_every_job(os, *image, flags);
    if (!left) {
      return std::unexpected(left.error());
    }
    if (*left) {
      return Breakaway{true, flags};
    }
  }
  return std::unexpected(SandboxError::from_context(
      "cannot confine the command to the sandbox's job: obrex-sandbox-exec runs in a job that "
      "lets no process break away (start it outside that job, or let the job allow breakaway)"));
}

Result<std::uint32_t> run_in_job(Os& os, Handle token, const ResolvedCommand& command,
                                 const Breakaway& breakaway,
                                 const std::optional<std::u16string>& environment) {
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
  if (breakaway.in_job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    limits.BasicLimitInformation.LimitFlags = win::JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (const auto limited = os.set_information_job_object(
            job.get(), win::JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        !limited) {
      return std::unexpected(SandboxError::from_os_error(
          os, "cannot make the sandbox's job end its processes when it closes", limited.error()));
    }
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

  // In before the command exists: an interrupt from now on is recorded, not
  // fatal, so this program never dies leaving a suspended command behind.
  if (const auto shielded = os.set_console_ctrl_handler(); !shielded) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot keep Ctrl+C from ending obrex-sandbox-exec", shielded.error()));
  }

  const auto program = [&command] { return display_text(command.program); };
  const std::uint32_t flags = win::CREATE_SUSPENDED | breakaway.creation_flags |
                              (environment ? win::CREATE_UNICODE_ENVIRONMENT : 0u);
  const auto started = os.create_process_as_user(token, command.program, command_line, true, flags,
                                                 startup, environment);
  if (!started) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot start " + program(), started.error()));
  }
  UniqueHandle process(os, started->hProcess);
  UniqueHandle thread(os, started->hThread);
  const ConsoleCtrlTarget target(os, process.get());

  // An interrupt before the resume: the command has run no code, and the
  // run ends as Ctrl+C ends a program.
  const auto interrupted = [&]() -> std::optional<Result<std::uint32_t>> {
    if (!os.console_interrupted()) {
      return std::nullopt;
    }
    if (const auto ended = end_process(os, process.get(), win::STATUS_CONTROL_C_EXIT); !ended) {
      return std::unexpected(
          SandboxError::from_os_error(os, "cannot end " + program(), ended.error()));
    }
    return win::STATUS_CONTROL_C_EXIT;
  };
  if (auto outcome = interrupted()) {
    return *outcome;
  }
  // Into the job while still suspended: the command runs no code outside it.
  if (const auto assigned = os.assign_process_to_job_object(job.get(), process.get()); !assigned) {
    os.terminate_process(process.get(), 1);
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot confine the command to the sandbox's job", assigned.error()));
  }
  if (auto outcome = interrupted()) {
    return *outcome;
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
  return *exit_code; // the handler's target, the process, then the job go on the way out
}

} // namespace obrex
