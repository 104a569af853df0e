// The walk of obrex-sandbox-acl over the paths it is given and, with
// --recurse, everything below them, by handle: each object is opened once,
// without following links, checked against what its directory listed, and
// read and written through that handle, so that a name swapped for a link
// between the listing and the open is caught, not followed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "acl/acl_commands.h"
#include "platform/os.h"

namespace obrex {

// An object the walk has opened: its path as handed to the system and as
// written in lines and messages, and the handle the command reads and
// writes its security through.
struct Target {
  std::u16string units;
  std::string display;
  Handle handle;
};

// What a command asks of the walk: the rights its handles need (READ_CONTROL
// to read, WRITE_DAC and WRITE_OWNER to write the DACL and the label), and
// what a path that changed during the walk is said not to be ("edited",
// "shown").
struct WalkRequest {
  bool recurse = false;
  std::uint32_t access = 0;
  std::string_view undone;
};

// Calls visit(target, true) for `given` and, with `recurse`, visit(target,
// false) for everything below it, each directory before what it holds.
//
// Every object is opened with the request's rights (and FILE_READ_ATTRIBUTES,
// and FILE_LIST_DIRECTORY for a directory to list), every share mode,
// FILE_FLAG_OPEN_REPARSE_POINT and, for directories, backup semantics. A
// given path that cannot be opened, or whose attributes cannot be read, is
// refused with the system's error; one that is itself a link or junction is
// refused (neither it nor what it leads to is read or written).
//
// Below the given path, directories are listed through their handles
// (FileIdExtdDirectoryInfo), which stay open while what they hold is
// visited, and every name is reached in the \\?\ form and kept in UTF-16.
// A listed link or junction is not opened: it is reported on standard
// output as "{path}\tnot followed\t{junction|symbolic link|reparse tag}".
// Each opened object must be the one listed: same volume serial number and
// 128-bit file ID, still no link, still a directory or still a file;
// otherwise, or when the name is gone, "{path} changed during the walk; not
// {undone}" is reported as a failure and nothing below it is visited.
void for_each_path(Os& os, AclOutput& out, const std::string& given, const WalkRequest& request,
                   const std::function<void(const Target&, bool)>& visit);

} // namespace obrex
