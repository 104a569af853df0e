// The real system behind `Os`: each method forwards to the Windows call it
// is named after. Only the Windows build compiles it.
#pragma once

#include "platform/os.h"

namespace obrex {

// Makes every DLL that the process loads from now on, also those that system
// DLLs load on their own, come from the system directory only, never from
// the executable's directory. For the program's entry point: it changes the
// whole process.
void restrict_dll_search_to_system_directory();

class Win32Os final : public Os {
public:
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
  std::optional<std::u16string> get_environment_strings() override;

  OsResult<Handle> create_file(std::u16string_view path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t disposition, std::uint32_t flags,
                               SecurityDescriptorPtr descriptor) override;
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

  OsResult<void> lookup_account_sid(SidPtr sid) override;
  OsResult<std::vector<FILE_ID_EXTD_DIR_INFO>>
  get_file_id_extd_directory_info(Handle directory) override;
  OsResult<void> delete_file(std::u16string_view path) override;
  OsResult<void> remove_directory(std::u16string_view path) override;
  OsResult<void> bcrypt_gen_random(std::span<std::uint8_t> buffer) override;
  OsResult<OSVERSIONINFO> rtl_get_version() override;
  OsResult<Pipe> create_pipe() override;
  OsResult<PROCESS_INFORMATION> create_process_with_output(std::u16string_view application,
                                                           std::u16string& command_line,
                                                           Handle output) override;
  OsResult<std::string> read_file_to_end(Handle file) override;
};

} // namespace obrex
