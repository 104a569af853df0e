#include "platform/win32_os.h"

#include "platform/win32_os_support.h"

#include <atomic>

namespace obrex {

using namespace win32;

// --- jobs and processes -----------------------------------------------------

OsResult<bool> Win32Os::is_process_in_job(Handle process) {
  BOOL in_job = FALSE;
  if (!::IsProcessInJob(process.value != nullptr ? native(process) : ::GetCurrentProcess(), nullptr,
                        &in_job)) {
    return last_error();
  }
  return in_job != FALSE;
}

OsResult<Handle> Win32Os::create_job_object() {
  const HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) {
    return last_error();
  }
  return Handle{job};
}

OsResult<void> Win32Os::set_information_job_object(Handle job, std::uint32_t information_class,
                                                   const void* information, std::uint32_t length) {
  // The call takes the record through a non-const pointer but only reads it.
  if (!::SetInformationJobObject(native(job), static_cast<::JOBOBJECTINFOCLASS>(information_class),
                                 const_cast<void*>(information), length)) {
    return last_error();
  }
  return {};
}

std::uint32_t Win32Os::set_error_mode(std::uint32_t mode) {
  return ::SetErrorMode(mode);
}

OsResult<PROCESS_INFORMATION> Win32Os::create_process(std::u16string_view application,
                                                      std::u16string& command_line,
                                                      std::uint32_t creation_flags) {
  ::STARTUPINFOW startup_info{};
  startup_info.cb = sizeof startup_info;
  const std::wstring wide_application = wide(application);
  ::PROCESS_INFORMATION process{};
  if (!::CreateProcessW(wide_application.c_str(), reinterpret_cast<wchar_t*>(command_line.data()),
                        nullptr, nullptr, FALSE, creation_flags, nullptr, nullptr, &startup_info,
                        &process)) {
    return last_error();
  }
  PROCESS_INFORMATION result;
  result.hProcess = Handle{process.hProcess};
  result.hThread = Handle{process.hThread};
  return result;
}

OsResult<PROCESS_INFORMATION>
Win32Os::create_process_as_user(Handle token, std::u16string_view application,
                                std::u16string& command_line, bool inherit_handles,
                                std::uint32_t creation_flags, const STARTUPINFOW& startup,
                                std::optional<std::u16string_view> environment) {
  ::STARTUPINFOW startup_info{};
  startup_info.cb = sizeof startup_info;
  startup_info.dwFlags = startup.dwFlags;
  startup_info.hStdInput = native(startup.hStdInput);
  startup_info.hStdOutput = native(startup.hStdOutput);
  startup_info.hStdError = native(startup.hStdError);
  const std::wstring wide_application = wide(application);
  ::PROCESS_INFORMATION process{};
  if (!::CreateProcessAsUserW(native(token), wide_application.c_str(),
                              reinterpret_cast<wchar_t*>(command_line.data()), nullptr, nullptr,
                              inherit_handles ? TRUE : FALSE, creation_flags,
                              // The call takes the block through a non-const
                              // pointer but only reads it.
                              environment ? const_cast<char16_t*>(environment->data()) : nullptr,
                              nullptr, &startup_info, &process)) {
    return last_error();
  }
  PROCESS_INFORMATION result;
  result.hProcess = Handle{process.hProcess};
  result.hThread = Handle{process.hThread};
  return result;
}

OsResult<void> Win32Os::assign_process_to_job_object(Handle job, Handle process) {
  if (!::AssignProcessToJobObject(native(job), native(process))) {
    return last_error();
  }
  return {};
}

OsResult<std::uint32_t> Win32Os::resume_thread(Handle thread) {
  const DWORD previous = ::ResumeThread(native(thread));
  if (previous == static_cast<DWORD>(-1)) {
    return last_error();
  }
  return previous;
}

OsResult<void> Win32Os::terminate_process(Handle process, std::uint32_t exit_code) {
  if (!::TerminateProcess(native(process), exit_code)) {
    return last_error();
  }
  return {};
}

OsResult<std::uint32_t> Win32Os::wait_for_single_object(Handle handle, std::uint32_t milliseconds) {
  const DWORD result = ::WaitForSingleObject(native(handle), milliseconds);
  if (result == WAIT_FAILED) {
    return last_error();
  }
  return result;
}

OsResult<Handle> Win32Os::create_event() {
  const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    return last_error();
  }
  return Handle{event};
}

OsResult<std::uint32_t> Win32Os::get_exit_code_process(Handle process) {
  DWORD code = 0;
  if (!::GetExitCodeProcess(native(process), &code)) {
    return last_error();
  }
  return code;
}

namespace {

std::atomic<bool> handler_added = false;
std::atomic<bool> interrupted = false;
SRWLOCK target_lock = SRWLOCK_INIT;
HANDLE target = nullptr; // guarded by target_lock

// Runs on a thread of its own. Ctrl+C and Ctrl+Break are only recorded: the
// command shares the console and gets the same events, decides for itself
// whether they end it, and this program stays to pass its exit code on. The
// other events end this program once the handler returns FALSE, so the
// command goes first.
BOOL WINAPI on_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    interrupted = true;
    return TRUE;
  }
  ::AcquireSRWLockExclusive(&target_lock);
  if (target != nullptr) {
    ::TerminateProcess(target, STATUS_CONTROL_C_EXIT);
  }
  ::ReleaseSRWLockExclusive(&target_lock);
  return FALSE;
}

} // namespace

OsResult<void> Win32Os::set_console_ctrl_handler() {
  interrupted = false;
  if (!handler_added.exchange(true) && !::SetConsoleCtrlHandler(on_console_event, TRUE)) {
    const auto error = last_error();
    handler_added = false;
    return error;
  }
  return {};
}

void Win32Os::set_console_ctrl_target(Handle process) {
  ::AcquireSRWLockExclusive(&target_lock);
  target = native(process);
  ::ReleaseSRWLockExclusive(&target_lock);
}

bool Win32Os::console_interrupted() {
  return interrupted;
}

OsResult<Pipe> Win32Os::create_pipe() {
  ::SECURITY_ATTRIBUTES inheritable{sizeof(::SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!::CreatePipe(&read, &write, &inheritable, 0)) {
    return last_error();
  }
  if (!::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0)) {
    const DWORD error = ::GetLastError();
    ::CloseHandle(read);
    ::CloseHandle(write);
    return status_error(error);
  }
  return Pipe{Handle{read}, Handle{write}};
}

OsResult<PROCESS_INFORMATION> Win32Os::create_process_with_output(std::u16string_view application,
                                                                  std::u16string& command_line,
                                                                  Handle output) {
  ::STARTUPINFOW startup_info{};
  startup_info.cb = sizeof startup_info;
  startup_info.dwFlags = STARTF_USESTDHANDLES;
  startup_info.hStdOutput = native(output);
  startup_info.hStdError = native(output);
  const std::wstring wide_application = wide(application);
  ::PROCESS_INFORMATION process{};
  if (!::CreateProcessW(wide_application.c_str(), reinterpret_cast<wchar_t*>(command_line.data()),
                        nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup_info, &process)) {
    return last_error();
  }
  return PROCESS_INFORMATION{Handle{process.hProcess}, Handle{process.hThread}};
}

} // namespace obrex
