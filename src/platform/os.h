// The seam between the sandbox's steps and Windows. Every system call a step
// makes goes through one method of `Os`; the real implementation forwards to
// Windows (win32_os.cpp), the simulated one (tests/support) models just what
// the steps observe.
//
// Methods are thin: the flags, sizes and structures a step passes are chosen
// by the step, so the step reads like the algorithm it carries out. A method
// that fails reports the 32-bit code the call gave: its last-error value, or
// the status or HRESULT it returned (the caller knows which it asked for).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace obrex {

using OsCode = std::uint32_t;

template <class T> using OsResult = std::expected<T, OsCode>;

// HANDLE. Null and INVALID_HANDLE_VALUE are both possible from
// GetStdHandle; the other methods report failure through OsResult instead.
struct Handle {
  void* value = nullptr;
  friend bool operator==(Handle, Handle) = default;
};

// HMODULE.
struct ModuleHandle {
  void* value = nullptr;
  friend bool operator==(ModuleHandle, ModuleHandle) = default;
};

// PSID, PACL and PSECURITY_DESCRIPTOR: addresses owned by whoever the call
// says (LocalFree for the converted and returned ones).
struct SidPtr {
  void* value = nullptr;
};
struct AclPtr {
  void* value = nullptr;
};
struct SecurityDescriptorPtr {
  void* value = nullptr;
};

// Laid out as the Windows structures of the same name, so that token
// information buffers can be read and written in place.
struct SID_AND_ATTRIBUTES {
  SidPtr Sid;
  std::uint32_t Attributes = 0;
};
struct TOKEN_GROUPS {
  std::uint32_t GroupCount = 0;
  SID_AND_ATTRIBUTES Groups[1];
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};
struct TOKEN_DEFAULT_DACL {
  AclPtr DefaultDacl;
};
struct TOKEN_MANDATORY_LABEL {
  SID_AND_ATTRIBUTES Label;
};
struct JOBOBJECT_BASIC_UI_RESTRICTIONS {
  std::uint32_t UIRestrictionsClass = 0;
};
struct JOBOBJECT_BASIC_LIMIT_INFORMATION {
  std::int64_t PerProcessUserTimeLimit = 0;
  std::int64_t PerJobUserTimeLimit = 0;
  std::uint32_t LimitFlags = 0;
  std::size_t MinimumWorkingSetSize = 0;
  std::size_t MaximumWorkingSetSize = 0;
  std::uint32_t ActiveProcessLimit = 0;
  std::uintptr_t Affinity = 0;
  std::uint32_t PriorityClass = 0;
  std::uint32_t SchedulingClass = 0;
};
struct IO_COUNTERS {
  std::uint64_t ReadOperationCount = 0;
  std::uint64_t WriteOperationCount = 0;
  std::uint64_t OtherOperationCount = 0;
  std::uint64_t ReadTransferCount = 0;
  std::uint64_t WriteTransferCount = 0;
  std::uint64_t OtherTransferCount = 0;
};
struct JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
  JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
  IO_COUNTERS IoInfo;
  std::size_t ProcessMemoryLimit = 0;
  std::size_t JobMemoryLimit = 0;
  std::size_t PeakProcessMemoryUsed = 0;
  std::size_t PeakJobMemoryUsed = 0;
};

// Laid out as OVERLAPPED. The system writes a request's outcome into it
// when the request ends, so it must stay where it is until then.
struct OVERLAPPED {
  std::uintptr_t Internal = 0;
  std::uintptr_t InternalHigh = 0;
  std::uint32_t Offset = 0;
  std::uint32_t OffsetHigh = 0;
  Handle hEvent;
};

// FILE_ID_INFO: volume serial number and 128-bit file ID.
struct FILE_ID_INFO {
  std::uint64_t VolumeSerialNumber = 0;
  std::uint8_t FileId[16] = {};
};

// FILE_ATTRIBUTE_TAG_INFO.
struct FILE_ATTRIBUTE_TAG_INFO {
  std::uint32_t FileAttributes = 0;
  std::uint32_t ReparseTag = 0;
};

// What the steps read of BY_HANDLE_FILE_INFORMATION.
struct BY_HANDLE_FILE_INFORMATION {
  std::uint32_t dwFileAttributes = 0;
};

// What the steps read of WIN32_FIND_DATAW: the attributes, and the reparse
// tag that Windows reports in dwReserved0 for a reparse point.
struct WIN32_FIND_DATAW {
  std::uint32_t dwFileAttributes = 0;
  std::uint32_t dwReserved0 = 0;
};

struct TRUSTEE_W {
  void* pMultipleTrustee = nullptr;
  std::uint32_t MultipleTrusteeOperation = 0;
  std::uint32_t TrusteeForm = 0;
  std::uint32_t TrusteeType = 0;
  void* ptstrName = nullptr;
};

struct EXPLICIT_ACCESS_W {
  std::uint32_t grfAccessPermissions = 0;
  std::uint32_t grfAccessMode = 0;
  std::uint32_t grfInheritance = 0;
  TRUSTEE_W Trustee;
};

// The fields of STARTUPINFOW that a launch sets; cb is filled in by the
// implementation and every other field is zero.
struct STARTUPINFOW {
  std::uint32_t dwFlags = 0;
  Handle hStdInput;
  Handle hStdOutput;
  Handle hStdError;
};

struct PROCESS_INFORMATION {
  Handle hProcess;
  Handle hThread;
};

// The two ends of an anonymous pipe.
struct Pipe {
  Handle read;
  Handle write;
};

// What RtlGetVersion reports of RTL_OSVERSIONINFOW.
struct OSVERSIONINFO {
  std::uint32_t dwMajorVersion = 0;
  std::uint32_t dwMinorVersion = 0;
  std::uint32_t dwBuildNumber = 0;
};

// The result of GetNamedSecurityInfoW: the descriptor (LocalFree) and, when
// asked for, the DACL inside it.
struct NamedSecurityInfo {
  SecurityDescriptorPtr descriptor;
  AclPtr dacl;
};

// The result of GetSecurityInfo: the descriptor (LocalFree) and the DACL and
// SACL inside it, each null unless asked for and present.
struct SecurityInfo {
  SecurityDescriptorPtr descriptor;
  AclPtr dacl;
  AclPtr sacl;
};

// What the companion tool reads of FILE_ID_EXTD_DIR_INFO: the name
// (FileName, FileNameLength bytes), the attributes, the reparse tag and the
// 128-bit file ID.
struct FILE_ID_EXTD_DIR_INFO {
  std::u16string FileName;
  std::uint32_t FileAttributes = 0;
  std::uint32_t ReparsePointTag = 0;
  std::uint8_t FileId[16] = {};
};

// What GetAce gives of one entry of an ACL: its ACE_HEADER and, for the
// types laid out as ACCESS_ALLOWED_ACE (the mask, then the SID: allow, deny,
// audit, alarm, their callback forms, mandatory label, resource attribute,
// scoped policy) or as ACCESS_ALLOWED_OBJECT_ACE (the mask, flags, the GUIDs
// those flags announce, then the SID), the mask and the SID inside the entry.
// Any other type has mask 0 and no SID; so has an entry too short for its
// SID.
struct ACE_RECORD {
  std::uint8_t AceType = 0;
  std::uint8_t AceFlags = 0;
  std::uint16_t AceSize = 0;
  std::uint32_t Mask = 0;
  SidPtr Sid; // points into the ACL
};

class Os {
public:
  virtual ~Os() = default;

  // --- process --------------------------------------------------------------
  // GetCommandLineW up to its NUL; nullopt when there is none.
  virtual std::optional<std::u16string> get_command_line() = 0;
  // GetModuleFileNameW for the running module.
  virtual OsResult<std::u16string> get_module_file_name() = 0;
  // ExitProcess. Does not return on Windows.
  virtual void exit_process(std::uint32_t code) = 0;

  // --- standard handles and console -----------------------------------------
  // GetStdHandle with STD_INPUT_HANDLE, STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
  virtual Handle get_std_handle(std::uint32_t which) = 0;
  // GetConsoleMode succeeds: the handle is a console.
  virtual bool get_console_mode(Handle handle) = 0;
  virtual std::uint32_t get_console_output_cp() = 0;
  // WriteConsoleW of all the units, or the first failure.
  virtual OsResult<void> write_console(Handle handle, std::u16string_view text) = 0;
  // WriteFile of all the bytes, or the first failure.
  virtual OsResult<void> write_file(Handle handle, std::string_view bytes) = 0;

  // --- error texts ----------------------------------------------------------
  // GetModuleHandleW; nullopt when the module is not loaded.
  virtual std::optional<ModuleHandle> get_module_handle(std::u16string_view name) = 0;
  // FormatMessageW with the given flags, source, code, language 0 and no
  // arguments into a buffer of `capacity` units. The units it wrote, or the
  // last error when it returned 0.
  virtual OsResult<std::u16string> format_message(std::uint32_t flags, ModuleHandle source,
                                                  std::uint32_t code, std::uint32_t capacity) = 0;

  // --- environment ----------------------------------------------------------
  // GetEnvironmentVariableW: nullopt when unset; the value's units as they are.
  virtual std::optional<std::u16string> get_environment_variable(std::u16string_view name) = 0;
  virtual OsResult<void> set_environment_variable(std::u16string_view name,
                                                  std::u16string_view value) = 0;
  // GetEnvironmentStringsW, then FreeEnvironmentStringsW: every entry of this
  // process's environment block with the NUL that ends it, without the NUL
  // that ends the block; nullopt when the call returned NULL.
  virtual std::optional<std::u16string> get_environment_strings() = 0;

  // --- files ----------------------------------------------------------------
  // CreateFileW with no template. A `descriptor` (null: none) is given in
  // security attributes whose handle is not inherited; it is used only when
  // the call creates the file.
  virtual OsResult<Handle> create_file(std::u16string_view path, std::uint32_t access,
                                       std::uint32_t share, std::uint32_t disposition,
                                       std::uint32_t flags, SecurityDescriptorPtr descriptor) = 0;
  // LockFileEx and UnlockFileEx of `bytes_low` and `bytes_high` bytes from
  // the offset in `overlapped`. A lock that cannot be granted at once on a
  // handle opened with FILE_FLAG_OVERLAPPED fails with ERROR_IO_PENDING and
  // is granted later; `overlapped` then belongs to the request until it ends.
  virtual OsResult<void> lock_file_ex(Handle file, std::uint32_t flags, std::uint32_t bytes_low,
                                      std::uint32_t bytes_high, OVERLAPPED& overlapped) = 0;
  virtual OsResult<void> unlock_file_ex(Handle file, std::uint32_t bytes_low,
                                        std::uint32_t bytes_high, OVERLAPPED& overlapped) = 0;
  // CancelIoEx of the one request that `overlapped` started on `file`;
  // ERROR_NOT_FOUND when it had already ended.
  virtual OsResult<void> cancel_io_ex(Handle file, OVERLAPPED& overlapped) = 0;
  // GetOverlappedResult: the bytes transferred, or the error that ended the
  // request (ERROR_OPERATION_ABORTED for a cancelled one). With `wait`, it
  // returns only once the request has ended.
  virtual OsResult<std::uint32_t> get_overlapped_result(Handle file, OVERLAPPED& overlapped,
                                                        bool wait) = 0;
  virtual OsResult<BY_HANDLE_FILE_INFORMATION> get_file_information_by_handle(Handle file) = 0;
  // GetFileInformationByHandleEx with FileIdInfo.
  virtual OsResult<FILE_ID_INFO> get_file_id_info(Handle file) = 0;
  // GetFileInformationByHandleEx with FileAttributeTagInfo.
  virtual OsResult<FILE_ATTRIBUTE_TAG_INFO> get_file_attribute_tag_info(Handle file) = 0;
  virtual bool close_handle(Handle handle) = 0;
  virtual OsResult<std::u16string> get_full_path_name(std::u16string_view path) = 0;
  // FindFirstFileExW(FindExInfoBasic, FindExSearchNameMatch, no filter, 0),
  // then FindClose.
  virtual OsResult<WIN32_FIND_DATAW> find_first_file_ex(std::u16string_view path) = 0;
  // CreateDirectoryW with no security attributes.
  virtual OsResult<void> create_directory(std::u16string_view path) = 0;
  // SHGetKnownFolderPath(FOLDERID_Profile, 0, no token), the string taken up
  // to its NUL and released with CoTaskMemFree whether the call succeeded or
  // not. The error is the HRESULT. shell32.dll and ole32.dll are loaded from
  // the system directory on the first call and kept; when either cannot be
  // loaded, the error is the HRESULT of the loader's error.
  virtual OsResult<std::u16string> get_known_folder_path_profile() = 0;
  // GetFileAttributesW: the attributes of the entry itself (a link is not
  // followed, so a link to nothing still has them), or the last error.
  virtual OsResult<std::uint32_t> get_file_attributes(std::u16string_view path) = 0;

  // --- SIDs, security descriptors, ACLs -------------------------------------
  // ConvertStringSidToSidW; the SID is released with local_free.
  virtual OsResult<SidPtr> convert_string_sid_to_sid(std::u16string_view text) = 0;
  // ConvertSidToStringSidW; the returned string is released with LocalFree
  // inside, on every path.
  virtual OsResult<std::u16string> convert_sid_to_string_sid(SidPtr sid) = 0;
  virtual std::uint32_t get_length_sid(SidPtr sid) = 0;
  // ConvertStringSecurityDescriptorToSecurityDescriptorW, no size output;
  // the descriptor is released with local_free.
  virtual OsResult<SecurityDescriptorPtr>
  convert_string_security_descriptor_to_security_descriptor(std::u16string_view sddl,
                                                            std::uint32_t revision) = 0;
  // ConvertSecurityDescriptorToStringSecurityDescriptorW, no length output;
  // the returned string is released with LocalFree inside, on every path.
  virtual OsResult<std::u16string> convert_security_descriptor_to_string_security_descriptor(
      SecurityDescriptorPtr descriptor, std::uint32_t revision, std::uint32_t information) = 0;
  // GetSecurityDescriptorDacl / Sacl; the ACL points into the descriptor.
  virtual OsResult<AclPtr> get_security_descriptor_dacl(SecurityDescriptorPtr descriptor) = 0;
  virtual OsResult<AclPtr> get_security_descriptor_sacl(SecurityDescriptorPtr descriptor) = 0;
  // GetNamedSecurityInfoW with no owner, no group and no SACL output; the
  // DACL output only when `want_dacl`. The error is the returned status.
  virtual OsResult<NamedSecurityInfo> get_named_security_info(std::u16string_view path,
                                                              std::uint32_t object_type,
                                                              std::uint32_t information,
                                                              bool want_dacl) = 0;
  // SetEntriesInAclW with one entry; the new ACL (which may be null) is
  // released with local_free. The error is the returned status.
  virtual OsResult<AclPtr> set_entries_in_acl(const EXPLICIT_ACCESS_W& entry, AclPtr old_acl) = 0;
  // GetAclInformation with AclSizeInformation: the number of entries
  // (AceCount) of a non-null ACL.
  virtual OsResult<std::uint32_t> get_acl_information(AclPtr acl) = 0;
  // SetNamedSecurityInfoW with no owner and no group. The error is the
  // returned status.
  virtual OsResult<void> set_named_security_info(std::u16string_view path,
                                                 std::uint32_t object_type,
                                                 std::uint32_t information, AclPtr dacl,
                                                 AclPtr sacl) = 0;
  // GetAce: the entry at `index` of a non-null ACL.
  virtual OsResult<ACE_RECORD> get_ace(AclPtr acl, std::uint32_t index) = 0;
  // DeleteAce: removes the entry at `index`; those after it move up by one.
  virtual OsResult<void> delete_ace(AclPtr acl, std::uint32_t index) = 0;
  // GetSecurityDescriptorControl: the control bits (SE_DACL_PROTECTED, ...).
  virtual OsResult<std::uint16_t>
  get_security_descriptor_control(SecurityDescriptorPtr descriptor) = 0;
  // EqualSid of two valid SIDs.
  virtual bool equal_sid(SidPtr a, SidPtr b) = 0;
  // GetSecurityInfo with no owner and no group output. The error is the
  // returned status.
  virtual OsResult<SecurityInfo> get_security_info(Handle handle, std::uint32_t object_type,
                                                   std::uint32_t information) = 0;
  // SetSecurityInfo with no owner and no group. The error is the returned
  // status.
  virtual OsResult<void> set_security_info(Handle handle, std::uint32_t object_type,
                                           std::uint32_t information, AclPtr dacl, AclPtr sacl) = 0;
  virtual void local_free(void* memory) = 0;

  // --- tokens ---------------------------------------------------------------
  // OpenProcessToken(GetCurrentProcess(), access).
  virtual OsResult<Handle> open_process_token(std::uint32_t access) = 0;
  // GetTokenInformation; `needed` receives the length it reports, also when
  // it fails.
  virtual OsResult<void> get_token_information(Handle token, std::uint32_t information_class,
                                               void* buffer, std::uint32_t length,
                                               std::uint32_t& needed) = 0;
  // CreateRestrictedToken with no SIDs to disable and no privileges to delete.
  virtual OsResult<Handle>
  create_restricted_token(Handle token, std::uint32_t flags,
                          std::span<const SID_AND_ATTRIBUTES> restricting) = 0;
  virtual OsResult<void> set_token_information(Handle token, std::uint32_t information_class,
                                               const void* information, std::uint32_t length) = 0;

  // --- jobs and processes ---------------------------------------------------
  // IsProcessInJob(process, NULL): whether the process is in a job at all. A
  // null `process` stands for this process (GetCurrentProcess()).
  virtual OsResult<bool> is_process_in_job(Handle process) = 0;
  // CreateJobObjectW with no security attributes and no name.
  virtual OsResult<Handle> create_job_object() = 0;
  virtual OsResult<void> set_information_job_object(Handle job, std::uint32_t information_class,
                                                    const void* information,
                                                    std::uint32_t length) = 0;
  // SetErrorMode; the previous mode.
  virtual std::uint32_t set_error_mode(std::uint32_t mode) = 0;
  // CreateProcessW with no process or thread attributes, no handles
  // inherited, this process's environment and current directory, and a
  // STARTUPINFOW with nothing set. `command_line` is the writable,
  // NUL-terminated buffer the call may change.
  virtual OsResult<PROCESS_INFORMATION> create_process(std::u16string_view application,
                                                       std::u16string& command_line,
                                                       std::uint32_t creation_flags) = 0;
  // CreateProcessAsUserW with no process or thread attributes and a null
  // current directory. `command_line` is the writable, NUL-terminated buffer
  // the call may change. `environment` is the block to give (its entries,
  // each ending in a NUL, then one more NUL; the caller passes
  // CREATE_UNICODE_ENVIRONMENT), or nullopt for a null environment.
  virtual OsResult<PROCESS_INFORMATION>
  create_process_as_user(Handle token, std::u16string_view application,
                         std::u16string& command_line, bool inherit_handles,
                         std::uint32_t creation_flags, const STARTUPINFOW& startup,
                         std::optional<std::u16string_view> environment) = 0;
  virtual OsResult<void> assign_process_to_job_object(Handle job, Handle process) = 0;
  // ResumeThread; a result of 0xFFFFFFFF is reported as the error.
  virtual OsResult<std::uint32_t> resume_thread(Handle thread) = 0;
  virtual OsResult<void> terminate_process(Handle process, std::uint32_t exit_code) = 0;
  // WaitForSingleObject; WAIT_FAILED is reported as the error, every other
  // result as the value.
  virtual OsResult<std::uint32_t> wait_for_single_object(Handle handle,
                                                         std::uint32_t milliseconds) = 0;
  virtual OsResult<std::uint32_t> get_exit_code_process(Handle process) = 0;
  // CreateEventW with no security attributes and no name: a manual-reset
  // event, not signalled.
  virtual OsResult<Handle> create_event() = 0;
  // SetConsoleCtrlHandler(handler, TRUE) with this program's handler, added
  // on the first call only; every call forgets the Ctrl+C and Ctrl+Break
  // that came before it. The handler runs on a thread of its own. It
  // answers CTRL_C_EVENT and CTRL_BREAK_EVENT as handled (TRUE) after
  // recording them (see console_interrupted). For the close, logoff and
  // shutdown events it ends the process set with set_console_ctrl_target, if
  // any, with STATUS_CONTROL_C_EXIT, and leaves the event to the system
  // (FALSE), which then ends this program. Unlike
  // SetConsoleCtrlHandler(NULL, TRUE) it is not inherited: a child gets the
  // events and decides for itself. The handler is process-wide, so runs in
  // one process take turns.
  virtual OsResult<void> set_console_ctrl_handler() = 0;
  // The process that the handler ends; a null handle for none. Set and
  // cleared under a lock that the handler holds while it ends the process,
  // so the handle may be closed once it is cleared. No system call.
  virtual void set_console_ctrl_target(Handle process) = 0;
  // Whether Ctrl+C or Ctrl+Break reached the handler since it was last
  // installed. No system call.
  virtual bool console_interrupted() = 0;

  // --- the companion tool ---------------------------------------------------
  // LookupAccountSidW on the local system: success when the SID names an
  // account (the name itself is not kept), ERROR_NONE_MAPPED (1332) when it
  // names none, or the call's other last error.
  virtual OsResult<void> lookup_account_sid(SidPtr sid) = 0;
  // GetFileInformationByHandleEx with FileIdExtdDirectoryInfo on a directory
  // handle, called until it fails with ERROR_NO_MORE_FILES: every entry in
  // the order the system gives them ("." and ".." included where the
  // directory has them). The error is the last error of the call that
  // failed otherwise.
  virtual OsResult<std::vector<FILE_ID_EXTD_DIR_INFO>>
  get_file_id_extd_directory_info(Handle directory) = 0;
  // DeleteFileW and RemoveDirectoryW.
  virtual OsResult<void> delete_file(std::u16string_view path) = 0;
  virtual OsResult<void> remove_directory(std::u16string_view path) = 0;
  // BCryptGenRandom with the system-preferred generator (bcrypt.dll loaded
  // from the system directory). The error is the returned status.
  virtual OsResult<void> bcrypt_gen_random(std::span<std::uint8_t> buffer) = 0;
  // RtlGetVersion of ntdll: the version as it is, whatever the manifest says.
  virtual OsResult<OSVERSIONINFO> rtl_get_version() = 0;
  // CreatePipe whose write end is inheritable and read end is not.
  virtual OsResult<Pipe> create_pipe() = 0;
  // CreateProcessW inheriting handles, with a STARTUPINFOW that sets
  // STARTF_USESTDHANDLES: no standard input, `output` as standard output
  // and standard error; this process's environment and current directory.
  virtual OsResult<PROCESS_INFORMATION> create_process_with_output(std::u16string_view application,
                                                                   std::u16string& command_line,
                                                                   Handle output) = 0;
  // ReadFile until the end of the file or of the pipe (ERROR_BROKEN_PIPE):
  // every byte read.
  virtual OsResult<std::string> read_file_to_end(Handle file) = 0;
};

} // namespace obrex
