// The child that end-to-end runs start inside the sandbox. It prints what it
// sees, one "key=value" line each, in UTF-8 on standard output, and exits
// with the code it is asked for.
//
// Arguments (any other argument is only reported):
//   exit=N   end with exit code N (decimal, or hexadecimal with 0x)
//   write_to=H  write "inherited" to handle value H
//   token    also report the token: integrity level, restricting SIDs and
//            privileges
//
// Lines always printed: command_line, argc and arg1.. (the arguments as the C
// runtime splits them), TEMP and TMP (absent when unset), in_job,
// ui_restrictions (or ui_restrictions_error with the code), error_mode, and
// current_directory last.
#include <windows.h>

#include <sddl.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string output;

void line(std::string_view key, std::wstring_view value) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), bytes.data(),
                        size, nullptr, nullptr);
  output.append(key).append("=").append(bytes).append("\n");
}

void line(std::string_view key, std::uint32_t value, bool hex = false) {
  wchar_t text[16];
  std::swprintf(text, 16, hex ? L"0x%X" : L"%u", value);
  line(key, text);
}

// Zeroed, and aligned for the pointers inside; empty when not read.
std::vector<std::uint64_t> token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD needed = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &needed);
  std::vector<std::uint64_t> buffer((needed + 7) / 8);
  if (needed == 0 || !::GetTokenInformation(token, kind, buffer.data(), needed, &needed)) {
    buffer.clear();
  }
  return buffer;
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
  ::CloseHandle(token);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
  UINT exit_code = 0;
  bool want_token = false;
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
    want_token = want_token || std::wstring_view(argv[i]) == L"token";
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
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), output.data(), static_cast<DWORD>(output.size()),
              &written, nullptr);
  ::ExitProcess(exit_code);
}
