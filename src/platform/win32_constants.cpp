// The values that constants.h restates, compared with <windows.h> at
// compile time. The portable steps and the simulated system both use
// constants.h, so no test could catch a wrong value there; this file can.
// It copies the values under other names before <windows.h> is included,
// since the header's macros carry the same names.
#include "platform/constants.h"

#include <cstdint>

// IO_REPARSE_TAG_NAME_SURROGATE_BIT has no name in <windows.h> (its
// IsReparseTagNameSurrogate macro tests the bit); it is checked below through
// that macro instead.
#define OBREX_WINDOWS_CONSTANTS(X)                                                                 \
  X(STD_INPUT_HANDLE)                                                                              \
  X(STD_OUTPUT_HANDLE)                                                                             \
  X(STD_ERROR_HANDLE)                                                                              \
  X(CP_UTF8)                                                                                       \
  X(FORMAT_MESSAGE_IGNORE_INSERTS)                                                                 \
  X(FORMAT_MESSAGE_FROM_HMODULE)                                                                   \
  X(FORMAT_MESSAGE_FROM_SYSTEM)                                                                    \
  X(ERROR_FILE_NOT_FOUND)                                                                          \
  X(ERROR_PATH_NOT_FOUND)                                                                          \
  X(ERROR_ACCESS_DENIED)                                                                           \
  X(ERROR_INVALID_DRIVE)                                                                           \
  X(ERROR_SHARING_VIOLATION)                                                                       \
  X(ERROR_BAD_NETPATH)                                                                             \
  X(ERROR_BAD_NET_NAME)                                                                            \
  X(ERROR_FILE_EXISTS)                                                                             \
  X(ERROR_INVALID_PARAMETER)                                                                       \
  X(ERROR_INSUFFICIENT_BUFFER)                                                                     \
  X(ERROR_INVALID_NAME)                                                                            \
  X(ERROR_BAD_PATHNAME)                                                                            \
  X(ERROR_ALREADY_EXISTS)                                                                          \
  X(ERROR_IO_PENDING)                                                                              \
  X(ERROR_INVALID_SID)                                                                             \
  X(ERROR_CANT_ACCESS_FILE)                                                                        \
  X(FILE_READ_ATTRIBUTES)                                                                          \
  X(FILE_LIST_DIRECTORY)                                                                           \
  X(READ_CONTROL)                                                                                  \
  X(WRITE_DAC)                                                                                     \
  X(WRITE_OWNER)                                                                                   \
  X(FILE_SHARE_READ)                                                                               \
  X(FILE_SHARE_WRITE)                                                                              \
  X(FILE_SHARE_DELETE)                                                                             \
  X(OPEN_EXISTING)                                                                                 \
  X(OPEN_ALWAYS)                                                                                   \
  X(GENERIC_READ)                                                                                  \
  X(FILE_FLAG_OVERLAPPED)                                                                          \
  X(LOCKFILE_EXCLUSIVE_LOCK)                                                                       \
  X(FILE_FLAG_BACKUP_SEMANTICS)                                                                    \
  X(FILE_FLAG_OPEN_REPARSE_POINT)                                                                  \
  X(FILE_ATTRIBUTE_DIRECTORY)                                                                      \
  X(FILE_ATTRIBUTE_REPARSE_POINT)                                                                  \
  X(IO_REPARSE_TAG_MOUNT_POINT)                                                                    \
  X(IO_REPARSE_TAG_SYMLINK)                                                                        \
  X(IO_REPARSE_TAG_APPEXECLINK)                                                                    \
  X(SDDL_REVISION_1)                                                                               \
  X(SE_FILE_OBJECT)                                                                                \
  X(DACL_SECURITY_INFORMATION)                                                                     \
  X(LABEL_SECURITY_INFORMATION)                                                                    \
  X(FILE_ALL_ACCESS)                                                                               \
  X(GRANT_ACCESS)                                                                                  \
  X(SUB_CONTAINERS_AND_OBJECTS_INHERIT)                                                            \
  X(NO_MULTIPLE_TRUSTEE)                                                                           \
  X(TRUSTEE_IS_SID)                                                                                \
  X(TRUSTEE_IS_UNKNOWN)                                                                            \
  X(PROTECTED_DACL_SECURITY_INFORMATION)                                                           \
  X(UNPROTECTED_DACL_SECURITY_INFORMATION)                                                         \
  X(SE_DACL_PROTECTED)                                                                             \
  X(SE_SACL_PROTECTED)                                                                             \
  X(ACCESS_ALLOWED_ACE_TYPE)                                                                       \
  X(ACCESS_DENIED_ACE_TYPE)                                                                        \
  X(ACCESS_ALLOWED_OBJECT_ACE_TYPE)                                                                \
  X(ACCESS_DENIED_OBJECT_ACE_TYPE)                                                                 \
  X(ACCESS_ALLOWED_CALLBACK_ACE_TYPE)                                                              \
  X(ACCESS_DENIED_CALLBACK_ACE_TYPE)                                                               \
  X(ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE)                                                       \
  X(ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE)                                                        \
  X(SYSTEM_MANDATORY_LABEL_ACE_TYPE)                                                               \
  X(OBJECT_INHERIT_ACE)                                                                            \
  X(CONTAINER_INHERIT_ACE)                                                                         \
  X(NO_PROPAGATE_INHERIT_ACE)                                                                      \
  X(INHERIT_ONLY_ACE)                                                                              \
  X(INHERITED_ACE)                                                                                 \
  X(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP)                                                            \
  X(SYSTEM_MANDATORY_LABEL_NO_READ_UP)                                                             \
  X(SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP)                                                          \
  X(TOKEN_ASSIGN_PRIMARY)                                                                          \
  X(TOKEN_DUPLICATE)                                                                               \
  X(TOKEN_QUERY)                                                                                   \
  X(TOKEN_ADJUST_DEFAULT)                                                                          \
  X(TokenUser)                                                                                     \
  X(TokenGroups)                                                                                   \
  X(TokenDefaultDacl)                                                                              \
  X(TokenIntegrityLevel)                                                                           \
  X(SE_GROUP_LOGON_ID)                                                                             \
  X(SE_GROUP_INTEGRITY)                                                                            \
  X(DISABLE_MAX_PRIVILEGE)                                                                         \
  X(WRITE_RESTRICTED)                                                                              \
  X(JobObjectBasicUIRestrictions)                                                                  \
  X(JobObjectExtendedLimitInformation)                                                             \
  X(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE)                                                            \
  X(CREATE_BREAKAWAY_FROM_JOB)                                                                     \
  X(CREATE_UNICODE_ENVIRONMENT)                                                                    \
  X(DETACHED_PROCESS)                                                                              \
  X(STATUS_CONTROL_C_EXIT)                                                                         \
  X(JOB_OBJECT_UILIMIT_ALL)                                                                        \
  X(STARTF_USESTDHANDLES)                                                                          \
  X(SEM_FAILCRITICALERRORS)                                                                        \
  X(SEM_NOGPFAULTERRORBOX)                                                                         \
  X(CREATE_SUSPENDED)                                                                              \
  X(INFINITE)                                                                                      \
  X(WAIT_OBJECT_0)                                                                                 \
  X(WAIT_TIMEOUT)                                                                                  \
  X(CREATE_NEW)                                                                                    \
  X(GENERIC_WRITE)                                                                                 \
  X(TokenElevation)

namespace {
#define OBREX_COPY(name) constexpr std::uint32_t copied_##name = obrex::win::name;
OBREX_WINDOWS_CONSTANTS(OBREX_COPY)
#undef OBREX_COPY
constexpr std::uint32_t copied_name_surrogate_bit = obrex::win::IO_REPARSE_TAG_NAME_SURROGATE_BIT;
} // namespace

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#define OBREX_CHECK(name)                                                                          \
  static_assert(copied_##name == static_cast<std::uint32_t>(name), #name " differs from Windows");
OBREX_WINDOWS_CONSTANTS(OBREX_CHECK)
#undef OBREX_CHECK
static_assert(IsReparseTagNameSurrogate(copied_name_surrogate_bit) &&
              !IsReparseTagNameSurrogate(~copied_name_surrogate_bit));
