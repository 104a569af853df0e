#include <cstddef>

#include "core/errors.h"
#include "obrex/sandbox.h"
#include "platform/text.h"

namespace obrex {
namespace {

constexpr char16_t kQuote = u'"';
constexpr char16_t kBackslash = u'\\';

bool is_blank(char16_t unit) {
  return unit == u' ' || unit == u'\t';
}

std::size_t skip_blanks(std::u16string_view text, std::size_t i) {
  while (i < text.size() && is_blank(text[i])) {
    ++i;
  }
  return i;
}

// The program's name knows no escapes: a double quote only toggles quoting
// and is dropped, and a blank outside quotes ends the name.
std::u16string read_program_name(std::u16string_view text, std::size_t& i) {
  std::u16string name;
  bool quoted = false;
  for (; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit == kQuote) {
      quoted = !quoted;
    } else if (!quoted && is_blank(unit)) {
      break;
    } else {
      name.push_back(unit);
    }
  }
  return name;
}

void read_arguments(std::u16string_view text, std::size_t i, std::vector<std::u16string>& out) {
  std::u16string current;
  bool quoted = false;
  while (i < text.size()) {
    const char16_t unit = text[i];
    if (unit == kBackslash) {
      std::size_t end = i;
      while (end < text.size() && text[end] == kBackslash) {
        ++end;
      }
      const std::size_t run = end - i;
      if (end < text.size() && text[end] == kQuote) {
        current.append(run / 2, kBackslash);
        if (run % 2 == 1) {
          // An escaped quote is a literal character, inside quotes or out.
          current.push_back(kQuote);
          i = end + 1;
        } else {
          i = end; // the quote itself is read by the rules below
        }
      } else {
        current.append(run, kBackslash);
        i = end;
      }
    } else if (unit == kQuote) {
      if (!quoted) {
        quoted = true;
        ++i;
      } else if (i + 1 == text.size()) {
        // A closing quote at the very end finishes the last argument, even
        // an empty one.
        out.push_back(std::move(current));
        return;
      } else if (text[i + 1] == kQuote) {
        current.push_back(kQuote);
        i += 2;
      } else {
        quoted = false;
        ++i;
      }
    } else if (!quoted && is_blank(unit)) {
      out.push_back(std::move(current));
      current.clear();
      i = skip_blanks(text, i);
    } else {
      current.push_back(unit);
      ++i;
    }
  }
  if (!current.empty() || quoted) {
    out.push_back(std::move(current));
  }
}

[[noreturn]] void throw_invalid_utf16(std::string_view what) {
  throw InternalFailure(std::string(kProgramName) + ": " + std::string(what) +
                        " is not valid UTF-16 (it holds an unpaired surrogate)");
}

// Hands out the arguments one at a time, each converted when it is taken.
class ArgumentReader {
public:
  explicit ArgumentReader(std::span<const std::u16string> arguments) : arguments_(arguments) {}

  std::optional<std::string> next() {
    if (index_ == arguments_.size()) {
      return std::nullopt;
    }
    const std::size_t position = ++index_;
    auto text = utf16_to_utf8(arguments_[position - 1]);
    if (!text) {
      throw_invalid_utf16("argument " + std::to_string(position));
    }
    return text;
  }

private:
  std::span<const std::u16string> arguments_;
  std::size_t index_ = 0;
};

SandboxError usage(std::string message) {
  return SandboxError::from_context(std::move(message));
}

} // namespace

std::vector<std::u16string>
split_command_line(std::optional<std::u16string_view> raw,
                   const std::function<std::u16string()>& module_file_name) {
  std::u16string_view text = raw.value_or(std::u16string_view{});
  text = text.substr(0, text.find(u'\0'));
  if (text.empty()) {
    return {module_file_name()};
  }
  std::vector<std::u16string> elements;
  std::size_t i = 0;
  elements.push_back(read_program_name(text, i));
  read_arguments(text, skip_blanks(text, i), elements);
  return elements;
}

Result<RunRequest> parse_arguments(std::span<const std::u16string> arguments) {
  ArgumentReader reader(arguments);
  RunRequest request;
  bool has_project = false;
  for (;;) {
    const auto argument = reader.next();
    if (!argument) {
      return std::unexpected(usage("expected -- or --verbatim and a command"));
    }
    std::string* single = nullptr;
    std::vector<std::string>* list = nullptr;
    if (*argument == "--project") {
      single = &request.project;
    } else if (*argument == "--write") {
      list = &request.write_dirs;
    } else if (*argument == "--deny") {
      list = &request.deny_dirs;
    } else if (*argument == "--read-only") {
      list = &request.read_only_dirs;
    }
    if (single != nullptr || list != nullptr) {
      auto value = reader.next();
      if (!value) {
        return std::unexpected(usage(*argument + " needs a value"));
      }
      if (single != nullptr) {
        *single = std::move(*value);
        has_project = true;
      } else {
        list->push_back(std::move(*value));
      }
      continue;
    }
    if (*argument == "--") {
      ArgumentList command;
      while (auto word = reader.next()) {
        command.argv.push_back(std::move(*word));
      }
      if (command.argv.empty()) {
        return std::unexpected(usage("no command after --"));
      }
      request.command = std::move(command);
      break;
    }
    if (*argument == "--verbatim") {
      auto program = reader.next();
      if (!program) {
        return std::unexpected(usage("--verbatim needs a value"));
      }
      auto command_line = reader.next();
      if (!command_line) {
        return std::unexpected(usage("--verbatim needs a value"));
      }
      if (const auto extra = reader.next()) {
        return std::unexpected(usage("unexpected argument after the command: " + *extra));
      }
      request.command = Verbatim{std::move(*program), std::move(*command_line)};
      break;
    }
    return std::unexpected(usage("unknown argument: " + *argument));
  }
  if (!has_project) {
    return std::unexpected(usage("missing --project"));
  }
  return request;
}

Result<RunRequest> read_command_line(std::span<const std::u16string> elements) {
  if (elements.empty()) {
    return parse_arguments(elements);
  }
  if (!utf16_to_utf8(elements.front())) {
    throw_invalid_utf16("the program's name");
  }
  return parse_arguments(elements.subspan(1));
}

} // namespace obrex
