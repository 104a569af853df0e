#include "launch/command_resolution.h"

#include <algorithm>
#include <variant>

#include "platform/constants.h"
#include "platform/file_metadata.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace obrex {
namespace {

constexpr std::string_view kBatchRefusal =
    " is a batch file, which Windows runs through cmd.exe; give it as a cmd.exe command line "
    "instead";

// A drive alone, such as "C:": joined to a file name without a separator, it
// names the file in that drive's current directory.
bool is_bare_drive(std::u16string_view path) {
  const WindowsPath shape = split_windows_path(path);
  return shape.kind == PathPrefix::DriveRelative && shape.prefix.size() == path.size();
}

char16_t ascii_lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

bool equals_ignoring_ascii_case(std::u16string_view a, std::u16string_view b) {
  return std::ranges::equal(a, b, {}, ascii_lower, ascii_lower);
}

// PATHEXT as it is when set and valid Unicode, the default list otherwise.
std::u16string path_extensions(Os& os) {
  auto value = os.get_environment_variable(u"PATHEXT");
  if (value && utf16_to_utf8(*value)) {
    return std::move(*value);
  }
  return std::u16string(kDefaultPathExt);
}

// Answers of the attribute probe after which reading the metadata could
// only fail as well: no entry of that name, no such directory, drive or
// share, or a name the system cannot parse.
bool certainly_absent(OsCode code) {
  switch (code) {
  case win::ERROR_FILE_NOT_FOUND:
  case win::ERROR_PATH_NOT_FOUND:
  case win::ERROR_INVALID_DRIVE:
  case win::ERROR_BAD_NETPATH:
  case win::ERROR_BAD_NET_NAME:
  case win::ERROR_INVALID_NAME:
  case win::ERROR_BAD_PATHNAME:
    return true;
  default:
    return false;
  }
}

// An answer that the candidate's directory, share or drive may be missing.
// It proves nothing of the directory: an over-long candidate (long paths
// off) and a candidate that leaves its directory ("Q:x" after an empty
// entry) answer so too.
bool directory_missing(OsCode code) {
  return code == win::ERROR_PATH_NOT_FOUND || code == win::ERROR_INVALID_DRIVE ||
         code == win::ERROR_BAD_NETPATH || code == win::ERROR_BAD_NET_NAME;
}

// The PATH directory itself is missing: one attribute query of it, written
// with a trailing separator as the candidates join it (so that a last
// component ending in a blank keeps it), answers that nothing is there. An
// empty entry, the current directory, is never missing.
bool is_missing_directory(Os& os, std::u16string_view directory) {
  if (directory.empty()) {
    return false;
  }
  const auto probe = os.get_file_attributes(join_path(directory, u""));
  return !probe && (probe.error() == win::ERROR_FILE_NOT_FOUND || directory_missing(probe.error()));
}

// A candidate stays in the directory it is joined to unless it holds a
// separator, or is made of dots and blanks alone (the system reads "." and
// "..." as the directory itself and ".." as its parent).
bool stays_in_its_directory(std::u16string_view candidate) {
  return candidate.find_first_of(u"\\/") == std::u16string_view::npos &&
         candidate.find_first_not_of(u". ") != std::u16string_view::npos;
}

// What the search learns of one candidate.
enum class Candidate { File, Absent, DirectoryMissing };

// A candidate names a file when its metadata, links followed, shows neither
// a directory nor a link. An entry the system will not open through (an
// app-execution alias) is judged by its own metadata. Any failure to read
// means the candidate is absent.
//
// Most candidates do not exist: one attribute query settles those before the
// open and the reads. Any other answer of the query, a failure included,
// goes on to the full reading, so the query changes no outcome.
Candidate look_at(Os& os, std::u16string_view path) {
  if (const auto probe = os.get_file_attributes(path); !probe && certainly_absent(probe.error())) {
    return directory_missing(probe.error()) ? Candidate::DirectoryMissing : Candidate::Absent;
  }
  auto metadata = read_file_metadata(os, path, true);
  if (!metadata && metadata.error().open_failed &&
      metadata.error().code == win::ERROR_CANT_ACCESS_FILE) {
    metadata = read_file_metadata(os, path, false);
  }
  return metadata && !metadata->is_directory() && !metadata->is_name_surrogate()
             ? Candidate::File
             : Candidate::Absent;
}

// Directories outermost, candidates inner; the first file found wins. When a
// candidate answers that its directory may be missing and the directory
// itself then proves missing, every other candidate that stays in it would
// be missing as well: the rest of that directory is passed over.
std::optional<std::u16string> search_path(Os& os, std::u16string_view name) {
  const std::u16string path = os.get_environment_variable(u"PATH").value_or(std::u16string());
  // PATHEXT matters only for a name without an extension.
  const std::u16string extensions = extension_of(name) ? std::u16string() : path_extensions(os);
  const std::vector<std::u16string> candidates = candidate_names(name, extensions);
  const bool all_stay = std::ranges::all_of(candidates, [](const std::u16string& candidate) {
    return stays_in_its_directory(candidate);
  });
  for (const std::u16string& directory : split_path_list(path)) {
    bool directory_queried = false;
    for (const std::u16string& candidate : candidates) {
      std::u16string tried = join_path(directory, candidate);
      const Candidate seen = look_at(os, tried);
      if (seen == Candidate::File) {
        return tried;
      }
      if (seen == Candidate::DirectoryMissing && all_stay && !directory_queried) {
        directory_queried = true;
        if (is_missing_directory(os, directory)) {
          break;
        }
      }
    }
  }
  return std::nullopt;
}

} // namespace

bool is_searched_name(std::u16string_view name) {
  const WindowsPath shape = split_windows_path(name);
  const std::size_t components =
      (shape.has_prefix() ? 1 : 0) + (shape.root ? 1 : 0) + shape.components.size();
  // Here a share, device or verbatim prefix is absolute even without a
  // separator after it; a drive only with one.
  const bool absolute = shape.prefix_implies_root() || (shape.has_prefix() && shape.root);
  return components == 1 && !absolute;
}

std::optional<std::u16string_view> extension_of(std::u16string_view name) {
  const std::size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0) {
    return std::nullopt;
  }
  return name.substr(dot + 1);
}

bool is_batch_file(std::u16string_view program) {
  // Windows drops trailing dots and spaces when it opens the file, so
  // "setup.bat." and "setup.bat " still run through cmd.exe: they are judged
  // without them.
  while (!program.empty() && (program.back() == u'.' || program.back() == u' ')) {
    program.remove_suffix(1);
  }
  const auto extension = extension_of(program);
  return extension && (equals_ignoring_ascii_case(*extension, u"bat") ||
                       equals_ignoring_ascii_case(*extension, u"cmd"));
}

std::vector<std::u16string> candidate_names(std::u16string_view name,
                                            std::u16string_view path_ext) {
  std::vector<std::u16string> names;
  if (extension_of(name)) {
    names.emplace_back(name);
    return names;
  }
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(path_ext.find(u';', start), path_ext.size());
    std::u16string candidate(name);
    candidate += path_ext.substr(start, end - start);
    names.push_back(std::move(candidate));
    if (end == path_ext.size()) {
      return names;
    }
    start = end + 1;
  }
}

std::vector<std::u16string> split_path_list(std::u16string_view path) {
  std::vector<std::u16string> entries(1);
  bool quoted = false;
  for (const char16_t c : path) {
    if (c == u'"') {
      quoted = !quoted;
    } else if (c == u';' && !quoted) {
      entries.emplace_back();
    } else {
      entries.back() += c;
    }
  }
  return entries;
}

std::u16string join_path(std::u16string_view directory, std::u16string_view file_name) {
  std::u16string joined;
  joined.reserve(directory.size() + 1 + file_name.size());
  joined += directory;
  if (!directory.empty() && !is_path_separator(directory.back()) && !is_bare_drive(directory)) {
    joined += u'\\';
  }
  joined += file_name;
  return joined;
}

void quote_argument(std::u16string_view argument, std::u16string& out) {
  if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string_view::npos) {
    out += argument;
    return;
  }
  out += u'"';
  std::size_t backslashes = 0; // seen but not yet written
  for (const char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    // Before a double quote each pending backslash is doubled and one more
    // escapes the quote; before anything else they stand as they are.
    out.append(c == u'"' ? 2 * backslashes + 1 : backslashes, u'\\');
    out += c;
    backslashes = 0;
  }
  // The closing quote follows: the pending backslashes are doubled.
  out.append(2 * backslashes, u'\\');
  out += u'"';
}

void quote_argument(std::string_view argument, std::u16string& out) {
  quote_argument(std::u16string_view(utf8_to_utf16(argument)), out);
}

std::u16string child_command_line(const ResolvedCommand& command) {
  std::u16string line;
  line.reserve(command.program.size() + 3 + command.arguments.size());
  line += u'"';
  line += command.program;
  line += u"\" ";
  line += command.arguments;
  return line;
}

Result<ResolvedCommand> resolve_command(Os& os, const CommandSpec& command) {
  if (const auto* verbatim = std::get_if<Verbatim>(&command)) {
    return ResolvedCommand{utf8_to_utf16(verbatim->program), utf8_to_utf16(verbatim->command_line)};
  }
  const std::vector<std::string>& argv = std::get<ArgumentList>(command).argv;
  if (argv.empty()) {
    return std::unexpected(SandboxError::from_context("the command is empty"));
  }
  ResolvedCommand resolved;
  std::u16string name = utf8_to_utf16(argv.front());
  if (is_searched_name(name)) {
    auto found = search_path(os, name);
    if (!found) {
      return std::unexpected(SandboxError::from_context(argv.front() + " is not on PATH"));
    }
    resolved.program = std::move(*found);
  } else {
    resolved.program = std::move(name);
  }
  // Found or given alike: the first match is not passed over.
  if (is_batch_file(resolved.program)) {
    return std::unexpected(
        SandboxError::from_context(display_text(resolved.program) + std::string(kBatchRefusal)));
  }
  for (std::size_t i = 1; i < argv.size(); ++i) {
    if (i > 1) {
      resolved.arguments += u' ';
    }
    quote_argument(std::string_view(argv[i]), resolved.arguments);
  }
  return resolved;
}

} // namespace obrex
