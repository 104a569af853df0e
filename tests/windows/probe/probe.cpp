// The child that end-to-end runs start inside the sandbox. It prints what it
// sees, one "key=value" line each, in UTF-8 on standard output, and exits
// with the code it is asked for.
//
// Arguments (any other argument is only reported):
//   exit=N   end with exit code N (decimal, or hexadecimal with 0x)
//   write_to=H  write "inherited" to handle value H
//   sleep=MS  wait MS milliseconds, in its place among the try_ arguments
//   token    also report the token: integrity level, restricting SIDs,
//            privileges and default DACL
//   try_create=PATH, try_write=PATH (an existing file), try_rename=FROM|TO,
//   try_delete=PATH, try_mkdir=PATH, try_read=PATH, try_list=DIR,
//   try_junction=LINK|DIR (a new directory LINK made a mount point for the
//   existing directory DIR; LINK is removed again when that fails),
//   try_hardlink=LINK|FILE
//   try_lock=PATH  open the existing file for reading, or else for writing,
//            or else with no access to its data, with full sharing, and
//            lock its first byte (LockFileEx, exclusive, failing at once);
//            a lock had is kept until the probe ends
//            attempt it, in the order given, and report the argument itself
//            as the key and 0, or the error code the system gave, as the value
//   clipboard  report the clipboard's text, or clipboard_error with the code
//            (user32_error when user32.dll does not load)
//   await_ctrl_break=PATH  handle Ctrl+Break itself, create the file PATH
//            once it can, wait up to 20 s for the event (or until PATH is
//            gone), and report
//            ctrl_break=received (then end with 43) or timeout
//   send_ctrl_break=PID  attach to the console of process PID and send
//            Ctrl+Break to PID's process group; report ctrl_break_sent=0 or
//            the error code, and end with it
//
// Lines always printed: command_line, argc and arg1.. (the arguments as the C
// runtime splits them), TEMP and TMP (absent when unset), in_job,
// process_id, ui_restrictions (or ui_restrictions_error with the code),
// error_mode, and current_directory last.
#include <windows.h>

#include <sddl.h>
#include <winioctl.h>

#include <atomic>
#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../windows_text.h"

namespace {

std::string output;

using obrex::windows_text::token_information;
using obrex::windows_text::utf8;

void line(std::string_view key, std::wstring_view value) {
  output.append(key).append("=").append(utf8(value)).append("\n");
}

void line(std::string_view key, std::uint32_t value, bool hex = false) {
  wchar_t text[16];
  std::swprintf(text, 16, hex ? L"0x%X" : L"%u", value);
  line(key, text);
}

std::wstring sid_text(PSID sid) {
  LPWSTR text = nullptr;
  const std::wstring result = ::ConvertSidToStringSidW(sid, &text) ? text : L"?";
  ::LocalFree(text);
  return result;
}

void report_token() {
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  const auto label = token_information(token, TokenIntegrityLevel);
  if (!label.empty()) {
    line("integrity",
         sid_text(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid));
  }
  std::wstring sids;
  if (const auto restricted = token_information(token, TokenRestrictedSids); !restricted.empty()) {
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(restricted.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
      sids += (i == 0 ? L"" : L",") + sid_text(groups->Groups[i].Sid);
    }
  }
  line("restricting_sids", sids);
  std::wstring names;
  if (const auto privileges = token_information(token, TokenPrivileges); !privileges.empty()) {
    const auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(privileges.data());
    for (DWORD i = 0; i < list->PrivilegeCount; ++i) {
      LUID luid = list->Privileges[i].Luid;
      wchar_t name[128];
      DWORD length = 128;
      names += i == 0 ? L"" : L",";
      names += ::LookupPrivilegeNameW(nullptr, &luid, name, &length) ? name : L"?";
    }
  }
  line("privileges", names);
  // Each entry as type:flags:mask:SID, the SID always as numbers.
  std::wstring entries;
  if (const auto dacl = token_information(token, TokenDefaultDacl); !dacl.empty()) {
    ACL* list = reinterpret_cast<const TOKEN_DEFAULT_DACL*>(dacl.data())->DefaultDacl;
    for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
      void* entry = nullptr;
      ::GetAce(list, i, &entry);
      auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
      wchar_t head[40];
      std::swprintf(head, 40, L"%u:%u:0x%X:", static_cast<unsigned>(allowed->Header.AceType),
                    static_cast<unsigned>(allowed->Header.AceFlags),
                    static_cast<unsigned>(allowed->Mask));
      entries += (i == 0 ? L"" : L",") + std::wstring(head) + sid_text(&allowed->SidStart);
    }
  }
  line("default_dacl", entries);
  ::CloseHandle(token);
}

// 0 when the call succeeded, otherwise the error it left.
DWORD outcome(BOOL succeeded) {
  return succeeded ? 0 : ::GetLastError();
}

DWORD write_file(const std::wstring& path, DWORD disposition) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return ::GetLastError();
  }
  DWORD written = 0;
  const DWORD result = outcome(::WriteFile(file, "probe", 5, &written, nullptr));
  ::CloseHandle(file);
  return result;
}

DWORD read_file(const std::wstring& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return ::GetLastError();
  }
  char byte = 0;
  DWORD read = 0;
  const DWORD result = outcome(::ReadFile(file, &byte, 1, &read, nullptr));
  ::CloseHandle(file);
  return result;
}

DWORD list_directory(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = ::FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    return ::GetLastError();
  }
  ::FindClose(search);
  return 0;
}

DWORD rename_file(const std::wstring& paths) {
  const std::size_t bar = paths.find(L'|');
  return outcome(::MoveFileExW(paths.substr(0, bar).c_str(), paths.substr(bar + 1).c_str(), 0));
}

// Mount points have no record type in the user-mode headers: a reparse
// header, then the substitute and print names, each NUL-terminated.
DWORD make_junction(const std::wstring& paths) {
  const std::size_t bar = paths.find(L'|');
  const std::wstring link = paths.substr(0, bar);
  const std::wstring substitute = L"\\??\\" + paths.substr(bar + 1);
  const std::wstring print = paths.substr(bar + 1);
  if (!::CreateDirectoryW(link.c_str(), nullptr)) {
    return ::GetLastError();
  }
  const HANDLE directory =
      ::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (directory == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    ::RemoveDirectoryW(link.c_str());
    return error;
  }
  const auto bytes = [](std::size_t units) { return static_cast<WORD>(units * sizeof(wchar_t)); };
  std::vector<WORD> record(8); // tag (2 words), data length, reserved, 4 offsets and lengths
  record[0] = static_cast<WORD>(IO_REPARSE_TAG_MOUNT_POINT & 0xFFFF);
  record[1] = static_cast<WORD>(IO_REPARSE_TAG_MOUNT_POINT >> 16);
  record[4] = 0;                            // substitute name offset
  record[5] = bytes(substitute.size());     // and length
  record[6] = bytes(substitute.size() + 1); // print name offset
  record[7] = bytes(print.size());          // and length
  for (const std::wstring* name : {&substitute, &print}) {
    record.insert(record.end(), name->begin(), name->end());
    record.push_back(0);
  }
  record[2] = bytes(record.size() - 4); // everything after the first 8 bytes
  DWORD returned = 0;
  const DWORD result =
      outcome(::DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, record.data(),
                                bytes(record.size()), nullptr, 0, &returned, nullptr));
  ::CloseHandle(directory);
  if (result != 0) {
    ::RemoveDirectoryW(link.c_str());
  }
  return result;
}

DWORD lock_first_byte(const std::wstring& path) {
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  for (const DWORD access : {DWORD{GENERIC_READ}, DWORD{GENERIC_WRITE}, DWORD{0}}) {
    file =
        ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      break;
    }
    error = ::GetLastError();
  }
  if (file == INVALID_HANDLE_VALUE) {
    return error;
  }
  OVERLAPPED first_byte{};
  // The handle stays open, and the lock held, until the probe ends.
  return outcome(::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                              &first_byte));
}

DWORD make_hard_link(const std::wstring& paths) {
  const std::size_t bar = paths.find(L'|');
  return outcome(
      ::CreateHardLinkW(paths.substr(0, bar).c_str(), paths.substr(bar + 1).c_str(), nullptr));
}

// The outcome of a try_ argument, or nothing for any other argument.
std::optional<DWORD> attempt(std::wstring_view argument) {
  struct Attempt {
    std::wstring_view prefix;
    DWORD (*run)(const std::wstring& operand);
  };
  static const Attempt attempts[] = {
      {L"try_create=", [](const std::wstring& path) { return write_file(path, CREATE_NEW); }},
      {L"try_write=", [](const std::wstring& path) { return write_file(path, OPEN_EXISTING); }},
      {L"try_rename=", rename_file},
      {L"try_delete=",
       [](const std::wstring& path) { return outcome(::DeleteFileW(path.c_str())); }},
      {L"try_mkdir=",
       [](const std::wstring& path) { return outcome(::CreateDirectoryW(path.c_str(), nullptr)); }},
      {L"try_read=", read_file},
      {L"try_list=", list_directory},
      {L"try_junction=", make_junction},
      {L"try_hardlink=", make_hard_link},
      {L"try_lock=", lock_first_byte},
  };
  for (const Attempt& a : attempts) {
    if (argument.starts_with(a.prefix)) {
      return a.run(std::wstring(argument.substr(a.prefix.size())));
    }
  }
  return std::nullopt;
}

template <typename Function> Function user32_function(HMODULE user32, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(user32, name)));
}

// user32 is loaded only here, so that whether it can start in the sandbox
// concerns this report alone.
void report_clipboard() {
  const HMODULE user32 = ::LoadLibraryW(L"user32.dll");
  if (user32 == nullptr) {
    line("user32_error", ::GetLastError());
    return;
  }
  const auto open = user32_function<BOOL(WINAPI*)(HWND)>(user32, "OpenClipboard");
  const auto get = user32_function<HANDLE(WINAPI*)(UINT)>(user32, "GetClipboardData");
  const auto close = user32_function<BOOL(WINAPI*)()>(user32, "CloseClipboard");
  if (!open(nullptr)) {
    line("clipboard_error", ::GetLastError());
    return;
  }
  const HANDLE data = get(CF_UNICODETEXT);
  const auto* text = data != nullptr ? static_cast<const wchar_t*>(::GlobalLock(data)) : nullptr;
  if (text != nullptr) {
    line("clipboard", text);
    ::GlobalUnlock(data);
  } else {
    line("clipboard_error", ::GetLastError());
  }
  close();
}

std::atomic<bool> break_received = false;

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_BREAK_EVENT) {
    return FALSE;
  }
  break_received = true;
  return TRUE;
}

bool await_ctrl_break(const std::wstring& ready_file) {
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
  write_file(ready_file, CREATE_ALWAYS);
  // Whoever waits for the file removes it again to call the wait off.
  for (int waited = 0; !break_received && waited < 20000 &&
                       ::GetFileAttributesW(ready_file.c_str()) != INVALID_FILE_ATTRIBUTES;
       waited += 10) {
    ::Sleep(10);
  }
  line("ctrl_break", break_received ? L"received" : L"timeout");
  return break_received;
}

// As a user's Ctrl+Break reaches a console: to the group that the program
// started with CREATE_NEW_PROCESS_GROUP leads, whose ID is its process ID.
DWORD send_ctrl_break(DWORD process_id) {
  ::FreeConsole();
  const DWORD result = ::AttachConsole(process_id) && ::SetConsoleCtrlHandler(nullptr, TRUE) &&
                               ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_id)
                           ? 0
                           : ::GetLastError();
  line("ctrl_break_sent", result);
  return result;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
  UINT exit_code = 0;
  bool want_token = false;
  bool want_clipboard = false;
  std::wstring ctrl_break_ready_file;
  line("command_line", ::GetCommandLineW());
  line("argc", static_cast<std::uint32_t>(argc));
  for (int i = 1; i < argc; ++i) {
    line("arg" + std::to_string(i), argv[i]);
    if (std::wstring_view(argv[i]).starts_with(L"exit=")) {
      exit_code = static_cast<UINT>(std::wcstoul(argv[i] + 5, nullptr, 0));
    }
    if (std::wstring_view(argv[i]).starts_with(L"write_to=")) {
      const auto handle = reinterpret_cast<HANDLE>(std::wcstoull(argv[i] + 9, nullptr, 0));
      DWORD written = 0;
      ::WriteFile(handle, "inherited", 9, &written, nullptr);
    }
    if (std::wstring_view(argv[i]).starts_with(L"sleep=")) {
      ::Sleep(static_cast<DWORD>(std::wcstoul(argv[i] + 6, nullptr, 10)));
    }
    if (const auto result = attempt(argv[i])) {
      line(utf8(argv[i]), *result);
    }
    want_token = want_token || std::wstring_view(argv[i]) == L"token";
    want_clipboard = want_clipboard || std::wstring_view(argv[i]) == L"clipboard";
    if (std::wstring_view(argv[i]).starts_with(L"await_ctrl_break=")) {
      ctrl_break_ready_file = argv[i] + 17;
    }
    if (std::wstring_view(argv[i]).starts_with(L"send_ctrl_break=")) {
      exit_code = send_ctrl_break(std::wcstoul(argv[i] + 16, nullptr, 10));
    }
  }
  // Environment values and the current directory fit in 32767 units.
  std::vector<wchar_t> text(32768);
  for (const auto& [name, key] : {std::pair(L"TEMP", "TEMP"), std::pair(L"TMP", "TMP")}) {
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(name, text.data(), 32768);
    if (length > 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
      line(key, {text.data(), length});
    }
  }
  BOOL in_job = FALSE;
  ::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job);
  line("in_job", in_job ? 1u : 0u);
  line("process_id", ::GetCurrentProcessId());
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
  if (::QueryInformationJobObject(nullptr, JobObjectBasicUIRestrictions, &ui, sizeof ui, nullptr)) {
    line("ui_restrictions", ui.UIRestrictionsClass, true);
  } else {
    line("ui_restrictions_error", ::GetLastError());
  }
  line("error_mode", ::GetErrorMode());
  line("current_directory", {text.data(), ::GetCurrentDirectoryW(32768, text.data())});
  if (want_token) {
    report_token();
  }
  if (want_clipboard) {
    report_clipboard();
  }
  if (!ctrl_break_ready_file.empty() && await_ctrl_break(ctrl_break_ready_file)) {
    exit_code = 43;
  }
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), output.data(), static_cast<DWORD>(output.size()),
              &written, nullptr);
  ::ExitProcess(exit_code);
}
