// An in-memory Windows for the host tests. It models only what the steps
// observe: a file tree with labels and DACLs kept as SDDL text, environment
// variables, the process token, the profile folder, error texts, standard
// handles and launched processes.
//
// It counts every handle and every allocation it hands out, and a handle
// still open or memory still allocated when it is destroyed is a test
// failure, so every test checks for leaks. It can make the Nth call of any
// method fail
// with a chosen code. Every call is logged by method name, so a test can
// check the order of calls. Misuse (an unknown handle, a double free, a call
// with arguments the steps never pass) is reported as a test failure.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/os.h"

namespace obrex::test {

// An entry of the simulated file tree.
struct SimFile {
  bool directory = false;
  // FILE_ATTRIBUTE_REPARSE_POINT is reported when reparse_tag != 0.
  std::uint32_t reparse_tag = 0;
  // A link: opening with links followed reaches the target (a missing target
  // fails with ERROR_FILE_NOT_FOUND).
  std::optional<std::u16string> link_target;
  // Opening with links followed fails with this code (1920 for an
  // app-execution alias, 5 or 32 for a refused open); 0 for none.
  std::uint32_t follow_open_error = 0;
  // The file identity; `file_id_error` != 0 makes FileIdInfo fail (a volume
  // without file IDs).
  std::uint64_t volume_serial = 0x1234;
  std::uint8_t file_id[16] = {};
  std::uint32_t file_id_error = 0;
  // Security, as SDDL text: the DACL ("D:...") and the label ("S:..." or
  // empty when there is none).
  std::string dacl = "D:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
  std::string label;
  // Another process holds the lock on the file's first byte (LockFileEx);
  // a test clears it where that process ends or is killed.
  bool locked_elsewhere = false;
};

// The program's own token.
struct SimToken {
  std::string user = "S-1-5-21-1-2-3-1001";
  std::string integrity = "S-1-16-8192";
  std::vector<std::pair<std::string, std::uint32_t>> groups = {
      {"S-1-1-0", 0x7},
      {"S-1-5-5-0-123456", 0xC0000007},
      {"S-1-2-0", 0x7},
  };
};

// What CreateRestrictedToken made and what was set on it afterwards.
struct SimRestrictedToken {
  std::uint32_t flags = 0;
  std::vector<std::pair<std::string, std::uint32_t>> restricting;
  std::optional<std::string> default_dacl;  // SDDL text of the DACL set
  std::optional<std::string> integrity_sid; // text of the label SID set
  std::uint32_t integrity_attributes = 0;
  std::uint32_t integrity_length = 0; // the length passed
};

// A process started with CreateProcessAsUserW, or with CreateProcessW (no
// token, no handles inherited, no startup information: a trial).
struct SimProcess {
  std::u16string application;
  std::u16string command_line;
  bool inherit_handles = false;
  std::uint32_t creation_flags = 0;
  STARTUPINFOW startup;
  std::optional<SimRestrictedToken> token; // a copy, when the token was restricted
  std::map<std::u16string, std::u16string> environment;
  std::uint32_t error_mode = 0;
  std::optional<std::uint32_t> job_ui_restrictions; // set when assigned to a job
  std::uint32_t job_limit_flags = 0;                // of that job
  std::size_t own_jobs_kept = 0; // how many of this program's jobs it was born into
  bool resumed = false;
  bool terminated = false;
  std::uint32_t exit_code = 0;
  bool with_output = false; // started by create_process_with_output
};

class SimulatedOs : public Os {
public:
  SimulatedOs();
  // Fails the test for every handle still open and every allocation not
  // released: whatever a test holds must be released before its system goes.
  ~SimulatedOs() override;

  // --- what the test sets up ------------------------------------------------
  std::optional<std::u16string> command_line = u"obrex-sandbox-exec.exe";
  std::u16string current_directory = u"C:\\cwd";

  // Standard handles; a null value is "no handle".
  Handle std_input{reinterpret_cast<void*>(std::uintptr_t{0x10})};
  Handle std_output{reinterpret_cast<void*>(std::uintptr_t{0x14})};
  Handle std_error{reinterpret_cast<void*>(std::uintptr_t{0x18})};
  bool std_error_is_console = false;
  std::uint32_t console_output_cp = 437;
  std::uint32_t write_error = 0; // writes to standard error fail with this code
  // What reached standard error: UTF-16 through the console, bytes otherwise.
  std::u16string console_written;
  std::string bytes_written;
  // Standard output: the companion tool writes its results there; the
  // launcher never does, and a write there fails the test unless expected.
  bool standard_output_expected = false;
  std::string output_written;

  // Message tables: the system's, and NTDLL's (reached only when
  // `ntdll_loaded`). A code missing from a table fails with 317.
  std::map<std::uint32_t, std::u16string> system_messages;
  std::map<std::uint32_t, std::u16string> ntdll_messages;
  bool ntdll_loaded = true;

  // Environment variables, by name as set (compared without regard to ASCII
  // case, as Windows does).
  std::map<std::u16string, std::u16string> environment;

  // The file tree, by normalised full path (see `normalise`).
  std::map<std::u16string, SimFile> files;
  // SHGetKnownFolderPath(FOLDERID_Profile): nullopt fails with E_FAIL.
  std::optional<std::u16string> profile = u"C:\\Users\\sandboxer";

  SimToken token;
  std::uint32_t error_mode = 0;
  // Exit code that the next launched process ends with.
  std::uint32_t next_exit_code = 0;
  // When set, WaitForSingleObject returns this instead of WAIT_OBJECT_0 and
  // the process goes on running.
  std::optional<std::uint32_t> wait_result;
  std::vector<SimProcess> processes;
  // The jobs this program runs in, innermost first, by their limit flags. A
  // child leaves them from the innermost outwards while each lets it break
  // away (silently, or on request with CREATE_BREAKAWAY_FROM_JOB), and stays
  // in the rest; the request is refused with error 5 when the innermost job
  // allows no breakaway on request. A process that stays in any job cannot
  // be put into a job with UI limits (error 5).
  std::vector<std::uint32_t> own_jobs;
  // The console handler: whether it was installed, whether Ctrl+C or
  // Ctrl+Break reached it since (a test sets it, through before_call at the
  // moment of its choice), and the process it would end on close. Closing
  // the target's handle while it is the target fails the test.
  bool console_handler = false;
  bool console_interrupt = false;
  Handle console_target;
  std::vector<SimRestrictedToken> restricted_tokens;
  // The entries handed to SetEntriesInAclW, in order.
  std::vector<EXPLICIT_ACCESS_W> explicit_accesses;
  // The SIDs (as text) that LookupAccountSidW finds an account for; every
  // other SID fails with ERROR_NONE_MAPPED.
  std::set<std::string> accounts = {"S-1-5-21-1-2-3-1001", "S-1-1-0", "S-1-5-18", "S-1-5-32-544"};
  // What a process started with its output to a pipe writes there, and the
  // code it ends with; it has ended by the time it is created.
  struct SimRun {
    std::string output;
    std::uint32_t exit_code = 0;
  };
  std::function<SimRun(const SimProcess&)> on_start;
  std::uint8_t random_byte = 0;

  // --- helpers for tests ----------------------------------------------------
  // Adds a file or a directory, and its missing parents.
  SimFile& add_file(std::u16string_view path);
  SimFile& add_directory(std::u16string_view path);
  SimFile* find(std::u16string_view path);
  // What GetFullPathNameW gives: made absolute against `current_directory`,
  // the \\?\ and \\?\UNC\ prefixes removed, '/' as '\', "." and ".."
  // resolved, no trailing separator but at a root.
  std::u16string full_path(std::u16string_view path) const;
  // The key a path is stored under: its full path, ASCII letters lower-cased.
  std::u16string normalise(std::u16string_view path) const;
  // The key of the directory that holds `key`; nullopt for a root.
  static std::optional<std::u16string> parent_key(std::u16string_view key);

  // Makes the `nth` call (1-based, counted from now) of `method` fail with
  // `code`. Method names are those of Os.
  void fail_call(const std::string& method, int nth, OsCode code);
  // Runs `action` when the `nth` call (1-based, counted from now) of `method`
  // begins, before it looks at anything: another program's edit between two
  // calls of this one.
  void before_call(const std::string& method, int nth, std::function<void()> action);
  // How often `method` was called, and all calls in order.
  int calls(const std::string& method) const;
  const std::vector<std::string>& call_log() const { return call_log_; }

  // Resource accounting: what is still open or allocated.
  std::size_t open_handles() const { return handles_.size(); }

  // --- Os -------------------------------------------------------------------
  std::optional<std::u16string> get_command_line() override;
  OsResult<std::u16string> get_module_file_name() override;
  void exit_process(std::uint32_t code) override;
  Handle get_std_handle(std::uint32_t which) override;
  bool get_console_mode(Handle handle) override;
  std::uint32_t get_console_output_cp() override;
  OsResult<void> write_console(Handle handle, std::u16string_view text) override;
  OsResult<void> write_file(Handle handle, std::string_view bytes) override;
  std::optional<ModuleHandle> get_module_handle(std::u16string_view name) override;
  OsResult<std::u16string> format_message(std::uint32_t flags, ModuleHandle source,
                                          std::uint32_t code, std::uint32_t capacity) override;
  std::optional<std::u16string> get_environment_variable(std::u16string_view name) override;
  OsResult<void> set_environment_variable(std::u16string_view name,
                                          std::u16string_view value) override;
  // Opens what exists; OPEN_ALWAYS also makes a missing file, with the
  // label of the descriptor given.
  OsResult<Handle> create_file(std::u16string_view path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t disposition, std::uint32_t flags,
                               SecurityDescriptorPtr descriptor) override;
  // A lock held elsewhere, or by any handle of this program (the same one
  // included), keeps a request pending on a handle opened overlapped; it is
  // granted once the holder lets go, seen at the next wait, cancel or
  // result. Closing a handle gives its lock back.
  OsResult<void> lock_file_ex(Handle file, std::uint32_t flags, std::uint32_t bytes_low,
                              std::uint32_t bytes_high, OVERLAPPED& overlapped) override;
  OsResult<void> unlock_file_ex(Handle file, std::uint32_t bytes_low, std::uint32_t bytes_high,
                                OVERLAPPED& overlapped) override;
  OsResult<void> cancel_io_ex(Handle file, OVERLAPPED& overlapped) override;
  OsResult<std::uint32_t> get_overlapped_result(Handle file, OVERLAPPED& overlapped,
                                                bool wait) override;
  OsResult<BY_HANDLE_FILE_INFORMATION> get_file_information_by_handle(Handle file) override;
  OsResult<FILE_ID_INFO> get_file_id_info(Handle file) override;
  OsResult<FILE_ATTRIBUTE_TAG_INFO> get_file_attribute_tag_info(Handle file) override;
  bool close_handle(Handle handle) override;
  OsResult<std::u16string> get_full_path_name(std::u16string_view path) override;
  OsResult<WIN32_FIND_DATAW> find_first_file_ex(std::u16string_view path) override;
  OsResult<void> create_directory(std::u16string_view path) override;
  OsResult<std::u16string> get_known_folder_path_profile() override;
  OsResult<std::uint32_t> get_file_attributes(std::u16string_view path) override;
  OsResult<SidPtr> convert_string_sid_to_sid(std::u16string_view text) override;
  OsResult<std::u16string> convert_sid_to_string_sid(SidPtr sid) override;
  std::uint32_t get_length_sid(SidPtr sid) override;
  OsResult<SecurityDescriptorPtr>
  convert_string_security_descriptor_to_security_descriptor(std::u16string_view sddl,
                                                            std::uint32_t revision) override;
  OsResult<std::u16string> convert_security_descriptor_to_string_security_descriptor(
      SecurityDescriptorPtr descriptor, std::uint32_t revision, std::uint32_t information) override;
  OsResult<AclPtr> get_security_descriptor_dacl(SecurityDescriptorPtr descriptor) override;
  OsResult<AclPtr> get_security_descriptor_sacl(SecurityDescriptorPtr descriptor) override;
  OsResult<NamedSecurityInfo> get_named_security_info(std::u16string_view path,
                                                      std::uint32_t object_type,
                                                      std::uint32_t information,
                                                      bool want_dacl) override;
  OsResult<AclPtr> set_entries_in_acl(const EXPLICIT_ACCESS_W& entry, AclPtr old_acl) override;
  OsResult<std::uint32_t> get_acl_information(AclPtr acl) override;
  OsResult<void> set_named_security_info(std::u16string_view path, std::uint32_t object_type,
                                         std::uint32_t information, AclPtr dacl,
                                         AclPtr sacl) override;
  // GetAce reads an entry of an ACL's text as Windows would read its bytes:
  // the type (A 0, D 1, OA 5, OD 6, XA 9, XD 10, ZA 11, ML 0x11, or "#N" for
  // a type N that SDDL has no letters for, which has no mask and no SID),
  // the flags, the mask and the SID. The size is 8 plus the SID's length;
  // an object type adds its flags and GUIDs, a callback type its condition,
  // and a seventh field "+N" on any other type N bytes after the SID, which
  // SDDL cannot show. DeleteAce removes the entry's text.
  OsResult<ACE_RECORD> get_ace(AclPtr acl, std::uint32_t index) override;
  OsResult<void> delete_ace(AclPtr acl, std::uint32_t index) override;
  OsResult<std::uint16_t>
  get_security_descriptor_control(SecurityDescriptorPtr descriptor) override;
  bool equal_sid(SidPtr a, SidPtr b) override;
  OsResult<SecurityInfo> get_security_info(Handle handle, std::uint32_t object_type,
                                           std::uint32_t information) override;
  OsResult<void> set_security_info(Handle handle, std::uint32_t object_type,
                                   std::uint32_t information, AclPtr dacl, AclPtr sacl) override;
  void local_free(void* memory) override;
  OsResult<Handle> open_process_token(std::uint32_t access) override;
  OsResult<void> get_token_information(Handle token, std::uint32_t information_class, void* buffer,
                                       std::uint32_t length, std::uint32_t& needed) override;
  OsResult<Handle>
  create_restricted_token(Handle token, std::uint32_t flags,
                          std::span<const SID_AND_ATTRIBUTES> restricting) override;
  OsResult<void> set_token_information(Handle token, std::uint32_t information_class,
                                       const void* information, std::uint32_t length) override;
  std::optional<std::u16string> get_environment_strings() override;
  OsResult<bool> is_process_in_job(Handle process) override;
  OsResult<Handle> create_job_object() override;
  OsResult<void> set_information_job_object(Handle job, std::uint32_t information_class,
                                            const void* information, std::uint32_t length) override;
  std::uint32_t set_error_mode(std::uint32_t mode) override;
  OsResult<PROCESS_INFORMATION> create_process(std::u16string_view application,
                                               std::u16string& command_line,
                                               std::uint32_t creation_flags) override;
  OsResult<PROCESS_INFORMATION>
  create_process_as_user(Handle token, std::u16string_view application,
                         std::u16string& command_line, bool inherit_handles,
                         std::uint32_t creation_flags, const STARTUPINFOW& startup,
                         std::optional<std::u16string_view> environment) override;
  OsResult<void> assign_process_to_job_object(Handle job, Handle process) override;
  OsResult<std::uint32_t> resume_thread(Handle thread) override;
  OsResult<void> terminate_process(Handle process, std::uint32_t exit_code) override;
  OsResult<std::uint32_t> wait_for_single_object(Handle handle,
                                                 std::uint32_t milliseconds) override;
  OsResult<std::uint32_t> get_exit_code_process(Handle process) override;
  OsResult<Handle> create_event() override;
  OsResult<void> set_console_ctrl_handler() override;
  void set_console_ctrl_target(Handle process) override;
  bool console_interrupted() override;
  // The companion tool's calls (simulated_os_acl.cpp).
  OsResult<void> lookup_account_sid(SidPtr sid) override;
  // Lists the entries under the opened directory, by their stored
  // (lower-case) names, after "." and "..".
  OsResult<std::vector<FILE_ID_EXTD_DIR_INFO>>
  get_file_id_extd_directory_info(Handle directory) override;
  OsResult<void> delete_file(std::u16string_view path) override;
  OsResult<void> remove_directory(std::u16string_view path) override;
  // Random bytes: `random_byte` counting up.
  OsResult<void> bcrypt_gen_random(std::span<std::uint8_t> buffer) override;
  OsResult<OSVERSIONINFO> rtl_get_version() override;
  OsResult<Pipe> create_pipe() override;
  // Records the process (no token) and calls `on_start` with it; what the
  // test returns is what the pipe gives to read_file_to_end and the exit
  // code the process ends with.
  OsResult<PROCESS_INFORMATION> create_process_with_output(std::u16string_view application,
                                                           std::u16string& command_line,
                                                           Handle output) override;
  OsResult<std::string> read_file_to_end(Handle file) override;

  // --- for the implementation of the simulated calls ------------------------
  // The objects behind handles: a File holds the key of the entry reached,
  // the flags it was opened with, whether it holds the entry's lock and the
  // lock request pending on it; `index` points into restricted_tokens
  // (RestrictedToken), processes (Process, Thread) or jobs_ (Job); `access`
  // is the rights of a token or a file; an Event may be signalled.
  enum class HandleKind { File, Token, RestrictedToken, Job, Process, Thread, Event, Pipe };
  struct HandleObject {
    HandleKind kind;
    std::u16string path;
    std::size_t index = 0;
    std::uint32_t access = 0;
    std::uint32_t flags = 0;
    bool locked = false;
    OVERLAPPED* pending = nullptr;
    bool signalled = false;
  };
  // A SID (its text), an ACL (its SDDL, "D:..." or "S:...") or a security
  // descriptor (the SDDL of its DACL and label, which live inside it).
  enum class AllocationKind { Sid, SecurityDescriptor, Acl };
  struct Allocation {
    AllocationKind kind;
    std::string text;
    std::unique_ptr<std::string> dacl;
    std::unique_ptr<std::string> sacl;
  };

  // Records the call, then returns the injected failure of this call, if any.
  std::optional<OsCode> enter(const std::string& method);
  Handle new_handle(HandleObject object);
  // The object behind a handle of the given kind; a test failure otherwise.
  HandleObject* handle_object(Handle handle);
  HandleObject* handle_object(Handle handle, HandleKind kind);
  void* allocate(Allocation allocation);
  Allocation* allocation(void* memory, AllocationKind kind); // a test failure when unknown
  // An ACL inside a descriptor or allocated on its own: its SDDL text.
  const std::string* acl_text(AclPtr acl) const;
  // A SID the simulated system owns (such as those a token information
  // buffer points to); it lives as long as the simulated system.
  SidPtr static_sid(const std::string& text);
  // The text of an allocated or static SID; a test failure when unknown.
  const std::string* sid_text(SidPtr sid);
  // What GetNamedSecurityInfoW and GetSecurityInfo read of an entry, and
  // what SetNamedSecurityInfoW and SetSecurityInfo write to it.
  SecurityInfo read_security(const SimFile& entry, std::uint32_t information, bool want_dacl);
  OsResult<void> write_security(SimFile& entry, std::uint32_t information, AclPtr dacl,
                                AclPtr sacl);
  struct SimJob {
    std::optional<std::uint32_t> ui_restrictions;
    std::uint32_t limit_flags = 0;
  };
  std::vector<SimJob> jobs_;
  std::vector<std::string> pipes_; // what each pipe holds, by index
  // Records a process born of this program with these creation flags, or
  // fails as CreateProcess fails for a breakaway that the job refuses.
  OsResult<PROCESS_INFORMATION> start_process(SimProcess process);
  // Grants every pending lock request whose holder has let go.
  void grant_freed_locks();

private:
  std::map<std::pair<std::string, int>, OsCode> faults_;
  std::map<std::pair<std::string, int>, std::function<void()>> actions_;
  std::map<std::string, int> counts_;
  std::vector<std::string> call_log_;
  std::map<void*, HandleObject> handles_;
  std::map<void*, std::unique_ptr<Allocation>> allocations_;
  std::uintptr_t next_handle_ = 0x1000;
  std::vector<std::unique_ptr<std::string>> static_sids_;
};

} // namespace obrex::test
