#include "acl/path_walk.h"

#include "core/errors.h"
#include "platform/constants.h"
#include "platform/windows_path.h"

namespace obrex {
namespace {

// A name below a directory. A full path may end in a separator already (a
// root always does), and the \\?\ form takes a second one for an empty name.
std::u16string joined(std::u16string_view directory, std::u16string_view name) {
  std::u16string path(directory);
  if (!path.ends_with(u'\\')) {
    path += u'\\';
  }
  return path.append(name);
}

Target child_of(const Target& directory, std::u16string_view name) {
  Target child = directory;
  child.units = joined(directory.units, name);
  if (!child.display.ends_with('\\') && !child.display.ends_with('/')) {
    child.display += '\\';
  }
  child.display += utf16_to_utf8_lossy(name);
  return child;
}

} // namespace

OsResult<std::u16string> verbatim_path(Os& os, std::u16string_view path) {
  if (split_windows_path(path).is_verbatim()) {
    return std::u16string(path);
  }
  auto full = os.get_full_path_name(path);
  if (!full) {
    return full;
  }
  switch (split_windows_path(*full).kind) {
  case PathPrefix::DriveAbsolute:
    return u"\\\\?\\" + *full;
  case PathPrefix::Unc:
    return u"\\\\?\\UNC\\" + full->substr(2);
  default:
    return full; // a device path, or verbatim already
  }
}

std::vector<Found> children(Os& os, AclOutput& out, const Target& directory) {
  std::vector<Found> found;
  const auto listed = os.find_files(joined(directory.units, u"*"));
  if (!listed) {
    if (listed.error() != win::ERROR_FILE_NOT_FOUND) {
      out.fail(SandboxError::from_os_error(os, "cannot list " + directory.display, listed.error())
                   .message);
    }
    return found;
  }
  for (const FoundFile& entry : *listed) {
    const FileMetadata metadata{entry.data.dwFileAttributes,
                                (entry.data.dwFileAttributes & win::FILE_ATTRIBUTE_REPARSE_POINT) !=
                                        0
                                    ? entry.data.dwReserved0
                                    : 0};
    if (entry.name == u"." || entry.name == u".." || metadata.is_name_surrogate()) {
      continue;
    }
    found.push_back({child_of(directory, entry.name), metadata.is_directory()});
  }
  return found;
}

} // namespace obrex
