// The per-user sandbox temporary directory,
// {profile}\AppData\LocalLow\Tornel\Obrex\sandbox-temp, shared by every
// sandbox of the user, and the TEMP and TMP that point the command at it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/errors.h"
#include "platform/os.h"

namespace obrex {

// The path without its last component. A root (C:\, \, \\server\share\), a
// bare prefix (C:, \\server\share) and the empty path have none; a single
// relative component has the empty path as parent.
std::optional<std::u16string> parent_path(std::u16string_view path);

// Makes sure the directory and every missing parent exist: walks up while
// CreateDirectoryW reports the parent missing, then creates the missing
// levels top down. A level that already exists as a directory (also one that
// a concurrent run created in between) is accepted. Every failure is "cannot
// create {path}" with the whole path and the failed call's code.
Result<void> create_directory_tree(Os& os, std::u16string_view path);

// The sandbox temporary directory in the profile folder `profile` (as the
// caller asked for it), created when missing; nothing (and no message) when
// the profile folder is not available.
Result<std::optional<std::u16string>> prepare_sandbox_temp(Os& os,
                                                           const OsResult<std::u16string>& profile);

// An environment block: the entries given (each ending in a NUL, as
// get_environment_strings gives them) without TEMP and TMP, whatever the case
// of their names, plus TEMP and TMP set to `directory`, sorted by name
// without regard to case as Windows expects (letters compared as upper
// case), each ending in a NUL, then one more NUL.
std::u16string environment_with_temp(std::u16string_view entries, std::u16string_view directory);

// The command's environment: with a directory, this process's environment
// with TEMP and TMP pointing at it; without one, nullopt (the command gets
// this process's environment as it is). This process's own environment is
// never changed. A block that cannot be read is an internal failure.
std::optional<std::u16string> sandbox_environment(Os& os,
                                                  const std::optional<std::u16string>& directory);

} // namespace obrex
