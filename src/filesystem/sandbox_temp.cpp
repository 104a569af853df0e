#include "filesystem/sandbox_temp.h"

#include <algorithm>
#include <array>
#include <vector>

#include "filesystem/file_checks.h"
#include "platform/constants.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace obrex {
namespace {

constexpr std::array<std::u16string_view, 5> kTempComponents = {u"AppData", u"LocalLow", u"Tornel",
                                                                u"Obrex", u"sandbox-temp"};

bool is_not_found(OsCode code) {
  return code == win::ERROR_FILE_NOT_FOUND || code == win::ERROR_PATH_NOT_FOUND ||
         code == win::ERROR_INVALID_DRIVE || code == win::ERROR_BAD_NETPATH ||
         code == win::ERROR_BAD_NET_NAME;
}

bool is_already_exists(OsCode code) {
  return code == win::ERROR_FILE_EXISTS || code == win::ERROR_ALREADY_EXISTS;
}

// An existing directory that is not a link or junction to one: read without
// following links, since a followed link shows only its target.
bool is_existing_directory(Os& os, std::u16string_view path) {
  const auto metadata = entry_metadata(os, path);
  return metadata && metadata->is_directory() && !metadata->is_name_surrogate();
}

OsResult<void> create_directory(Os& os, std::u16string_view path) {
  const auto prepared = existence_test_path(os, path);
  if (!prepared) {
    return std::unexpected(prepared.error());
  }
  return os.create_directory(*prepared);
}

std::u16string join_sandbox_temp(std::u16string profile) {
  for (const std::u16string_view component : kTempComponents) {
    if (!profile.ends_with(u'\\')) {
      profile += u'\\';
    }
    profile += component;
  }
  return profile;
}

char16_t upper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - (u'a' - u'A')) : c;
}

// The name of an entry "name=value": up to the first "=" after its first
// unit (the entries that keep the current directory of a drive start with
// one), in upper case.
std::u16string upper_name(std::u16string_view entry) {
  std::u16string name(entry.substr(0, std::min(entry.find(u'=', 1), entry.size())));
  std::ranges::transform(name, name.begin(), upper);
  return name;
}

} // namespace

std::optional<std::u16string> parent_path(std::u16string_view path) {
  // The walk stops at the prefix and its root separator: a root, a bare
  // prefix and the empty path have no parent.
  const WindowsPath shape = split_windows_path(path);
  if (shape.components.empty()) {
    return std::nullopt;
  }
  std::size_t cut = static_cast<std::size_t>(shape.components.back().data() - path.data());
  while (cut > shape.root_length() && shape.separates(path[cut - 1])) {
    --cut;
  }
  return std::u16string(path.substr(0, cut));
}

Result<void> create_directory_tree(Os& os, std::u16string_view path) {
  const auto failure = [&](OsCode code) {
    return std::unexpected(
        SandboxError::from_os_error(os, "cannot create " + display_text(path), code));
  };
  if (path.empty() || !parent_path(path)) {
    return {};
  }

  // Upwards until a level is created or found to exist.
  std::vector<std::u16string> missing;
  std::u16string current(path);
  for (auto parent = parent_path(current); !current.empty() && parent;
       parent = parent_path(current)) {
    const auto created = create_directory(os, current);
    if (created) {
      break;
    }
    if (is_not_found(created.error())) {
      missing.push_back(std::move(current));
      current = std::move(*parent);
      continue;
    }
    if (is_already_exists(created.error()) && is_existing_directory(os, current)) {
      break;
    }
    return failure(created.error());
  }

  // Then the missing levels, the topmost first.
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    const auto created = create_directory(os, *level);
    if (!created && !(is_already_exists(created.error()) && is_existing_directory(os, *level))) {
      return failure(created.error());
    }
  }
  return {};
}

Result<std::optional<std::u16string>>
prepare_sandbox_temp(Os& os, const OsResult<std::u16string>& profile) {
  if (!profile) {
    return std::optional<std::u16string>();
  }
  std::u16string directory = join_sandbox_temp(*profile);
  if (auto created = create_directory_tree(os, directory); !created) {
    return std::unexpected(created.error());
  }
  return std::optional<std::u16string>(std::move(directory));
}

std::u16string environment_with_temp(std::u16string_view entries, std::u16string_view directory) {
  std::vector<std::u16string> kept;
  for (std::size_t at = 0; at < entries.size();) {
    const std::size_t end = std::min(entries.find(u'\0', at), entries.size());
    const std::u16string_view entry = entries.substr(at, end - at);
    if (const std::u16string name = upper_name(entry);
        !entry.empty() && name != u"TEMP" && name != u"TMP") {
      kept.emplace_back(entry);
    }
    at = end + 1;
  }
  kept.push_back(u"TEMP=" + std::u16string(directory));
  kept.push_back(u"TMP=" + std::u16string(directory));
  std::ranges::stable_sort(kept, {}, upper_name);
  std::u16string block;
  for (const std::u16string& entry : kept) {
    block += entry;
    block += u'\0';
  }
  block += u'\0';
  return block;
}

std::optional<std::u16string> sandbox_environment(Os& os,
                                                  const std::optional<std::u16string>& directory) {
  if (!directory) {
    return std::nullopt;
  }
  const auto entries = os.get_environment_strings();
  if (!entries) {
    throw InternalFailure(std::string(kProgramName) + ": failed to read the environment block");
  }
  return environment_with_temp(*entries, *directory);
}

} // namespace obrex
