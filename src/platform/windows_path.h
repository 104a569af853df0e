// The one reading of a Windows path text: its prefix, whether a root
// separator follows it, and its components. Every rule of the program that
// looks at the shape of a path (path equality, the PATH search's "one
// component, not absolute", the existence test's prefixing, the parent walk
// of the sandbox temporary directory) builds on it.
//
// '\' and '/' both separate, except after "\\?\" and "\??\", where the
// system parses nothing and only '\' separates.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace obrex {

enum class PathPrefix {
  None,          // a\b
  DriveRelative, // C:a
  DriveAbsolute, // C:\a
  Rooted,        // \a
  Unc,           // \\server\share\a (also a bare \\ or \\server)
  Device,        // \\.\COM1\a, and \\?\ written with any '/' (the system's device form)
  Verbatim,      // \\?\C:\a, \\?\Volume{...}\a
  VerbatimUnc,   // \\?\UNC\server\share\a
  Nt,            // \??\C:\a
};

template <class Char> struct BasicWindowsPath {
  PathPrefix kind = PathPrefix::None;
  // The prefix as written, with the names it holds: "C:", "\\server\share",
  // "\\.\COM1", "\\?\C:", "\\?\UNC\server\share", "\??\C:". Empty for None
  // and Rooted.
  std::basic_string_view<Char> prefix;
  // A separator follows the prefix (always for DriveAbsolute and Rooted).
  bool root = false;
  // The names between separators, in order; doubled and trailing separators
  // give none. "." and ".." are kept as written.
  std::vector<std::basic_string_view<Char>> components;

  // The prefix and its root separator: what no parent can lose.
  std::size_t root_length() const { return prefix.size() + (root ? 1 : 0); }
  bool has_prefix() const { return kind != PathPrefix::None && kind != PathPrefix::Rooted; }
  // Shares, devices and the verbatim and NT forms name a root of their own,
  // with or without a separator after them.
  bool prefix_implies_root() const {
    return has_prefix() && kind != PathPrefix::DriveRelative && kind != PathPrefix::DriveAbsolute;
  }
  // The system passes the rest of such a path on without normalising it.
  bool is_verbatim() const {
    return kind == PathPrefix::Verbatim || kind == PathPrefix::VerbatimUnc ||
           kind == PathPrefix::Nt;
  }
  // Whether `c` separates components after this path's prefix.
  bool separates(Char c) const { return c == Char('\\') || (c == Char('/') && !is_verbatim()); }
};

using WindowsPath = BasicWindowsPath<char16_t>;

template <class Char> bool is_path_separator(Char c) {
  return c == Char('\\') || c == Char('/');
}

template <class Char> bool is_drive_letter(Char c) {
  return (c >= Char('A') && c <= Char('Z')) || (c >= Char('a') && c <= Char('z'));
}

// Splits UTF-16 units or UTF-8 bytes alike; the views point into `path`.
BasicWindowsPath<char16_t> split_windows_path(std::u16string_view path);
BasicWindowsPath<char> split_windows_path(std::string_view path);

} // namespace obrex
