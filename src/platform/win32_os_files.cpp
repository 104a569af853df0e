#include "platform/win32_os.h"

#include "platform/win32_os_support.h"

#include <shlobj.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <vector>

namespace obrex {

using namespace win32;

namespace {

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

} // namespace

// --- files ------------------------------------------------------------------

OsResult<Handle> Win32Os::create_file(std::u16string_view path, std::uint32_t access,
                                      std::uint32_t share, std::uint32_t disposition,
                                      std::uint32_t flags, SecurityDescriptorPtr descriptor) {
  const std::wstring wide_path = wide(path);
  ::SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.value, FALSE};
  const HANDLE file = ::CreateFileW(wide_path.c_str(), access, share,
                                    descriptor.value != nullptr ? &attributes : nullptr,
                                    disposition, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return last_error();
  }
  return Handle{file};
}

namespace {

// The request's record, where the system writes its outcome.
::OVERLAPPED* native_record(OVERLAPPED& overlapped) {
  static_assert(sizeof(OVERLAPPED) == sizeof(::OVERLAPPED));
  static_assert(offsetof(OVERLAPPED, Internal) == offsetof(::OVERLAPPED, Internal));
  static_assert(offsetof(OVERLAPPED, InternalHigh) == offsetof(::OVERLAPPED, InternalHigh));
  static_assert(offsetof(OVERLAPPED, Offset) == offsetof(::OVERLAPPED, Offset));
  static_assert(offsetof(OVERLAPPED, OffsetHigh) == offsetof(::OVERLAPPED, OffsetHigh));
  static_assert(offsetof(OVERLAPPED, hEvent) == offsetof(::OVERLAPPED, hEvent));
  return reinterpret_cast<::OVERLAPPED*>(&overlapped);
}

} // namespace

OsResult<void> Win32Os::lock_file_ex(Handle file, std::uint32_t flags, std::uint32_t bytes_low,
                                     std::uint32_t bytes_high, OVERLAPPED& overlapped) {
  if (!::LockFileEx(native(file), flags, 0, bytes_low, bytes_high, native_record(overlapped))) {
    return last_error();
  }
  return {};
}

OsResult<void> Win32Os::unlock_file_ex(Handle file, std::uint32_t bytes_low,
                                       std::uint32_t bytes_high, OVERLAPPED& overlapped) {
  if (!::UnlockFileEx(native(file), 0, bytes_low, bytes_high, native_record(overlapped))) {
    return last_error();
  }
  return {};
}

OsResult<void> Win32Os::cancel_io_ex(Handle file, OVERLAPPED& overlapped) {
  if (!::CancelIoEx(native(file), native_record(overlapped))) {
    return last_error();
  }
  return {};
}

OsResult<std::uint32_t> Win32Os::get_overlapped_result(Handle file, OVERLAPPED& overlapped,
                                                       bool wait) {
  DWORD transferred = 0;
  if (!::GetOverlappedResult(native(file), native_record(overlapped), &transferred,
                             wait ? TRUE : FALSE)) {
    return last_error();
  }
  return transferred;
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

OsResult<std::vector<FILE_ID_EXTD_DIR_INFO>>
Win32Os::get_file_id_extd_directory_info(Handle directory) {
  // Entries are variable in length and 8-byte aligned; a buffer this size
  // takes hundreds at a time.
  std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));
  const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t));
  std::vector<FILE_ID_EXTD_DIR_INFO> found;
  while (::GetFileInformationByHandleEx(native(directory), FileIdExtdDirectoryInfo, buffer.data(),
                                        size)) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (std::size_t at = 0;;) {
      ::FILE_ID_EXTD_DIR_INFO entry{};
      constexpr std::size_t kFixed = offsetof(::FILE_ID_EXTD_DIR_INFO, FileName);
      std::memcpy(&entry, bytes + at, kFixed);
      FILE_ID_EXTD_DIR_INFO result;
      result.FileName.resize(entry.FileNameLength / sizeof(char16_t));
      std::memcpy(result.FileName.data(), bytes + at + kFixed,
                  result.FileName.size() * sizeof(char16_t));
      result.FileAttributes = entry.FileAttributes;
      result.ReparsePointTag = entry.ReparsePointTag;
      std::memcpy(result.FileId, entry.FileId.Identifier, sizeof result.FileId);
      found.push_back(std::move(result));
      if (entry.NextEntryOffset == 0) {
        break;
      }
      at += entry.NextEntryOffset;
    }
  }
  const DWORD error = ::GetLastError();
  if (error != ERROR_NO_MORE_FILES) {
    return status_error(error);
  }
  return found;
}

OsResult<void> Win32Os::delete_file(std::u16string_view path) {
  const std::wstring wide_path = wide(path);
  if (!::DeleteFileW(wide_path.c_str())) {
    return last_error();
  }
  return {};
}

OsResult<void> Win32Os::remove_directory(std::u16string_view path) {
  const std::wstring wide_path = wide(path);
  if (!::RemoveDirectoryW(wide_path.c_str())) {
    return last_error();
  }
  return {};
}

OsResult<std::string> Win32Os::read_file_to_end(Handle file) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(native(file), buffer, sizeof buffer, &read, nullptr)) {
      if (::GetLastError() == ERROR_BROKEN_PIPE) {
        return bytes;
      }
      return last_error();
    }
    if (read == 0) {
      return bytes;
    }
    bytes.append(buffer, read);
  }
}

} // namespace obrex
