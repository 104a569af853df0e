#include "platform/windows_path.h"

namespace obrex {
namespace {

template <class Char> bool is_backslash(Char c) {
  return c == Char('\\');
}

template <class Char> bool starts_with(std::basic_string_view<Char> text, std::string_view ascii) {
  if (text.size() < ascii.size()) {
    return false;
  }
  for (std::size_t i = 0; i < ascii.size(); ++i) {
    if (text[i] != Char(ascii[i])) {
      return false;
    }
  }
  return true;
}

// Where the name that starts at `from` ends: at the next separator or the
// end of the text.
template <class Char, class Separator>
std::size_t name_end(std::basic_string_view<Char> path, std::size_t from, Separator separator) {
  while (from < path.size() && !separator(path[from])) {
    ++from;
  }
  return from;
}

template <class Char> BasicWindowsPath<Char> split(std::basic_string_view<Char> path) {
  BasicWindowsPath<Char> result;
  const auto any = [](Char c) { return is_path_separator(c); };
  const auto backslash = [](Char c) { return is_backslash(c); };
  std::size_t end = 0; // of the prefix
  if (starts_with(path, "\\\\?\\")) {
    if (starts_with(path.substr(4), "UNC\\")) {
      result.kind = PathPrefix::VerbatimUnc;
      end = name_end(path, 8, backslash);
      if (end < path.size()) {
        end = name_end(path, end + 1, backslash);
      }
    } else {
      result.kind = PathPrefix::Verbatim;
      end = name_end(path, 4, backslash);
    }
  } else if (starts_with(path, "\\??\\")) {
    result.kind = PathPrefix::Nt;
    end = name_end(path, 4, backslash);
  } else if (path.size() >= 2 && any(path[0]) && any(path[1])) {
    if (path.size() >= 3 && (path[2] == Char('.') || path[2] == Char('?')) &&
        (path.size() == 3 || any(path[3]))) {
      result.kind = PathPrefix::Device;
      end = path.size() == 3 ? 3 : name_end(path, 4, any);
    } else {
      result.kind = PathPrefix::Unc;
      end = name_end(path, 2, any);
      if (end < path.size()) {
        end = name_end(path, end + 1, any);
      }
    }
  } else if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == Char(':')) {
    result.kind =
        path.size() >= 3 && any(path[2]) ? PathPrefix::DriveAbsolute : PathPrefix::DriveRelative;
    end = 2;
  } else if (!path.empty() && any(path[0])) {
    result.kind = PathPrefix::Rooted;
  }
  result.prefix = path.substr(0, end);

  const auto separates = [&result](Char c) { return result.separates(c); };
  result.root = end < path.size() && separates(path[end]);
  for (std::size_t start = result.root_length(); start < path.size();) {
    const std::size_t stop = name_end(path, start, separates);
    if (stop > start) {
      result.components.push_back(path.substr(start, stop - start));
    }
    start = stop + 1;
  }
  return result;
}

} // namespace

BasicWindowsPath<char16_t> split_windows_path(std::u16string_view path) {
  return split(path);
}

BasicWindowsPath<char> split_windows_path(std::string_view path) {
  return split(path);
}

} // namespace obrex
