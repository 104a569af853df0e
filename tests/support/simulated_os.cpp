// The core of the simulated system: accounting, fault injection, the call
// log, the file tree's paths, and the process, console, message and
// environment calls. The other calls live in the simulated_os_*.cpp files.
#include "support/simulated_os.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace obrex::test {
namespace {

constexpr OsCode kErrorInvalidHandle = 6;
const ModuleHandle kNtdll{reinterpret_cast<void*>(std::uintptr_t{0x7FF0'0000})};

char16_t fold(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

bool same_name(std::u16string_view a, std::u16string_view b) {
  return std::ranges::equal(a, b, {}, fold, fold);
}

} // namespace

SimulatedOs::~SimulatedOs() {
  for (const auto& [value, object] : handles_) {
    ADD_FAILURE() << "a handle left open: " << value << " (kind " << static_cast<int>(object.kind)
                  << ")";
  }
  for (const auto& [memory, allocation] : allocations_) {
    ADD_FAILURE() << "memory left allocated: " << allocation->text;
  }
}

SimulatedOs::SimulatedOs() {
  system_messages = {
      {2, u"The system cannot find the file specified.\r\n"},
      {3, u"The system cannot find the path specified.\r\n"},
      {5, u"Access is denied.\r\n"},
      {6, u"The handle is invalid.\r\n"},
      {87, u"The parameter is incorrect.\r\n"},
      {183, u"Cannot create a file when that file already exists.\r\n"},
      {1337, u"The security ID structure is invalid.\r\n"},
  };
  ntdll_messages = {
      {0xC0000005 & ~0x10000000u, u"The instruction at 0x%p referenced memory at 0x%p.\r\n"}};
  add_directory(current_directory);
}

// --- the file tree -------------------------------------------------------------

std::u16string SimulatedOs::full_path(std::u16string_view path) const {
  std::u16string text(path);
  std::ranges::replace(text, u'/', u'\\');
  const bool verbatim = text.starts_with(u"\\\\?\\") || text.starts_with(u"\\??\\");
  if (text.starts_with(u"\\\\?\\UNC\\")) {
    text = u"\\\\" + text.substr(8);
  } else if (text.starts_with(u"\\\\?\\") || text.starts_with(u"\\??\\")) {
    text = text.substr(4);
  }
  std::u16string root;
  std::u16string rest;
  if (text.size() >= 2 && text[1] == u':') {
    root = text.substr(0, 2);
    rest = text.substr(2);
  } else if (text.starts_with(u"\\\\")) { // \\server\share
    const std::size_t server_end = text.find(u'\\', 2);
    const std::size_t share_end =
        server_end == std::u16string::npos ? server_end : text.find(u'\\', server_end + 1);
    root = text.substr(0, share_end);
    rest = share_end == std::u16string::npos ? u"" : text.substr(share_end);
  } else if (text.starts_with(u"\\")) {
    root = current_directory.substr(0, 2);
    rest = text;
  } else {
    return full_path(current_directory + u"\\" + text);
  }
  std::vector<std::u16string> parts;
  for (std::size_t start = 0; start <= rest.size();) {
    const std::size_t end = std::min(rest.find(u'\\', start), rest.size());
    const std::u16string part = rest.substr(start, end - start);
    if (part == u"..") {
      if (!parts.empty()) {
        parts.pop_back();
      }
    } else if ((!part.empty() && part != u".") || (verbatim && start > 0 && end < rest.size())) {
      parts.push_back(part); // the \\?\ form keeps an empty name: "x\\y" is not "x\y"
    }
    start = end + 1;
  }
  // Outside the \\?\ form the last name loses its trailing dots and blanks:
  // "x." and "x " name "x".
  if (!verbatim && !parts.empty() && !rest.ends_with(u'\\')) {
    std::u16string& last = parts.back();
    last.erase(last.find_last_not_of(u". ") + 1);
    if (last.empty()) {
      parts.pop_back();
    }
  }
  std::u16string result = root + u"\\";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    result += (i == 0 ? u"" : u"\\") + parts[i];
  }
  return result;
}

std::u16string SimulatedOs::normalise(std::u16string_view path) const {
  std::u16string result = full_path(path);
  std::ranges::transform(result, result.begin(), fold);
  return result;
}

std::optional<std::u16string> SimulatedOs::parent_key(std::u16string_view key) {
  if (key.ends_with(u'\\')) {
    return std::nullopt; // a root: x:\ or \\server\share\ (with its separator)
  }
  const std::size_t root_length =
      key.starts_with(u"\\\\") ? key.find(u'\\', key.find(u'\\', 2) + 1) + 1 : 3;
  return std::u16string(key.substr(0, std::max(key.find_last_of(u'\\'), root_length)));
}

SimFile& SimulatedOs::add_file(std::u16string_view path) {
  const std::u16string key = normalise(path);
  if (const auto parent = parent_key(key); parent && !files.contains(*parent)) {
    add_directory(*parent);
  }
  return files[key];
}

SimFile& SimulatedOs::add_directory(std::u16string_view path) {
  SimFile& entry = add_file(path);
  entry.directory = true;
  return entry;
}

SimFile* SimulatedOs::find(std::u16string_view path) {
  const auto it = files.find(normalise(path));
  return it == files.end() ? nullptr : &it->second;
}

// --- accounting ----------------------------------------------------------------

void SimulatedOs::fail_call(const std::string& method, int nth, OsCode code) {
  faults_[{method, calls(method) + nth}] = code;
}

int SimulatedOs::calls(const std::string& method) const {
  const auto it = counts_.find(method);
  return it == counts_.end() ? 0 : it->second;
}

void SimulatedOs::before_call(const std::string& method, int nth, std::function<void()> action) {
  actions_[{method, calls(method) + nth}] = std::move(action);
}

std::optional<OsCode> SimulatedOs::enter(const std::string& method) {
  call_log_.push_back(method);
  const int nth = ++counts_[method];
  if (const auto action = actions_.find({method, nth}); action != actions_.end()) {
    const std::function<void()> run = std::move(action->second);
    actions_.erase(action);
    run();
  }
  const auto it = faults_.find({method, nth});
  if (it == faults_.end()) {
    return std::nullopt;
  }
  const OsCode code = it->second;
  faults_.erase(it);
  return code;
}

Handle SimulatedOs::new_handle(HandleObject object) {
  next_handle_ += 4;
  void* value = reinterpret_cast<void*>(next_handle_);
  handles_.emplace(value, std::move(object));
  return Handle{value};
}

SimulatedOs::HandleObject* SimulatedOs::handle_object(Handle handle) {
  const auto it = handles_.find(handle.value);
  if (it == handles_.end()) {
    ADD_FAILURE() << "use of a handle that is not open: " << handle.value;
    return nullptr;
  }
  return &it->second;
}

SimulatedOs::HandleObject* SimulatedOs::handle_object(Handle handle, HandleKind kind) {
  HandleObject* object = handle_object(handle);
  if (object != nullptr && object->kind != kind) {
    ADD_FAILURE() << "a handle of the wrong kind: " << handle.value;
    return nullptr;
  }
  return object;
}

void* SimulatedOs::allocate(Allocation allocation) {
  auto owned = std::make_unique<Allocation>(std::move(allocation));
  void* key = owned.get();
  allocations_.emplace(key, std::move(owned));
  return key;
}

SimulatedOs::Allocation* SimulatedOs::allocation(void* memory, AllocationKind kind) {
  const auto it = allocations_.find(memory);
  if (it == allocations_.end() || it->second->kind != kind) {
    ADD_FAILURE() << "use of memory that is not allocated as expected: " << memory;
    return nullptr;
  }
  return it->second.get();
}

const std::string* SimulatedOs::acl_text(AclPtr acl) const {
  for (const auto& [key, owned] : allocations_) {
    if (key == acl.value && owned->kind == AllocationKind::Acl) {
      return &owned->text;
    }
    if (acl.value != nullptr &&
        (owned->dacl.get() == acl.value || owned->sacl.get() == acl.value)) {
      return static_cast<const std::string*>(acl.value);
    }
  }
  if (acl.value != nullptr) {
    ADD_FAILURE() << "use of an ACL that is not allocated: " << acl.value;
  }
  return nullptr;
}

void SimulatedOs::local_free(void* memory) {
  enter("local_free");
  if (memory != nullptr && allocations_.erase(memory) == 0) {
    ADD_FAILURE() << "LocalFree of memory that is not allocated: " << memory;
  }
}

bool SimulatedOs::close_handle(Handle handle) {
  if (enter("close_handle")) {
    return false;
  }
  if (handle.value != nullptr && handle == console_target) {
    ADD_FAILURE() << "the console handler's target is closed while it may still end it";
  }
  const auto it = handles_.find(handle.value);
  if (it == handles_.end()) {
    ADD_FAILURE() << "CloseHandle of a handle that is not open: " << handle.value;
    return false;
  }
  if (it->second.pending != nullptr) {
    ADD_FAILURE() << "a file closed while a request on it is pending, whose record the system "
                     "may still write";
  }
  handles_.erase(it); // a lock it held goes with it
  return true;
}

// --- process, console, messages, environment -----------------------------------

std::optional<std::u16string> SimulatedOs::get_command_line() {
  enter("get_command_line");
  return command_line;
}

OsResult<std::u16string> SimulatedOs::get_module_file_name() {
  if (const auto fault = enter("get_module_file_name")) {
    return std::unexpected(*fault);
  }
  return u"C:\\tools\\obrex-sandbox-exec.exe";
}

void SimulatedOs::exit_process(std::uint32_t) {
  enter("exit_process");
  ADD_FAILURE() << "the steps never end the process themselves";
}

Handle SimulatedOs::get_std_handle(std::uint32_t which) {
  enter("get_std_handle");
  const Handle handles[] = {std_error, std_output, std_input}; // -12, -11, -10
  if (which - static_cast<std::uint32_t>(-12) < 3) {
    return handles[which - static_cast<std::uint32_t>(-12)];
  }
  ADD_FAILURE() << "GetStdHandle with " << which;
  return Handle{};
}

bool SimulatedOs::get_console_mode(Handle handle) {
  enter("get_console_mode");
  return handle == std_error && std_error_is_console;
}

std::uint32_t SimulatedOs::get_console_output_cp() {
  enter("get_console_output_cp");
  return console_output_cp;
}

OsResult<void> SimulatedOs::write_console(Handle handle, std::u16string_view text) {
  if (const auto fault = enter("write_console")) {
    return std::unexpected(*fault);
  }
  if (!(handle == std_error) || !std_error_is_console) {
    return std::unexpected(kErrorInvalidHandle);
  }
  if (write_error != 0) {
    return std::unexpected(write_error);
  }
  console_written += text;
  return {};
}

OsResult<void> SimulatedOs::write_file(Handle handle, std::string_view bytes) {
  if (const auto fault = enter("write_file")) {
    return std::unexpected(*fault);
  }
  const bool output = standard_output_expected && handle == std_output;
  if (!(handle == std_error) && !output) {
    ADD_FAILURE() << "the program writes only to standard error";
    return std::unexpected(kErrorInvalidHandle);
  }
  if (write_error != 0) {
    return std::unexpected(write_error);
  }
  (output ? output_written : bytes_written) += bytes;
  return {};
}

std::optional<ModuleHandle> SimulatedOs::get_module_handle(std::u16string_view name) {
  enter("get_module_handle");
  return ntdll_loaded && same_name(name, u"NTDLL.DLL") ? std::optional(kNtdll) : std::nullopt;
}

OsResult<std::u16string> SimulatedOs::format_message(std::uint32_t flags, ModuleHandle source,
                                                     std::uint32_t code, std::uint32_t capacity) {
  if (const auto fault = enter("format_message")) {
    return std::unexpected(*fault);
  }
  const bool from_module = (flags & 0x800) != 0; // FORMAT_MESSAGE_FROM_HMODULE
  if (from_module && !(source == kNtdll)) {
    ADD_FAILURE() << "FormatMessageW from an unknown module";
  }
  const auto& table = from_module ? ntdll_messages : system_messages;
  const auto it = table.find(code);
  if (it == table.end()) {
    return std::unexpected(OsCode{317}); // ERROR_MR_MID_NOT_FOUND
  }
  if (it->second.size() >= capacity) {
    return std::unexpected(OsCode{122}); // ERROR_INSUFFICIENT_BUFFER
  }
  return it->second;
}

std::optional<std::u16string> SimulatedOs::get_environment_variable(std::u16string_view name) {
  enter("get_environment_variable");
  const auto it = std::ranges::find_if(
      environment, [&](const auto& entry) { return same_name(entry.first, name); });
  return it == environment.end() ? std::nullopt : std::optional(it->second);
}

OsResult<void> SimulatedOs::set_environment_variable(std::u16string_view name,
                                                     std::u16string_view value) {
  if (const auto fault = enter("set_environment_variable")) {
    return std::unexpected(*fault);
  }
  std::erase_if(environment, [&](const auto& entry) { return same_name(entry.first, name); });
  environment.emplace(name, value);
  return {};
}

std::optional<std::u16string> SimulatedOs::get_environment_strings() {
  if (enter("get_environment_strings")) {
    return std::nullopt;
  }
  std::u16string block;
  for (const auto& [name, value] : environment) {
    block += name + u"=" + value + u'\0';
  }
  return block;
}

} // namespace obrex::test
