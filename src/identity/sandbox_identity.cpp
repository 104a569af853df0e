#include "identity/sandbox_identity.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "identity/security_conversions.h"
#include "platform/constants.h"
#include "platform/text.h"

namespace obrex {
namespace {

// --- path components ----------------------------------------------------------

enum class PrefixKind { Disk, Unc, Device, Verbatim, VerbatimUnc, VerbatimDisk };
enum class ComponentKind { Prefix, Root, CurrentDir, ParentDir, Normal };

struct Component {
  ComponentKind kind;
  PrefixKind prefix = PrefixKind::Disk; // for kind Prefix only
  std::string
      text; // Prefix: the drive letter in upper case, or the prefix's names; Normal: the name
  friend bool operator==(const Component&, const Component&) = default;
};

constexpr std::string_view kVerbatimPrefix = "\\\\?\\";

bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

class PathSplitter {
public:
  explicit PathSplitter(std::string_view path)
      : verbatim_(path.starts_with(kVerbatimPrefix)), rest_(path) {}

  std::vector<Component> components() {
    std::vector<Component> result;
    const std::optional<Component> prefix = take_prefix();
    if (prefix) {
      result.push_back(*prefix);
    }
    const bool physical_root = !rest_.empty() && is_separator(rest_.front());
    // A UNC share or a device is rooted even without a separator after it.
    const bool implicit_root =
        prefix && (prefix->prefix == PrefixKind::Unc || prefix->prefix == PrefixKind::Device);
    if (physical_root || implicit_root) {
      result.push_back(Component{ComponentKind::Root, PrefixKind::Disk, {}});
    }
    // Every prefix but a bare drive implies a root for the "." rule.
    const bool rooted = physical_root || (prefix && prefix->prefix != PrefixKind::Disk);
    if (physical_root) {
      rest_.remove_prefix(1);
    }
    for (bool first = true; !rest_.empty() || first; first = false) {
      const std::string_view name = take_name();
      if (!rest_.empty()) {
        rest_.remove_prefix(1); // the separator
      }
      if (name.empty()) {
        continue;
      }
      if (name == ".") {
        if (verbatim_ || (first && !rooted)) {
          result.push_back(Component{ComponentKind::CurrentDir, PrefixKind::Disk, {}});
        }
      } else if (name == "..") {
        result.push_back(Component{ComponentKind::ParentDir, PrefixKind::Disk, {}});
      } else {
        result.push_back(Component{ComponentKind::Normal, PrefixKind::Disk, std::string(name)});
      }
    }
    return result;
  }

private:
  bool is_separator(char c) const { return c == '\\' || (!verbatim_ && c == '/'); }

  // The text up to the next separator, which stays in `rest_`.
  std::string_view take_name() {
    std::size_t end = 0;
    while (end < rest_.size() && !is_separator(rest_[end])) {
      ++end;
    }
    const std::string_view name = rest_.substr(0, end);
    rest_.remove_prefix(end);
    return name;
  }

  // After a server name: a separator and a non-empty share name, both taken.
  std::string take_share() {
    if (rest_.size() < 2 || !is_separator(rest_[0]) || is_separator(rest_[1])) {
      return {};
    }
    rest_.remove_prefix(1);
    return std::string(take_name());
  }

  static Component prefix_component(PrefixKind kind, std::string text) {
    return Component{ComponentKind::Prefix, kind, std::move(text)};
  }

  std::optional<Component> take_prefix() {
    if (verbatim_) {
      rest_.remove_prefix(kVerbatimPrefix.size());
      if (rest_.starts_with("UNC\\")) {
        rest_.remove_prefix(4);
        std::string names(take_name());
        names += '\\';
        names += take_share();
        return prefix_component(PrefixKind::VerbatimUnc, std::move(names));
      }
      if (rest_.size() >= 2 && is_ascii_letter(rest_[0]) && rest_[1] == ':' &&
          (rest_.size() == 2 || rest_[2] == '\\')) {
        const char letter = ascii_upper(rest_[0]);
        rest_.remove_prefix(2);
        return prefix_component(PrefixKind::VerbatimDisk, std::string(1, letter));
      }
      return prefix_component(PrefixKind::Verbatim, std::string(take_name()));
    }
    if (rest_.size() >= 2 && is_separator(rest_[0]) && is_separator(rest_[1])) {
      const std::string_view after = rest_.substr(2);
      if (after.size() >= 2 && after[0] == '.' && is_separator(after[1])) {
        rest_.remove_prefix(4);
        return prefix_component(PrefixKind::Device, std::string(take_name()));
      }
      const std::string_view saved = rest_;
      rest_.remove_prefix(2);
      std::string names(take_name());
      const std::string share = take_share();
      if (!names.empty() && !share.empty()) {
        names += '\\';
        names += share;
        return prefix_component(PrefixKind::Unc, std::move(names));
      }
      rest_ = saved; // not a share: a rooted path with empty components
      return std::nullopt;
    }
    if (rest_.size() >= 2 && is_ascii_letter(rest_[0]) && rest_[1] == ':') {
      const char letter = ascii_upper(rest_[0]);
      rest_.remove_prefix(2);
      return prefix_component(PrefixKind::Disk, std::string(1, letter));
    }
    return std::nullopt;
  }

  bool verbatim_;
  std::string_view rest_;
};

// --- file identity ------------------------------------------------------------

constexpr char kHexDigits[] = "0123456789abcdef";

} // namespace

bool paths_equal(std::string_view a, std::string_view b) {
  // Equal texts have the same verbatim prefix, or none, so they split alike.
  if (a == b) {
    return true;
  }
  return PathSplitter(a).components() == PathSplitter(b).components();
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
                     win::OPEN_EXISTING, win::FILE_FLAG_BACKUP_SEMANTICS);
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
