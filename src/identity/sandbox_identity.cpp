#include "identity/sandbox_identity.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/security_conversions.h"
#include "platform/constants.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace obrex {
namespace {

// --- path equality -------------------------------------------------------------

// What equality compares of a path: its prefix kind, the prefix with '/' read
// as '\' and a drive letter in upper case, whether it is rooted, and the
// components that count.
struct ComparedPath {
  PathPrefix kind;
  std::string prefix;
  bool root;
  std::vector<std::string_view> components;
  friend bool operator==(const ComparedPath&, const ComparedPath&) = default;
};

// For equality only "\\?\" turns the system's parsing off, and a leading
// "\\" names a share only with a server and a share name, or a device only
// with a name after "\\.\". The lexer reads "\??\", a "\\" without a share
// and a bare "\\." as prefixes for its other uses; here they are a root
// separator followed by ordinary components.
bool compares_as_rooted(const BasicWindowsPath<char>& path) {
  if (path.kind == PathPrefix::Nt) {
    return true;
  }
  if (path.kind != PathPrefix::Unc && path.kind != PathPrefix::Device) {
    return false;
  }
  // The names after the two leading separators: server and share, or the
  // device's ("." or "?" then its name).
  const std::string_view names = path.prefix.substr(2);
  const std::size_t separator = names.find_first_of("\\/");
  return separator == std::string_view::npos || separator == 0 || separator + 1 == names.size();
}

ComparedPath compared(std::string_view text) {
  const BasicWindowsPath<char> path = split_windows_path(text);
  if (compares_as_rooted(path)) {
    // Every such text begins with a separator: a rooted path whose "."
    // components all drop out.
    ComparedPath result{PathPrefix::Rooted, {}, true, {}};
    for (std::size_t start = 0; start < text.size();) {
      std::size_t stop = start;
      while (stop < text.size() && !is_path_separator(text[stop])) {
        ++stop;
      }
      const std::string_view component = text.substr(start, stop - start);
      if (!component.empty() && component != ".") {
        result.components.push_back(component);
      }
      start = stop + 1;
    }
    return result;
  }
  ComparedPath result{path.kind, std::string(path.prefix), path.root, {}};
  // Equality ignores the case of a drive letter and, outside verbatim paths,
  // the kind of separator.
  std::size_t letter = std::string::npos;
  if (path.kind == PathPrefix::DriveRelative || path.kind == PathPrefix::DriveAbsolute) {
    letter = 0;
  } else if (path.kind == PathPrefix::Verbatim && path.prefix.size() == 6 &&
             path.prefix[5] == ':') {
    letter = 4; // \\?\C:
  }
  if (letter != std::string::npos && result.prefix[letter] >= 'a' && result.prefix[letter] <= 'z') {
    result.prefix[letter] = static_cast<char>(result.prefix[letter] - 'a' + 'A');
  }
  if (!path.is_verbatim()) {
    std::ranges::replace(result.prefix, '/', '\\');
  }
  // Unlike the parent walk, equality counts a share or a device as rooted
  // even without a separator after it; a verbatim prefix only with one.
  if (path.kind == PathPrefix::Unc || path.kind == PathPrefix::Device) {
    result.root = true;
  }
  // "." is dropped but as the first component of a path without root; in a
  // verbatim path every "." counts.
  const bool rooted = path.root || (path.has_prefix() && path.kind != PathPrefix::DriveRelative);
  for (std::size_t i = 0; i < path.components.size(); ++i) {
    const std::string_view component = path.components[i];
    if (component != "." || path.is_verbatim() || (i == 0 && !rooted)) {
      result.components.push_back(component);
    }
  }
  return result;
}

// --- file identity ------------------------------------------------------------

constexpr char kHexDigits[] = "0123456789abcdef";

} // namespace

bool paths_equal(std::string_view a, std::string_view b) {
  // Equal texts have the same verbatim prefix, or none, so they split alike.
  if (a == b) {
    return true;
  }
  return compared(a) == compared(b);
}

std::string_view choose_label(std::string_view project,
                              const std::vector<std::string>& read_only_dirs) {
  for (const std::string& entry : read_only_dirs) {
    if (paths_equal(project, entry)) {
      return kReadOnlyLabel;
    }
  }
  return kSandboxLabel;
}

std::string file_id_text(const FILE_ID_INFO& info) {
  std::string text;
  text.reserve(49);
  for (int shift = 60; shift >= 0; shift -= 4) {
    text += kHexDigits[(info.VolumeSerialNumber >> shift) & 0xF];
  }
  text += '-';
  for (const std::uint8_t byte : info.FileId) {
    text += kHexDigits[byte >> 4];
    text += kHexDigits[byte & 0xF];
  }
  return text;
}

std::string sid_text_from_digest(const Sha256Digest& digest) {
  std::string text = "S-1-5-21";
  for (std::size_t k = 0; k < 4; ++k) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;) {
      value = (value << 8) | digest[4 * k + i];
    }
    text += '-';
    text += std::to_string(value);
  }
  return text;
}

Result<SandboxIdentity> derive_sandbox_identity(Os& os, const std::string& project,
                                                const std::vector<std::string>& read_only_dirs) {
  const std::string_view label = choose_label(project, read_only_dirs);

  const std::u16string path = utf8_to_utf16(project);
  const auto opened =
      os.create_file(path, win::FILE_READ_ATTRIBUTES,
                     win::FILE_SHARE_READ | win::FILE_SHARE_WRITE | win::FILE_SHARE_DELETE,
                     win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS, SecurityDescriptorPtr{});
  if (!opened) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot open " + display_text(path), opened.error()));
  }
  UniqueHandle directory(os, *opened);
  const auto info = os.get_file_id_info(directory.get());
  directory.reset();
  if (!info) {
    return std::unexpected(SandboxError::from_os_error(
        os,
        "cannot read the file ID of " + display_text(path) + " (the sandbox needs NTFS or ReFS)",
        info.error()));
  }

  std::string seed(label);
  seed += file_id_text(*info);
  auto sid = sid_from_text(os, sid_text_from_digest(sha256(seed)));
  if (!sid) {
    return std::unexpected(std::move(sid.error()));
  }
  auto text = sid_to_text(os, sid->get());
  if (!text) {
    return std::unexpected(std::move(text.error())); // `sid` is released on the way out
  }
  return SandboxIdentity{std::move(*sid), std::move(*text)};
}

} // namespace obrex
