// The numeric values of the Windows constants the steps pass through `Os`.
// Kept apart from <windows.h>, whose macros carry the same names: this header
// is for the portable step code only.
#pragma once

#include <cstdint>

namespace obrex::win {

// Standard handles (the DWORD values of the negative constants).
inline constexpr std::uint32_t STD_INPUT_HANDLE = static_cast<std::uint32_t>(-10);
inline constexpr std::uint32_t STD_OUTPUT_HANDLE = static_cast<std::uint32_t>(-11);
inline constexpr std::uint32_t STD_ERROR_HANDLE = static_cast<std::uint32_t>(-12);
inline constexpr std::uint32_t CP_UTF8 = 65001;

// FormatMessageW.
inline constexpr std::uint32_t FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
inline constexpr std::uint32_t FORMAT_MESSAGE_FROM_HMODULE = 0x800;
inline constexpr std::uint32_t FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

// Error codes.
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_DRIVE = 15;
inline constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr std::uint32_t ERROR_BAD_NETPATH = 53;
inline constexpr std::uint32_t ERROR_BAD_NET_NAME = 67;
inline constexpr std::uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_INVALID_NAME = 123;
inline constexpr std::uint32_t ERROR_BAD_PATHNAME = 161;
inline constexpr std::uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr std::uint32_t ERROR_IO_PENDING = 997;
inline constexpr std::uint32_t ERROR_INVALID_SID = 1337;
inline constexpr std::uint32_t ERROR_CANT_ACCESS_FILE = 1920;

// Files.
inline constexpr std::uint32_t FILE_READ_ATTRIBUTES = 0x80;
inline constexpr std::uint32_t FILE_LIST_DIRECTORY = 0x1;
inline constexpr std::uint32_t READ_CONTROL = 0x20000;
inline constexpr std::uint32_t WRITE_DAC = 0x40000;
inline constexpr std::uint32_t WRITE_OWNER = 0x80000;
inline constexpr std::uint32_t FILE_SHARE_READ = 0x1;
inline constexpr std::uint32_t FILE_SHARE_WRITE = 0x2;
inline constexpr std::uint32_t FILE_SHARE_DELETE = 0x4;
inline constexpr std::uint32_t OPEN_EXISTING = 3;
inline constexpr std::uint32_t OPEN_ALWAYS = 4;
inline constexpr std::uint32_t GENERIC_READ = 0x80000000;
inline constexpr std::uint32_t FILE_FLAG_OVERLAPPED = 0x40000000;
inline constexpr std::uint32_t LOCKFILE_EXCLUSIVE_LOCK = 0x2;
inline constexpr std::uint32_t FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
inline constexpr std::uint32_t FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;
inline constexpr std::uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr std::uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
inline constexpr std::uint32_t IO_REPARSE_TAG_NAME_SURROGATE_BIT = 0x20000000;
inline constexpr std::uint32_t IO_REPARSE_TAG_MOUNT_POINT = 0xA0000003;
inline constexpr std::uint32_t IO_REPARSE_TAG_SYMLINK = 0xA000000C;
inline constexpr std::uint32_t IO_REPARSE_TAG_APPEXECLINK = 0x8000001B;

// Security.
inline constexpr std::uint32_t SDDL_REVISION_1 = 1;
inline constexpr std::uint32_t SE_FILE_OBJECT = 1;
inline constexpr std::uint32_t DACL_SECURITY_INFORMATION = 0x4;
inline constexpr std::uint32_t LABEL_SECURITY_INFORMATION = 0x10;
inline constexpr std::uint32_t FILE_ALL_ACCESS = 0x1F01FF;
inline constexpr std::uint32_t GRANT_ACCESS = 1;
inline constexpr std::uint32_t SUB_CONTAINERS_AND_OBJECTS_INHERIT = 3;
inline constexpr std::uint32_t NO_MULTIPLE_TRUSTEE = 0;
inline constexpr std::uint32_t TRUSTEE_IS_SID = 0;
inline constexpr std::uint32_t TRUSTEE_IS_UNKNOWN = 0;
inline constexpr std::uint32_t PROTECTED_DACL_SECURITY_INFORMATION = 0x80000000;
inline constexpr std::uint32_t UNPROTECTED_DACL_SECURITY_INFORMATION = 0x20000000;
inline constexpr std::uint32_t SE_DACL_PROTECTED = 0x1000;
inline constexpr std::uint32_t SE_SACL_PROTECTED = 0x2000;
inline constexpr std::uint32_t ACCESS_ALLOWED_ACE_TYPE = 0x0;
inline constexpr std::uint32_t ACCESS_DENIED_ACE_TYPE = 0x1;
inline constexpr std::uint32_t ACCESS_ALLOWED_OBJECT_ACE_TYPE = 0x5;
inline constexpr std::uint32_t ACCESS_DENIED_OBJECT_ACE_TYPE = 0x6;
inline constexpr std::uint32_t ACCESS_ALLOWED_CALLBACK_ACE_TYPE = 0x9;
inline constexpr std::uint32_t ACCESS_DENIED_CALLBACK_ACE_TYPE = 0xA;
inline constexpr std::uint32_t ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE = 0xB;
inline constexpr std::uint32_t ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE = 0xC;
inline constexpr std::uint32_t SYSTEM_MANDATORY_LABEL_ACE_TYPE = 0x11;
inline constexpr std::uint32_t OBJECT_INHERIT_ACE = 0x1;
inline constexpr std::uint32_t CONTAINER_INHERIT_ACE = 0x2;
inline constexpr std::uint32_t NO_PROPAGATE_INHERIT_ACE = 0x4;
inline constexpr std::uint32_t INHERIT_ONLY_ACE = 0x8;
inline constexpr std::uint32_t INHERITED_ACE = 0x10;
inline constexpr std::uint32_t SYSTEM_MANDATORY_LABEL_NO_WRITE_UP = 0x1;
inline constexpr std::uint32_t SYSTEM_MANDATORY_LABEL_NO_READ_UP = 0x2;
inline constexpr std::uint32_t SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP = 0x4;

// Tokens.
inline constexpr std::uint32_t TOKEN_ASSIGN_PRIMARY = 0x1;
inline constexpr std::uint32_t TOKEN_DUPLICATE = 0x2;
inline constexpr std::uint32_t TOKEN_QUERY = 0x8;
inline constexpr std::uint32_t TOKEN_ADJUST_DEFAULT = 0x80;
inline constexpr std::uint32_t TokenUser = 1;
inline constexpr std::uint32_t TokenGroups = 2;
inline constexpr std::uint32_t TokenDefaultDacl = 6;
inline constexpr std::uint32_t TokenIntegrityLevel = 25;
inline constexpr std::uint32_t SE_GROUP_LOGON_ID = 0xC0000000;
inline constexpr std::uint32_t SE_GROUP_INTEGRITY = 0x20;
inline constexpr std::uint32_t DISABLE_MAX_PRIVILEGE = 0x1;
inline constexpr std::uint32_t WRITE_RESTRICTED = 0x8;

// Jobs and processes.
inline constexpr std::uint32_t JobObjectBasicUIRestrictions = 4;
inline constexpr std::uint32_t JobObjectExtendedLimitInformation = 9;
inline constexpr std::uint32_t JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x2000;
inline constexpr std::uint32_t CREATE_BREAKAWAY_FROM_JOB = 0x01000000;
inline constexpr std::uint32_t CREATE_UNICODE_ENVIRONMENT = 0x400;
inline constexpr std::uint32_t DETACHED_PROCESS = 0x8;
inline constexpr std::uint32_t STATUS_CONTROL_C_EXIT = 0xC000013A;
inline constexpr std::uint32_t JOB_OBJECT_UILIMIT_ALL = 0xFF;
inline constexpr std::uint32_t STARTF_USESTDHANDLES = 0x100;
inline constexpr std::uint32_t SEM_FAILCRITICALERRORS = 0x1;
inline constexpr std::uint32_t SEM_NOGPFAULTERRORBOX = 0x2;
inline constexpr std::uint32_t CREATE_SUSPENDED = 0x4;
inline constexpr std::uint32_t INFINITE = 0xFFFFFFFF;
inline constexpr std::uint32_t WAIT_OBJECT_0 = 0;
inline constexpr std::uint32_t WAIT_TIMEOUT = 0x102;
inline constexpr std::uint32_t CREATE_NEW = 1;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000;
inline constexpr std::uint32_t TokenElevation = 20;

} // namespace obrex::win
