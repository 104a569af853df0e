#include "platform/win32_os.h"

#include "platform/win32_os_support.h"

#include <cstddef>
#include <cwchar>
#include <vector>

namespace obrex {

using namespace win32;

// Token information buffers are filled by Windows and read by the steps in
// place, and the steps' records are handed to Windows in place: the portable
// structures must be laid out exactly as the Windows ones.
#define OBREX_SAME_LAYOUT(type, field)                                                             \
  static_assert(offsetof(obrex::type, field) == offsetof(::type, field),                           \
                #type "::" #field " lies elsewhere than in Windows")
#define OBREX_SAME_SIZE(type)                                                                      \
  static_assert(sizeof(obrex::type) == sizeof(::type) && alignof(obrex::type) == alignof(::type),  \
                #type " differs in size from Windows")

OBREX_SAME_SIZE(SID_AND_ATTRIBUTES);
OBREX_SAME_LAYOUT(SID_AND_ATTRIBUTES, Sid);
OBREX_SAME_LAYOUT(SID_AND_ATTRIBUTES, Attributes);
OBREX_SAME_SIZE(TOKEN_GROUPS);
OBREX_SAME_LAYOUT(TOKEN_GROUPS, GroupCount);
OBREX_SAME_LAYOUT(TOKEN_GROUPS, Groups);
OBREX_SAME_SIZE(TOKEN_USER);
OBREX_SAME_LAYOUT(TOKEN_USER, User);
OBREX_SAME_SIZE(TOKEN_DEFAULT_DACL);
OBREX_SAME_LAYOUT(TOKEN_DEFAULT_DACL, DefaultDacl);
OBREX_SAME_SIZE(TOKEN_MANDATORY_LABEL);
OBREX_SAME_LAYOUT(TOKEN_MANDATORY_LABEL, Label);
OBREX_SAME_SIZE(FILE_ID_INFO);
OBREX_SAME_LAYOUT(FILE_ID_INFO, VolumeSerialNumber);
OBREX_SAME_LAYOUT(FILE_ID_INFO, FileId);
OBREX_SAME_SIZE(JOBOBJECT_BASIC_UI_RESTRICTIONS);
OBREX_SAME_LAYOUT(JOBOBJECT_BASIC_UI_RESTRICTIONS, UIRestrictionsClass);
OBREX_SAME_SIZE(JOBOBJECT_EXTENDED_LIMIT_INFORMATION);
OBREX_SAME_LAYOUT(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, BasicLimitInformation);
OBREX_SAME_LAYOUT(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, IoInfo);
OBREX_SAME_LAYOUT(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, ProcessMemoryLimit);
OBREX_SAME_LAYOUT(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, PeakJobMemoryUsed);
OBREX_SAME_SIZE(JOBOBJECT_BASIC_LIMIT_INFORMATION);
OBREX_SAME_LAYOUT(JOBOBJECT_BASIC_LIMIT_INFORMATION, LimitFlags);
OBREX_SAME_LAYOUT(JOBOBJECT_BASIC_LIMIT_INFORMATION, MinimumWorkingSetSize);
OBREX_SAME_LAYOUT(JOBOBJECT_BASIC_LIMIT_INFORMATION, ActiveProcessLimit);
OBREX_SAME_LAYOUT(JOBOBJECT_BASIC_LIMIT_INFORMATION, Affinity);
OBREX_SAME_LAYOUT(JOBOBJECT_BASIC_LIMIT_INFORMATION, SchedulingClass);
OBREX_SAME_SIZE(IO_COUNTERS);
OBREX_SAME_LAYOUT(IO_COUNTERS, OtherTransferCount);

#undef OBREX_SAME_LAYOUT
#undef OBREX_SAME_SIZE

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");
static_assert(sizeof(DWORD) == sizeof(OsCode));
static_assert(sizeof(::FILE_ID_128) == sizeof(FILE_ID_INFO{}.FileId));

namespace {

// A write that succeeds without taking anything would repeat forever; it is
// reported as the device's write fault instead.
constexpr DWORD kNoProgress = ERROR_WRITE_FAULT;

DWORD chunk_length(std::size_t remaining) {
  return remaining > MAXDWORD ? MAXDWORD : static_cast<DWORD>(remaining);
}

} // namespace

Os& system_os() {
  static Win32Os os;
  return os;
}

void restrict_dll_search_to_system_directory() {
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// --- process ----------------------------------------------------------------

std::optional<std::u16string> Win32Os::get_command_line() {
  const wchar_t* line = ::GetCommandLineW();
  if (line == nullptr) {
    return std::nullopt;
  }
  return units(line, std::wcslen(line));
}

OsResult<std::u16string> Win32Os::get_module_file_name() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), size);
    if (length == 0) {
      return last_error();
    }
    if (length < size) {
      return units(buffer.data(), length);
    }
    buffer.resize(buffer.size() * 2);
  }
}

void Win32Os::exit_process(std::uint32_t code) {
  ::ExitProcess(code);
}

// --- standard handles and console -------------------------------------------

Handle Win32Os::get_std_handle(std::uint32_t which) {
  return Handle{::GetStdHandle(which)};
}

bool Win32Os::get_console_mode(Handle handle) {
  DWORD mode = 0;
  return ::GetConsoleMode(native(handle), &mode) != FALSE;
}

std::uint32_t Win32Os::get_console_output_cp() {
  return ::GetConsoleOutputCP();
}

OsResult<void> Win32Os::write_console(Handle handle, std::u16string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    if (!::WriteConsoleW(native(handle), text.data(), chunk_length(text.size()), &written,
                         nullptr)) {
      return last_error();
    }
    if (written == 0) {
      return status_error(kNoProgress);
    }
    text.remove_prefix(written);
  }
  return {};
}

OsResult<void> Win32Os::write_file(Handle handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    if (!::WriteFile(native(handle), bytes.data(), chunk_length(bytes.size()), &written, nullptr)) {
      return last_error();
    }
    if (written == 0) {
      return status_error(kNoProgress);
    }
    bytes.remove_prefix(written);
  }
  return {};
}

// --- error texts ------------------------------------------------------------

std::optional<ModuleHandle> Win32Os::get_module_handle(std::u16string_view name) {
  const std::wstring wide_name = wide(name);
  const HMODULE module = ::GetModuleHandleW(wide_name.c_str());
  if (module == nullptr) {
    return std::nullopt;
  }
  return ModuleHandle{module};
}

OsResult<std::u16string> Win32Os::format_message(std::uint32_t flags, ModuleHandle source,
                                                 std::uint32_t code, std::uint32_t capacity) {
  std::vector<wchar_t> buffer(capacity);
  const DWORD length =
      ::FormatMessageW(flags, source.value, code, 0, buffer.data(), capacity, nullptr);
  if (length == 0) {
    return last_error();
  }
  return units(buffer.data(), length);
}

// --- environment ------------------------------------------------------------

std::optional<std::u16string> Win32Os::get_environment_variable(std::u16string_view name) {
  const std::wstring wide_name = wide(name);
  std::vector<wchar_t> buffer(1024);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    // An empty value also gives 0; only the last error tells it from unset.
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), buffer.data(), size);
    if (length == 0) {
      if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
        return std::nullopt;
      }
      return std::u16string();
    }
    if (length < size) {
      return units(buffer.data(), length);
    }
    // Too small: `length` is the size needed, its NUL included.
    buffer.resize(length);
  }
}

OsResult<void> Win32Os::set_environment_variable(std::u16string_view name,
                                                 std::u16string_view value) {
  const std::wstring wide_name = wide(name);
  const std::wstring wide_value = wide(value);
  if (!::SetEnvironmentVariableW(wide_name.c_str(), wide_value.c_str())) {
    return last_error();
  }
  return {};
}

std::optional<std::u16string> Win32Os::get_environment_strings() {
  wchar_t* const block = ::GetEnvironmentStringsW();
  if (block == nullptr) {
    return std::nullopt;
  }
  std::size_t length = 0;
  while (block[length] != L'\0') {
    length += std::wcslen(block + length) + 1;
  }
  std::u16string entries = units(block, length);
  ::FreeEnvironmentStringsW(block);
  return entries;
}

OsResult<void> Win32Os::bcrypt_gen_random(std::span<std::uint8_t> buffer) {
  // bcrypt.dll is no known DLL: it is loaded from the system directory, once.
  using GenRandom = LONG(WINAPI*)(void*, unsigned char*, ULONG, ULONG);
  static const auto gen_random = []() -> GenRandom {
    const HMODULE module = ::LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module == nullptr ? nullptr
                             : reinterpret_cast<GenRandom>(reinterpret_cast<void*>(
                                   ::GetProcAddress(module, "BCryptGenRandom")));
  }();
  if (gen_random == nullptr) {
    return last_error();
  }
  constexpr ULONG kSystemPreferredRng = 0x2; // BCRYPT_USE_SYSTEM_PREFERRED_RNG
  const LONG status =
      gen_random(nullptr, buffer.data(), static_cast<ULONG>(buffer.size()), kSystemPreferredRng);
  if (status != 0) {
    return status_error(static_cast<DWORD>(status));
  }
  return {};
}

OsResult<OSVERSIONINFO> Win32Os::rtl_get_version() {
  using GetVersion = LONG(WINAPI*)(::RTL_OSVERSIONINFOW*);
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  const auto get_version = ntdll == nullptr ? nullptr
                                            : reinterpret_cast<GetVersion>(reinterpret_cast<void*>(
                                                  ::GetProcAddress(ntdll, "RtlGetVersion")));
  if (get_version == nullptr) {
    return last_error();
  }
  ::RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (const LONG status = get_version(&info); status != 0) {
    return status_error(static_cast<DWORD>(status));
  }
  return OSVERSIONINFO{info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
}

} // namespace obrex
