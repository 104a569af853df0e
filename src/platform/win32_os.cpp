#include "platform/win32_os.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstddef>
#include <cstring>
#include <iterator>
#include <vector>

#include "platform/owner.h"

namespace obrex {

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

#undef OBREX_SAME_LAYOUT
#undef OBREX_SAME_SIZE

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");
static_assert(sizeof(DWORD) == sizeof(OsCode));
static_assert(sizeof(::FILE_ID_128) == sizeof(FILE_ID_INFO{}.FileId));

namespace {

// A NUL-terminated copy for the calls that take a wide string. It is kept in
// a named local until the call's last error has been read: freeing it in
// between could change that value.
std::wstring wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

std::u16string units(const wchar_t* text, std::size_t length) {
  return std::u16string(text, text + length);
}

HANDLE native(Handle handle) {
  return handle.value;
}

std::unexpected<OsCode> last_error() {
  return std::unexpected<OsCode>(::GetLastError());
}

std::unexpected<OsCode> status_error(DWORD status) {
  return std::unexpected<OsCode>(status);
}

// The release function for the strings the system allocates for the
// caller; like every release it leaves the thread's last error as it was.
struct LocalFreeString {
  void operator()(wchar_t* text) const {
    const DWORD error = ::GetLastError();
    ::LocalFree(text);
    ::SetLastError(error);
  }
};
using LocalString = Owner<wchar_t*, LocalFreeString>;

// The address of a function that a system DLL exports, as its own type.
template <class F> F* function_address(HMODULE module, const char* name) {
  return reinterpret_cast<F*>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

// The profile folder is the only use of shell32.dll and ole32.dll, and
// loading them costs more than the rest of a run: they are loaded only when
// a run asks for the profile folder, so a run that fails earlier never pays
// for them. They come from the system directory only, never from next to
// the executable, and stay loaded for the life of the process.
struct ProfileFolderCalls {
  decltype(::SHGetKnownFolderPath)* get_known_folder_path = nullptr;
  decltype(::CoTaskMemFree)* task_mem_free = nullptr;
};

OsResult<ProfileFolderCalls> load_profile_folder_calls() {
  const HMODULE shell32 = ::LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const HMODULE ole32 = shell32 == nullptr
                            ? nullptr
                            : ::LoadLibraryExW(L"ole32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ProfileFolderCalls calls;
  if (ole32 != nullptr) {
    calls.get_known_folder_path =
        function_address<decltype(::SHGetKnownFolderPath)>(shell32, "SHGetKnownFolderPath");
    calls.task_mem_free = function_address<decltype(::CoTaskMemFree)>(ole32, "CoTaskMemFree");
  }
  if (calls.get_known_folder_path == nullptr || calls.task_mem_free == nullptr) {
    return std::unexpected(static_cast<OsCode>(HRESULT_FROM_WIN32(::GetLastError())));
  }
  return calls;
}

// Loaded once; a DLL of the system directory that cannot be loaded will not
// load on a later try either.
const OsResult<ProfileFolderCalls>& profile_folder_calls() {
  static const OsResult<ProfileFolderCalls> calls = load_profile_folder_calls();
  return calls;
}

// The release function for the profile folder's string: CoTaskMemFree as
// loaded, leaving the thread's last error as it was.
struct TaskMemFree {
  decltype(::CoTaskMemFree)* task_mem_free = nullptr;
  void operator()(wchar_t* text) const {
    const DWORD error = ::GetLastError();
    task_mem_free(text);
    ::SetLastError(error);
  }
};

// FOLDERID_Profile, {5E6C858F-0E22-4760-9AFE-EA3317B67173}.
constexpr GUID kFolderIdProfile = {
    0x5E6C858F, 0x0E22, 0x4760, {0x9A, 0xFE, 0xEA, 0x33, 0x17, 0xB6, 0x71, 0x73}};

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

// --- files ------------------------------------------------------------------

OsResult<Handle> Win32Os::create_file(std::u16string_view path, std::uint32_t access,
                                      std::uint32_t share, std::uint32_t disposition,
                                      std::uint32_t flags) {
  const std::wstring wide_path = wide(path);
  const HANDLE file =
      ::CreateFileW(wide_path.c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return last_error();
  }
  return Handle{file};
}

OsResult<BY_HANDLE_FILE_INFORMATION> Win32Os::get_file_information_by_handle(Handle file) {
  ::BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(native(file), &information)) {
    return last_error();
  }
  BY_HANDLE_FILE_INFORMATION result;
  result.dwFileAttributes = information.dwFileAttributes;
  return result;
}

OsResult<FILE_ID_INFO> Win32Os::get_file_id_info(Handle file) {
  ::FILE_ID_INFO information{};
  if (!::GetFileInformationByHandleEx(native(file), FileIdInfo, &information, sizeof information)) {
    return last_error();
  }
  FILE_ID_INFO result;
  result.VolumeSerialNumber = information.VolumeSerialNumber;
  std::memcpy(result.FileId, information.FileId.Identifier, sizeof result.FileId);
  return result;
}

OsResult<FILE_ATTRIBUTE_TAG_INFO> Win32Os::get_file_attribute_tag_info(Handle file) {
  ::FILE_ATTRIBUTE_TAG_INFO information{};
  if (!::GetFileInformationByHandleEx(native(file), FileAttributeTagInfo, &information,
                                      sizeof information)) {
    return last_error();
  }
  FILE_ATTRIBUTE_TAG_INFO result;
  result.FileAttributes = information.FileAttributes;
  result.ReparseTag = information.ReparseTag;
  return result;
}

bool Win32Os::close_handle(Handle handle) {
  // Owners close between a failed call and the read of its error.
  const DWORD error = ::GetLastError();
  const bool closed = ::CloseHandle(native(handle)) != FALSE;
  ::SetLastError(error);
  return closed;
}

OsResult<std::u16string> Win32Os::get_full_path_name(std::u16string_view path) {
  const std::wstring wide_path = wide(path);
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = ::GetFullPathNameW(wide_path.c_str(), size, buffer.data(), nullptr);
    if (length == 0) {
      return last_error();
    }
    if (length < size) {
      return units(buffer.data(), length);
    }
    // Too small: `length` is the size needed, its NUL included.
    buffer.resize(length);
  }
}

OsResult<WIN32_FIND_DATAW> Win32Os::find_first_file_ex(std::u16string_view path) {
  ::WIN32_FIND_DATAW data{};
  const std::wstring wide_path = wide(path);
  const HANDLE search = ::FindFirstFileExW(wide_path.c_str(), FindExInfoBasic, &data,
                                           FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return last_error();
  }
  ::FindClose(search);
  WIN32_FIND_DATAW result;
  result.dwFileAttributes = data.dwFileAttributes;
  result.dwReserved0 = data.dwReserved0;
  return result;
}

OsResult<void> Win32Os::create_directory(std::u16string_view path) {
  const std::wstring wide_path = wide(path);
  if (!::CreateDirectoryW(wide_path.c_str(), nullptr)) {
    return last_error();
  }
  return {};
}

OsResult<std::u16string> Win32Os::get_known_folder_path_profile() {
  const auto& calls = profile_folder_calls();
  if (!calls) {
    return std::unexpected(calls.error());
  }
  Owner<wchar_t*, TaskMemFree> path(nullptr, TaskMemFree{calls->task_mem_free});
  const HRESULT result = calls->get_known_folder_path(kFolderIdProfile, 0, nullptr, path.put());
  if (FAILED(result)) {
    return status_error(static_cast<DWORD>(result));
  }
  return units(path.get(), static_cast<std::size_t>(::lstrlenW(path.get())));
}

OsResult<std::uint32_t> Win32Os::get_file_attributes(std::u16string_view path) {
  const std::wstring wide_path = wide(path);
  const DWORD attributes = ::GetFileAttributesW(wide_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return last_error();
  }
  return attributes;
}

// --- SIDs, security descriptors, ACLs ---------------------------------------

OsResult<SidPtr> Win32Os::convert_string_sid_to_sid(std::u16string_view text) {
  const std::wstring wide_text = wide(text);
  PSID sid = nullptr;
  if (!::ConvertStringSidToSidW(wide_text.c_str(), &sid)) {
    return last_error();
  }
  return SidPtr{sid};
}

OsResult<std::u16string> Win32Os::convert_sid_to_string_sid(SidPtr sid) {
  LocalString text;
  if (!::ConvertSidToStringSidW(sid.value, text.put())) {
    return last_error();
  }
  return units(text.get(), std::wcslen(text.get()));
}

std::uint32_t Win32Os::get_length_sid(SidPtr sid) {
  return ::GetLengthSid(sid.value);
}

OsResult<SecurityDescriptorPtr>
Win32Os::convert_string_security_descriptor_to_security_descriptor(std::u16string_view sddl,
                                                                   std::uint32_t revision) {
  const std::wstring wide_sddl = wide(sddl);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide_sddl.c_str(), revision,
                                                              &descriptor, nullptr)) {
    return last_error();
  }
  return SecurityDescriptorPtr{descriptor};
}

OsResult<std::u16string> Win32Os::convert_security_descriptor_to_string_security_descriptor(
    SecurityDescriptorPtr descriptor, std::uint32_t revision, std::uint32_t information) {
  LocalString text;
  if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.value, revision,
                                                              information, text.put(), nullptr)) {
    return last_error();
  }
  return units(text.get(), std::wcslen(text.get()));
}

OsResult<AclPtr> Win32Os::get_security_descriptor_dacl(SecurityDescriptorPtr descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  if (!::GetSecurityDescriptorDacl(descriptor.value, &present, &acl, &defaulted)) {
    return last_error();
  }
  return AclPtr{present ? acl : nullptr};
}

OsResult<AclPtr> Win32Os::get_security_descriptor_sacl(SecurityDescriptorPtr descriptor) {
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  if (!::GetSecurityDescriptorSacl(descriptor.value, &present, &acl, &defaulted)) {
    return last_error();
  }
  return AclPtr{present ? acl : nullptr};
}

OsResult<NamedSecurityInfo> Win32Os::get_named_security_info(std::u16string_view path,
                                                             std::uint32_t object_type,
                                                             std::uint32_t information,
                                                             bool want_dacl) {
  const std::wstring wide_path = wide(path);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  const DWORD status = ::GetNamedSecurityInfoW(
      wide_path.c_str(), static_cast<::SE_OBJECT_TYPE>(object_type), information, nullptr, nullptr,
      want_dacl ? &dacl : nullptr, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    return status_error(status);
  }
  return NamedSecurityInfo{SecurityDescriptorPtr{descriptor}, AclPtr{dacl}};
}

OsResult<AclPtr> Win32Os::set_entries_in_acl(const EXPLICIT_ACCESS_W& entry, AclPtr old_acl) {
  ::EXPLICIT_ACCESS_W access{};
  access.grfAccessPermissions = entry.grfAccessPermissions;
  access.grfAccessMode = static_cast<::ACCESS_MODE>(entry.grfAccessMode);
  access.grfInheritance = entry.grfInheritance;
  access.Trustee.pMultipleTrustee = static_cast<::TRUSTEE_W*>(entry.Trustee.pMultipleTrustee);
  access.Trustee.MultipleTrusteeOperation =
      static_cast<::MULTIPLE_TRUSTEE_OPERATION>(entry.Trustee.MultipleTrusteeOperation);
  access.Trustee.TrusteeForm = static_cast<::TRUSTEE_FORM>(entry.Trustee.TrusteeForm);
  access.Trustee.TrusteeType = static_cast<::TRUSTEE_TYPE>(entry.Trustee.TrusteeType);
  access.Trustee.ptstrName = static_cast<LPWSTR>(entry.Trustee.ptstrName);
  PACL acl = nullptr;
  const DWORD status = ::SetEntriesInAclW(1, &access, static_cast<PACL>(old_acl.value), &acl);
  if (status != ERROR_SUCCESS) {
    return status_error(status);
  }
  return AclPtr{acl};
}

OsResult<std::uint32_t> Win32Os::get_acl_information(AclPtr acl) {
  ::ACL_SIZE_INFORMATION size{};
  if (!::GetAclInformation(static_cast<PACL>(acl.value), &size, sizeof size, AclSizeInformation)) {
    return last_error();
  }
  return static_cast<std::uint32_t>(size.AceCount);
}

OsResult<void> Win32Os::set_named_security_info(std::u16string_view path, std::uint32_t object_type,
                                                std::uint32_t information, AclPtr dacl,
                                                AclPtr sacl) {
  // The call takes the name through a non-const pointer.
  std::wstring wide_path = wide(path);
  const DWORD status = ::SetNamedSecurityInfoW(
      wide_path.data(), static_cast<::SE_OBJECT_TYPE>(object_type), information, nullptr, nullptr,
      static_cast<PACL>(dacl.value), static_cast<PACL>(sacl.value));
  if (status != ERROR_SUCCESS) {
    return status_error(status);
  }
  return {};
}

void Win32Os::local_free(void* memory) {
  const DWORD error = ::GetLastError();
  ::LocalFree(memory);
  ::SetLastError(error);
}

// --- tokens -----------------------------------------------------------------

OsResult<Handle> Win32Os::open_process_token(std::uint32_t access) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), access, &token)) {
    return last_error();
  }
  return Handle{token};
}

OsResult<void> Win32Os::get_token_information(Handle token, std::uint32_t information_class,
                                              void* buffer, std::uint32_t length,
                                              std::uint32_t& needed) {
  DWORD returned = 0;
  const BOOL ok = ::GetTokenInformation(native(token),
                                        static_cast<::TOKEN_INFORMATION_CLASS>(information_class),
                                        buffer, length, &returned);
  needed = returned;
  if (!ok) {
    return last_error();
  }
  return {};
}

OsResult<Handle> Win32Os::create_restricted_token(Handle token, std::uint32_t flags,
                                                  std::span<const SID_AND_ATTRIBUTES> restricting) {
  std::vector<::SID_AND_ATTRIBUTES> sids(restricting.size());
  for (std::size_t i = 0; i < restricting.size(); ++i) {
    sids[i].Sid = restricting[i].Sid.value;
    sids[i].Attributes = restricting[i].Attributes;
  }
  HANDLE restricted = nullptr;
  if (!::CreateRestrictedToken(native(token), flags, 0, nullptr, 0, nullptr,
                               static_cast<DWORD>(sids.size()),
                               sids.empty() ? nullptr : sids.data(), &restricted)) {
    return last_error();
  }
  return Handle{restricted};
}

OsResult<void> Win32Os::set_token_information(Handle token, std::uint32_t information_class,
                                              const void* information, std::uint32_t length) {
  // The call takes the record through a non-const pointer but only reads it.
  if (!::SetTokenInformation(native(token),
                             static_cast<::TOKEN_INFORMATION_CLASS>(information_class),
                             const_cast<void*>(information), length)) {
    return last_error();
  }
  return {};
}

// --- jobs and processes -----------------------------------------------------

OsResult<bool> Win32Os::is_process_in_job() {
  BOOL in_job = FALSE;
  if (!::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job)) {
    return last_error();
  }
  return in_job != FALSE;
}

OsResult<JOBOBJECT_EXTENDED_LIMIT_INFORMATION> Win32Os::query_information_job_object() {
  ::JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (!::QueryInformationJobObject(nullptr, ::JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits, nullptr)) {
    return last_error();
  }
  return JOBOBJECT_EXTENDED_LIMIT_INFORMATION{limits.BasicLimitInformation.LimitFlags};
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

OsResult<PROCESS_INFORMATION>
Win32Os::create_process_as_user(Handle token, std::u16string_view application,
                                std::u16string& command_line, bool inherit_handles,
                                std::uint32_t creation_flags, const STARTUPINFOW& startup) {
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
                              inherit_handles ? TRUE : FALSE, creation_flags, nullptr, nullptr,
                              &startup_info, &process)) {
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

void Win32Os::terminate_process(Handle process, std::uint32_t exit_code) {
  ::TerminateProcess(native(process), exit_code);
}

OsResult<std::uint32_t> Win32Os::wait_for_single_object(Handle handle, std::uint32_t milliseconds) {
  const DWORD result = ::WaitForSingleObject(native(handle), milliseconds);
  if (result == WAIT_FAILED) {
    return last_error();
  }
  return result;
}

OsResult<Handle> Win32Os::create_mutex(SecurityDescriptorPtr descriptor, std::u16string_view name) {
  ::SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.value, FALSE};
  const std::wstring wide_name = wide(name);
  const HANDLE mutex =
      ::CreateMutexW(descriptor.value != nullptr ? &attributes : nullptr, FALSE, wide_name.c_str());
  if (mutex == nullptr) {
    return last_error();
  }
  return Handle{mutex};
}

OsResult<void> Win32Os::release_mutex(Handle mutex) {
  if (!::ReleaseMutex(native(mutex))) {
    return last_error();
  }
  return {};
}

OsResult<std::uint32_t> Win32Os::get_exit_code_process(Handle process) {
  DWORD code = 0;
  if (!::GetExitCodeProcess(native(process), &code)) {
    return last_error();
  }
  return code;
}

namespace {

// The command shares the console and gets the same events; it decides for
// itself whether they end it. This program stays to pass its exit code on.
BOOL WINAPI ignore_interrupts(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

} // namespace

OsResult<void> Win32Os::set_console_ctrl_handler() {
  if (!::SetConsoleCtrlHandler(ignore_interrupts, TRUE)) {
    return last_error();
  }
  return {};
}

// --- the companion tool -----------------------------------------------------

OsResult<void> Win32Os::lookup_account_sid(SidPtr sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_length = static_cast<DWORD>(std::size(name));
  DWORD domain_length = static_cast<DWORD>(std::size(domain));
  ::SID_NAME_USE use{};
  if (::LookupAccountSidW(nullptr, sid.value, name, &name_length, domain, &domain_length, &use)) {
    return {};
  }
  const DWORD error = ::GetLastError();
  // Buffers too small for the names: the SID names an account all the same.
  if (error == ERROR_INSUFFICIENT_BUFFER) {
    return {};
  }
  return status_error(error);
}

OsResult<std::vector<FoundFile>> Win32Os::find_files(std::u16string_view pattern) {
  ::WIN32_FIND_DATAW data{};
  const std::wstring wide_pattern = wide(pattern);
  const HANDLE search =
      ::FindFirstFileExW(wide_pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                         nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) {
    return last_error();
  }
  std::vector<FoundFile> found;
  do {
    FoundFile entry;
    entry.name = units(data.cFileName, std::wcslen(data.cFileName));
    entry.data.dwFileAttributes = data.dwFileAttributes;
    entry.data.dwReserved0 = data.dwReserved0;
    found.push_back(std::move(entry));
  } while (::FindNextFileW(search, &data));
  const DWORD error = ::GetLastError();
  ::FindClose(search);
  if (error != ERROR_NO_MORE_FILES) {
    return status_error(error);
  }
  return found;
}

} // namespace obrex
