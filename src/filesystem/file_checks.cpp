#include "filesystem/file_checks.h"

#include "platform/constants.h"
#include "platform/owner.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace obrex {
namespace {

// Paths this long, counted with their NUL, need the extended-length prefix.
constexpr std::size_t kLongPathUnits = 248;

// The path's entry in its directory (FindFirstFileExW): its attributes and,
// for a reparse point, its tag; never followed.
std::optional<FileMetadata> directory_entry(Os& os, std::u16string_view prepared) {
  const auto entry = os.find_first_file_ex(prepared);
  if (!entry) {
    return std::nullopt;
  }
  FileMetadata metadata{entry->dwFileAttributes, 0};
  if ((metadata.attributes & win::FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    metadata.reparse_tag = entry->dwReserved0;
  }
  return metadata;
}

bool is_refused_open(const MetadataFailure& failure) {
  return failure.open_failed &&
         (failure.code == win::ERROR_ACCESS_DENIED || failure.code == win::ERROR_SHARING_VIOLATION);
}

} // namespace

OsResult<std::u16string> existence_test_path(Os& os, std::u16string_view path) {
  if (path.find(u'\0') != std::u16string_view::npos) {
    return std::unexpected(win::ERROR_INVALID_NAME);
  }
  // "\\?\" and "\??\" turn the system's parsing off: such a path is used as
  // it stands.
  const WindowsPath shape = split_windows_path(path);
  if (shape.is_verbatim()) {
    return std::u16string(path);
  }
  // A short path that is drive-absolute or begins with two separators (a
  // share or a device) goes to the system as written; unlike the PATH
  // search, a drive-relative or rooted path counts as relative here.
  if (path.size() + 1 < kLongPathUnits &&
      (shape.kind == PathPrefix::DriveAbsolute || shape.kind == PathPrefix::Unc ||
       shape.kind == PathPrefix::Device)) {
    return std::u16string(path);
  }
  auto full = os.get_full_path_name(path);
  if (!full) {
    return std::unexpected(full.error());
  }
  // A full path to a device, or already verbatim, takes no further prefix.
  const PathPrefix kind = split_windows_path(*full).kind;
  if (kind == PathPrefix::Device || kind == PathPrefix::Verbatim ||
      kind == PathPrefix::VerbatimUnc || kind == PathPrefix::Nt) {
    return full;
  }
  if (kind == PathPrefix::Unc) {
    return u"\\\\?\\UNC\\" + full->substr(2);
  }
  return u"\\\\?\\" + *full;
}

std::optional<FileMetadata> existence_test(Os& os, std::u16string_view path) {
  const auto prepared = existence_test_path(os, path);
  if (!prepared) {
    return std::nullopt;
  }
  const auto followed = read_file_metadata(os, *prepared, true);
  if (followed) {
    return *followed;
  }
  // The fallbacks stand in for an open that the system refused; a path that
  // opened but whose metadata could not be read fails the test.
  if (!followed.error().open_failed) {
    return std::nullopt;
  }
  // A refused open falls back to the directory entry; an open that the
  // system cannot follow (1920) is repeated on the link itself. Either way
  // a name-surrogate reparse point fails.
  std::optional<FileMetadata> found;
  if (is_refused_open(followed.error())) {
    found = directory_entry(os, *prepared);
  } else if (followed.error().code == win::ERROR_CANT_ACCESS_FILE) {
    if (const auto link = read_file_metadata(os, *prepared, false)) {
      found = *link;
    }
  }
  if (!found || found->is_name_surrogate()) {
    return std::nullopt;
  }
  return found;
}

std::optional<FileMetadata> entry_metadata(Os& os, std::u16string_view path) {
  const auto prepared = existence_test_path(os, path);
  if (!prepared) {
    return std::nullopt;
  }
  const auto own = read_file_metadata(os, *prepared, false);
  if (own) {
    return *own;
  }
  return is_refused_open(own.error()) ? directory_entry(os, *prepared) : std::nullopt;
}

Result<std::string> read_security_text(Os& os, std::string_view path, std::uint32_t part) {
  const auto info = os.get_named_security_info(utf8_to_utf16(path), win::SE_FILE_OBJECT, part,
                                               /*want_dacl=*/false);
  if (!info) {
    return std::unexpected(SandboxError::from_status(
        os, "cannot read the security of " + std::string(path), info.error()));
  }
  const LocalMemory<SecurityDescriptorPtr> descriptor(os, info->descriptor);
  const auto text = os.convert_security_descriptor_to_string_security_descriptor(
      descriptor.get(), win::SDDL_REVISION_1, part);
  if (!text) {
    return std::unexpected(SandboxError::from_os_error(
        os, "cannot format the security of " + std::string(path), text.error()));
  }
  return utf16_to_utf8_lossy(*text);
}

} // namespace obrex
