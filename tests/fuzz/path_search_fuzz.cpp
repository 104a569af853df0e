// The text rules of the PATH search: PATH split into its entries, the
// candidate names from PATHEXT, an entry joined with a name. PATH and
// PATHEXT are whatever the environment holds.
// Input: PATH, the program name and PATHEXT, cut at NUL units (see
// fuzz_input.h); a missing one is the empty text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "launch/command_resolution.h"

namespace {

std::u16string joined_with_semicolons(const std::vector<std::u16string>& pieces) {
  std::u16string text;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    text += (i == 0 ? u"" : u";") + pieces[i];
  }
  return text;
}

// The number of entries is the number of ';' outside double quotes plus one,
// and the entries joined again give PATH without its double quotes.
void check_path_list(std::u16string_view path) {
  const std::vector<std::u16string> entries = obrex::split_path_list(path);
  std::size_t separators = 0;
  bool quoted = false;
  std::u16string unquoted;
  for (const char16_t c : path) {
    quoted = c == u'"' ? !quoted : quoted;
    separators += c == u';' && !quoted ? 1 : 0;
    if (c != u'"') {
      unquoted += c;
    }
  }
  OBREX_FUZZ_CHECK(entries.size() == separators + 1);
  OBREX_FUZZ_CHECK(joined_with_semicolons(entries) == unquoted);
}

// A name with an extension is its only candidate; otherwise each piece of
// PATHEXT, empty ones included, follows the name once, in order.
void check_candidates(std::u16string_view name, std::u16string_view path_ext) {
  const std::vector<std::u16string> candidates = obrex::candidate_names(name, path_ext);
  std::vector<std::u16string> suffixes;
  for (const std::u16string& candidate : candidates) {
    OBREX_FUZZ_CHECK(candidate.starts_with(name));
    suffixes.push_back(candidate.substr(name.size()));
  }
  if (obrex::extension_of(name)) {
    OBREX_FUZZ_CHECK(candidates.size() == 1 && candidates.front() == name);
  } else {
    OBREX_FUZZ_CHECK(joined_with_semicolons(suffixes) == path_ext);
  }
}

// The directory, then a '\' unless it is empty, ends in a separator or is a
// bare drive, then the name.
void check_join(std::u16string_view directory, std::u16string_view name) {
  const std::u16string joined = obrex::join_path(directory, name);
  const bool bare_drive = directory.size() == 2 && directory[1] == u':' &&
                          ((directory[0] >= u'A' && directory[0] <= u'Z') ||
                           (directory[0] >= u'a' && directory[0] <= u'z'));
  const bool separated =
      directory.empty() || directory.ends_with(u'\\') || directory.ends_with(u'/') || bare_drive;
  OBREX_FUZZ_CHECK(joined ==
                   std::u16string(directory) + (separated ? u"" : u"\\") + std::u16string(name));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string units = obrex::fuzz::units_of(data, size);
  std::vector<std::u16string> texts = obrex::fuzz::split_at_nul(std::u16string_view(units));
  texts.resize(std::max<std::size_t>(texts.size(), 3));
  const std::u16string& path = texts[0];
  const std::u16string& name = texts[1];
  const std::u16string& path_ext = texts[2];

  check_path_list(path);
  check_candidates(name, path_ext);
  // Every entry with the name; the first entry with every candidate.
  const std::vector<std::u16string> entries = obrex::split_path_list(path);
  for (const std::u16string& entry : entries) {
    check_join(entry, name);
  }
  for (const std::u16string& candidate : obrex::candidate_names(name, path_ext)) {
    check_join(entries.front(), candidate);
  }
  // The name's shape and its extension are read from the same text: neither
  // may fail on it.
  static_cast<void>(obrex::is_searched_name(name));
  static_cast<void>(obrex::is_batch_file(name));
  return 0;
}
