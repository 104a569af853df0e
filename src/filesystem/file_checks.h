// What the file-system steps ask of a path before they change it: whether
// its file information can be read (the existence test), and one part of its
// security descriptor as SDDL text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "platform/file_metadata.h"
#include "platform/os.h"

namespace obrex {

// The form in which the existence test hands a path to the system. A path of
// 248 UTF-16 units or more (with its NUL), or one that is neither
// drive-absolute (a letter, ':' and a separator) nor begins with two
// separators, is made absolute with GetFullPathNameW and given the prefix
// "\\?\" (or "\\?\UNC\" for a share); a path that begins with "\\?\" or
// "\??\" is used unchanged. Fails with ERROR_INVALID_NAME for a path holding a NUL, or
// with the code of GetFullPathNameW.
OsResult<std::u16string> existence_test_path(Os& os, std::u16string_view path);

// The existence test: the path's attributes and reparse tag when its file
// information can be read (links followed), nothing otherwise. A refused
// open (5, 32) falls back to the directory entry; an open that the system
// cannot follow (1920) is repeated on the link itself. A name-surrogate
// reparse point reached by either fallback fails. Failures are never
// reported: the caller skips the path.
std::optional<FileMetadata> existence_test(Os& os, std::u16string_view path);

// The path's own metadata, links not followed, so that a junction or a
// symbolic link shows as the reparse point it is. The path goes to the
// system in the existence test's form; an open that is refused (5, 32) falls
// back to the directory entry, which is not followed either. Nothing when
// neither can be read.
std::optional<FileMetadata> entry_metadata(Os& os, std::u16string_view path);

// One part of the path's security descriptor (DACL_SECURITY_INFORMATION or
// LABEL_SECURITY_INFORMATION) as SDDL text. Fails with "cannot read the
// security of {path}" and the returned status, or "cannot format the
// security of {path}" and the last error.
Result<std::string> read_security_text(Os& os, std::string_view path, std::uint32_t part);

} // namespace obrex
