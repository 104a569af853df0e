// Turning the command of a run into the program that is started and the
// argument text that follows it on the child's command line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.h"
#include "obrex/sandbox.h"
#include "platform/os.h"

namespace obrex {

// UTF-16: a program found on PATH is built from PATH's own units, which need
// not be valid Unicode. Messages show it through display_text.
struct ResolvedCommand {
  std::u16string program;   // the application name handed to the system
  std::u16string arguments; // the text after the quoted program; may be empty
  friend bool operator==(const ResolvedCommand&, const ResolvedCommand&) = default;
};

// An argument list: the first element looked up on PATH with PATHEXT when it
// is a bare name (used as given otherwise), batch files refused, the other
// elements quoted and joined by single spaces. A verbatim command: both texts
// unchanged, nothing looked up or read. Reads PATH and PATHEXT at most once
// each and file metadata only; changes nothing.
Result<ResolvedCommand> resolve_command(Os& os, const CommandSpec& command);

// Appends one argument, quoted so that the Windows argument rules read it
// back unchanged: as it is when it is non-empty and holds no space, tab,
// line feed, vertical tab or double quote; otherwise between double quotes,
// with backslashes doubled where a double quote follows them.
void quote_argument(std::u16string_view argument, std::u16string& out);
void quote_argument(std::string_view argument, std::u16string& out);

// The child's whole command line: the program between double quotes, one
// space, then the arguments (so it ends in the space when there are none).
std::u16string child_command_line(const ResolvedCommand& command);

// --- the text rules of the search ---------------------------------------------

// Used when PATHEXT is unset or not valid Unicode.
inline constexpr std::u16string_view kDefaultPathExt = u".COM;.EXE;.BAT;.CMD";

// A name looked up on PATH: exactly one component (a prefix such as C: or
// a share, a root separator, and each name between separators count one
// each) and not absolute (a prefix and a root; share, device and verbatim
// prefixes carry their root).
bool is_searched_name(std::u16string_view name);

// What follows the last '.', unless that '.' is the first character; a
// trailing '.' gives an empty extension. nullopt when there is none.
std::optional<std::u16string_view> extension_of(std::u16string_view name);
// The extension is "bat" or "cmd", ignoring ASCII case, once trailing dots
// and spaces (which Windows drops when it opens the file) are set aside.
bool is_batch_file(std::u16string_view program);

// The file names tried in each directory: the name alone when it has an
// extension, otherwise the name followed by each ';'-separated piece of
// `path_ext`, empty pieces included, in order and in their own case.
std::vector<std::u16string> candidate_names(std::u16string_view name, std::u16string_view path_ext);

// PATH's entries: ';' separates outside double-quoted regions, the quotes
// themselves are dropped, empty entries are kept, nothing is trimmed or
// expanded. The empty text is one empty entry.
std::vector<std::u16string> split_path_list(std::u16string_view path);

// The directory and the file name with a '\' between them, unless the
// directory is empty, ends in a separator or is a bare drive such as "C:".
std::u16string join_path(std::u16string_view directory, std::u16string_view file_name);

} // namespace obrex
