// The real adapter against the system it forwards to. Under Wine, the calls
// that Wine does not carry out as Windows does are skipped, saying so.
#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "identity/sha256.h"
#include "platform/owners.h"
#include "platform/win32_os.h"

namespace obrex {
namespace {

std::u16string u16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}
std::wstring wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

// For failure messages.
std::string display(std::u16string_view text) {
  return e2e::utf8(wide(text));
}

constexpr std::uint32_t kOpenAttributes = FILE_READ_ATTRIBUTES;
constexpr std::uint32_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class Win32OsTest : public testing::Test {
protected:
  Win32Os os;
};

// A fresh directory under the system's temporary folder, removed with
// everything in it afterwards.
class Win32OsFilesTest : public Win32OsTest {
protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    ASSERT_GT(length, 0u);
    root_ = std::wstring(temp, length) + L"obrex-os-test-" +
            std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64());
    ASSERT_TRUE(os.create_directory(u16(root_)));
  }
  void TearDown() override { remove_tree(root_); }

  std::u16string path(std::wstring_view name) const {
    return u16(root_ + L"\\" + std::wstring(name));
  }

  UniqueHandle open(std::u16string_view name) {
    auto handle =
        os.create_file(name, kOpenAttributes, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    EXPECT_TRUE(handle) << "error " << (handle ? 0u : handle.error());
    return handle ? UniqueHandle(os, *handle) : UniqueHandle();
  }

  void make_file(std::wstring_view name, std::string_view bytes) {
    auto file = os.create_file(path(name), GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(file);
    UniqueHandle owner(os, *file);
    ASSERT_TRUE(os.write_file(*file, bytes));
  }

  static void remove_tree(const std::wstring& directory) {
    ::WIN32_FIND_DATAW entry;
    const HANDLE search = ::FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") {
          continue;
        }
        const std::wstring child = directory + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          remove_tree(child);
        } else {
          ::DeleteFileW(child.c_str());
        }
      } while (::FindNextFileW(search, &entry));
      ::FindClose(search);
    }
    ::RemoveDirectoryW(directory.c_str());
  }

  std::wstring root_;
};

// --- error texts ------------------------------------------------------------

constexpr std::uint32_t kFromSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

TEST_F(Win32OsTest, FormatMessageReturnsJustTheUnitsWritten) {
  for (const std::uint32_t code :
       {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_ALREADY_EXISTS}) {
    const auto text = os.format_message(kFromSystem, ModuleHandle{}, code, 2048);
    ASSERT_TRUE(text) << "code " << code << ": error " << text.error();
    EXPECT_GT(text->size(), 2u) << code;
    EXPECT_EQ(text->find(u'\0'), std::u16string::npos) << code;
    // The system ends its messages with a line break; the caller trims it.
    EXPECT_TRUE(text->ends_with(u"\r\n")) << code;
  }
  EXPECT_NE(*os.format_message(kFromSystem, ModuleHandle{}, 2, 2048),
            *os.format_message(kFromSystem, ModuleHandle{}, 5, 2048));
}

TEST_F(Win32OsTest, FormatMessageFailuresReportTheLastError) {
  struct Case {
    std::uint32_t code;
    std::uint32_t capacity;
    std::uint32_t error;
  };
  for (const Case c :
       {Case{2, 3, ERROR_INSUFFICIENT_BUFFER}, Case{0x2ABCDEF1, 2048, ERROR_MR_MID_NOT_FOUND}}) {
    const auto text = os.format_message(kFromSystem, ModuleHandle{}, c.code, c.capacity);
    ASSERT_FALSE(text) << c.code;
    EXPECT_EQ(text.error(), c.error) << c.code;
  }
}

TEST_F(Win32OsTest, NtStatusTextsComeFromTheNtdllMessageTable) {
  const auto ntdll = os.get_module_handle(u"NTDLL.DLL");
  ASSERT_TRUE(ntdll);
  EXPECT_EQ(ntdll->value, static_cast<void*>(::GetModuleHandleW(L"ntdll.dll")));
  const auto text = os.format_message(kFromSystem | FORMAT_MESSAGE_FROM_HMODULE, *ntdll,
                                      0xC0000022 /* STATUS_ACCESS_DENIED */, 2048);
  if (!text && e2e::running_under_wine()) {
    GTEST_SKIP() << "Wine's ntdll has no message table (error " << text.error() << ")";
  }
  ASSERT_TRUE(text) << "error " << text.error();
  EXPECT_GT(text->size(), 2u);
}

TEST_F(Win32OsTest, ModuleHandleOfAModuleNotLoadedIsNone) {
  EXPECT_FALSE(os.get_module_handle(u"obrex-no-such-module.dll"));
}

// --- environment ------------------------------------------------------------

TEST_F(Win32OsTest, EnvironmentTellsUnsetFromEmptyAndKeepsEveryUnit) {
  const std::u16string name = u"OBREX_ADAPTER_TEST_VARIABLE";
  const std::u16string long_value(5000, u'x'); // beyond the first buffer
  const std::u16string odd_units = {u'a', char16_t(0xD800), u'\u00e9', u'b'};
  for (const std::u16string& value : {std::u16string(u"value"), std::u16string(), long_value,
                                      odd_units, std::u16string(u"C:\\dir with spaces\\")}) {
    ASSERT_TRUE(os.set_environment_variable(name, value));
    const auto read = os.get_environment_variable(name);
    ASSERT_TRUE(read) << "length " << value.size();
    EXPECT_EQ(*read, value);
  }
  ::SetEnvironmentVariableW(wide(name).c_str(), nullptr);
  EXPECT_EQ(os.get_environment_variable(name), std::nullopt);
  EXPECT_EQ(os.get_environment_variable(u"OBREX_NEVER_SET_ANYWHERE"), std::nullopt);
}

TEST_F(Win32OsTest, SettingAnInvalidNameFails) {
  const auto result = os.set_environment_variable(u"A=B", u"x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), static_cast<std::uint32_t>(ERROR_INVALID_PARAMETER));
}

// --- files ------------------------------------------------------------------

TEST_F(Win32OsFilesTest, SameDirectoryHasTheSameIdThroughEveryPathText) {
  ASSERT_TRUE(os.create_directory(path(L"project")));
  ASSERT_TRUE(os.create_directory(path(L"other")));
  const auto id_of = [&](const std::u16string& text) {
    UniqueHandle handle = open(text);
    const auto id = os.get_file_id_info(handle.get());
    EXPECT_TRUE(id) << "error " << (id ? 0u : id.error());
    return id.value_or(FILE_ID_INFO{});
  };
  const FILE_ID_INFO project = id_of(path(L"project"));
  std::u16string slashes = path(L"project");
  std::replace(slashes.begin(), slashes.end(), u'\\', u'/');
  for (const std::u16string& text :
       {path(L".\\project"), path(L"project\\."), path(L"other\\..\\project\\"), slashes}) {
    const FILE_ID_INFO same = id_of(text);
    EXPECT_EQ(same.VolumeSerialNumber, project.VolumeSerialNumber);
    EXPECT_EQ(0, std::memcmp(same.FileId, project.FileId, sizeof same.FileId)) << display(text);
  }
  const FILE_ID_INFO other = id_of(path(L"other"));
  EXPECT_NE(0, std::memcmp(other.FileId, project.FileId, sizeof other.FileId));
}

TEST_F(Win32OsFilesTest, AttributesOfFilesAndDirectories) {
  ASSERT_TRUE(os.create_directory(path(L"dir")));
  make_file(L"file.txt", "content");
  struct Case {
    const wchar_t* name;
    bool directory;
  };
  for (const Case c : {Case{L"dir", true}, Case{L"file.txt", false}}) {
    UniqueHandle handle = open(path(c.name));
    const auto information = os.get_file_information_by_handle(handle.get());
    ASSERT_TRUE(information);
    EXPECT_EQ((information->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, c.directory);
    const auto tag = os.get_file_attribute_tag_info(handle.get());
    ASSERT_TRUE(tag);
    EXPECT_EQ(tag->FileAttributes, information->dwFileAttributes);
    EXPECT_EQ(tag->ReparseTag, 0u);
    const auto found = os.find_first_file_ex(path(c.name));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->dwFileAttributes, information->dwFileAttributes);
    EXPECT_TRUE(os.close_handle(handle.release()));
  }
}

TEST_F(Win32OsFilesTest, MissingPathsReportNotFound) {
  const auto opened = os.create_file(path(L"missing"), kOpenAttributes, kShareAll, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  const auto found = os.find_first_file_ex(path(L"missing"));
  ASSERT_FALSE(found);
  EXPECT_EQ(found.error(), static_cast<std::uint32_t>(ERROR_FILE_NOT_FOUND));
  const auto deeper = os.create_directory(path(L"missing\\child"));
  ASSERT_FALSE(deeper);
  EXPECT_EQ(deeper.error(), static_cast<std::uint32_t>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Win32OsFilesTest, CreatingAnExistingDirectoryOrFileReportsAlreadyExists) {
  ASSERT_TRUE(os.create_directory(path(L"dir")));
  make_file(L"file", "");
  for (const wchar_t* name : {L"dir", L"file"}) {
    const auto again = os.create_directory(path(name));
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error(), static_cast<std::uint32_t>(ERROR_ALREADY_EXISTS));
  }
}

TEST_F(Win32OsFilesTest, WriteFileWritesEveryByte) {
  std::string bytes(3 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(i * 7 + i / 251);
  }
  make_file(L"big", bytes);
  const auto file = os.create_file(path(L"big"), GENERIC_READ, 0, OPEN_EXISTING, 0);
  ASSERT_TRUE(file);
  UniqueHandle owner(os, *file);
  std::string read(bytes.size() + 1, '\0');
  DWORD length = 0;
  ASSERT_TRUE(
      ::ReadFile(file->value, read.data(), static_cast<DWORD>(read.size()), &length, nullptr));
  read.resize(length);
  EXPECT_TRUE(read == bytes) << read.size();
}

TEST_F(Win32OsFilesTest, ConsoleCallsOnAFileFail) {
  make_file(L"not-a-console", "");
  const auto file = os.create_file(path(L"not-a-console"), GENERIC_WRITE, 0, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(file);
  UniqueHandle handle(os, *file);
  EXPECT_FALSE(os.get_console_mode(handle.get()));
  EXPECT_FALSE(os.write_console(handle.get(), u"text"));
}

TEST_F(Win32OsTest, FullPathNamesGrowAsNeeded) {
  wchar_t current[MAX_PATH];
  const DWORD length = ::GetCurrentDirectoryW(MAX_PATH, current);
  ASSERT_GT(length, 0u);
  std::u16string base = u16(std::wstring_view(current, length));
  if (!base.ends_with(u'\\')) {
    base += u'\\';
  }
  const std::u16string deep =
      u"a\\" + std::u16string(300, u'n') + u"\\" + std::u16string(300, u'm');
  struct Case {
    std::u16string relative;
    std::u16string absolute;
  };
  for (const Case& c :
       {Case{u"x\\..\\y", base + u"y"}, Case{u"x/./y", base + u"x\\y"}, Case{deep, base + deep}}) {
    const auto full = os.get_full_path_name(c.relative);
    ASSERT_TRUE(full) << "error " << full.error();
    EXPECT_EQ(*full, c.absolute) << display(c.relative);
  }
}

TEST_F(Win32OsTest, TheModuleIsTheTestProgram) {
  const auto name = os.get_module_file_name();
  ASSERT_TRUE(name);
  EXPECT_TRUE(name->ends_with(u"\\obrex_windows_tests.exe")) << display(*name);
  const auto found = os.find_first_file_ex(*name);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(Win32OsTest, ProfileFolderIsAnExistingDirectory) {
  const auto profile = os.get_known_folder_path_profile();
  ASSERT_TRUE(profile) << "HRESULT " << profile.error();
  ASSERT_FALSE(profile->empty());
  EXPECT_EQ(profile->find(u'\0'), std::u16string::npos);
  const auto found = os.find_first_file_ex(*profile);
  ASSERT_TRUE(found) << "error " << found.error();
  EXPECT_NE(found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// --- SIDs and security descriptors ------------------------------------------

TEST_F(Win32OsTest, SidTextsRoundTrip) {
  struct Case {
    std::u16string text;
    std::u16string canonical;
    std::uint32_t length;
  };
  for (const Case& c :
       {Case{u"S-1-1-0", u"S-1-1-0", 12}, Case{u"WD", u"S-1-1-0", 12},
        Case{u"S-1-16-4096", u"S-1-16-4096", 12},
        Case{u"S-1-5-21-1-2-3-4", u"S-1-5-21-1-2-3-4", 28},
        Case{u"S-1-5-21-4294967295-2147483648-0-12", u"S-1-5-21-4294967295-2147483648-0-12", 28}}) {
    const auto sid = os.convert_string_sid_to_sid(c.text);
    ASSERT_TRUE(sid) << display(c.text);
    LocalMemory<SidPtr> owner(os, *sid);
    EXPECT_EQ(os.get_length_sid(*sid), c.length);
    EXPECT_EQ(os.convert_sid_to_string_sid(*sid), c.canonical);
  }
  const auto invalid = os.convert_string_sid_to_sid(u"S-1-x");
  ASSERT_FALSE(invalid);
  EXPECT_EQ(invalid.error(), static_cast<std::uint32_t>(ERROR_INVALID_SID));
}

TEST_F(Win32OsTest, SecurityDescriptorTextsRoundTrip) {
  const std::u16string dacl_text = u"D:(A;;GA;;;SY)(A;;GA;;;WD)(A;;GA;;;S-1-5-21-1-2-3-4)";
  const auto descriptor =
      os.convert_string_security_descriptor_to_security_descriptor(dacl_text, SDDL_REVISION_1);
  ASSERT_TRUE(descriptor) << "error " << descriptor.error();
  LocalMemory<SecurityDescriptorPtr> owner(os, *descriptor);
  EXPECT_EQ(os.convert_security_descriptor_to_string_security_descriptor(
                *descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION),
            dacl_text);
  const auto dacl = os.get_security_descriptor_dacl(*descriptor);
  ASSERT_TRUE(dacl);
  EXPECT_NE(dacl->value, nullptr);
  const auto sacl = os.get_security_descriptor_sacl(*descriptor);
  ASSERT_TRUE(sacl);
  EXPECT_EQ(sacl->value, nullptr); // no S: part

  const auto invalid = os.convert_string_security_descriptor_to_security_descriptor(
      u"D:(A;;GA;;;no-such-sid)", SDDL_REVISION_1);
  EXPECT_FALSE(invalid);
}

TEST_F(Win32OsTest, LabelTextsRoundTrip) {
  const std::u16string label = u"S:(ML;OICI;NWNR;;;ME)";
  const auto descriptor =
      os.convert_string_security_descriptor_to_security_descriptor(label, SDDL_REVISION_1);
  ASSERT_TRUE(descriptor) << "error " << descriptor.error();
  LocalMemory<SecurityDescriptorPtr> owner(os, *descriptor);
  const auto sacl = os.get_security_descriptor_sacl(*descriptor);
  ASSERT_TRUE(sacl);
  EXPECT_NE(sacl->value, nullptr);
  const auto text = os.convert_security_descriptor_to_string_security_descriptor(
      *descriptor, SDDL_REVISION_1, LABEL_SECURITY_INFORMATION);
  if (text != label && e2e::running_under_wine()) {
    GTEST_SKIP() << "Wine does not format mandatory labels as Windows does";
  }
  EXPECT_EQ(text, label);
}

TEST_F(Win32OsFilesTest, DaclGrantIsWrittenAndReadBack) {
  ASSERT_TRUE(os.create_directory(path(L"granted")));
  const auto before =
      os.get_named_security_info(path(L"granted"), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, true);
  ASSERT_TRUE(before) << "status " << before.error();
  LocalMemory<SecurityDescriptorPtr> before_owner(os, before->descriptor);

  const auto sid = os.convert_string_sid_to_sid(u"S-1-5-21-1-2-3-4");
  ASSERT_TRUE(sid);
  LocalMemory<SidPtr> sid_owner(os, *sid);
  EXPLICIT_ACCESS_W entry;
  entry.grfAccessPermissions = FILE_ALL_ACCESS;
  entry.grfAccessMode = GRANT_ACCESS;
  entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
  entry.Trustee.ptstrName = sid->value;
  const auto acl = os.set_entries_in_acl(entry, before->dacl);
  ASSERT_TRUE(acl) << "status " << acl.error();
  LocalMemory<AclPtr> acl_owner(os, *acl);
  const auto set = os.set_named_security_info(path(L"granted"), SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION, *acl, AclPtr{});
  ASSERT_TRUE(set) << "status " << set.error();

  const auto after = os.get_named_security_info(path(L"granted"), SE_FILE_OBJECT,
                                                DACL_SECURITY_INFORMATION, false);
  ASSERT_TRUE(after) << "status " << after.error();
  LocalMemory<SecurityDescriptorPtr> after_owner(os, after->descriptor);
  EXPECT_EQ(after->dacl.value, nullptr); // not asked for
  const auto text = os.convert_security_descriptor_to_string_security_descriptor(
      after->descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION);
  ASSERT_TRUE(text);
  if (text->find(u"S-1-5-21-1-2-3-4") == std::u16string::npos && e2e::running_under_wine()) {
    GTEST_SKIP() << "Wine does not keep the DACL written to a directory: it reads back "
                 << display(*text);
  }
  EXPECT_NE(text->find(u"(A;OICI;FA;;;S-1-5-21-1-2-3-4)"), std::u16string::npos) << display(*text);
}

TEST_F(Win32OsFilesTest, LowLabelIsWrittenAndReadBack) {
  if (e2e::running_under_wine()) {
    GTEST_SKIP() << "Wine does not read or write integrity labels (GetNamedSecurityInfoW "
                    "with LABEL_SECURITY_INFORMATION fails with 5)";
  }
  ASSERT_TRUE(os.create_directory(path(L"labelled")));
  const auto descriptor = os.convert_string_security_descriptor_to_security_descriptor(
      u"S:(ML;OICI;NW;;;LW)", SDDL_REVISION_1);
  ASSERT_TRUE(descriptor);
  LocalMemory<SecurityDescriptorPtr> owner(os, *descriptor);
  const auto sacl = os.get_security_descriptor_sacl(*descriptor);
  ASSERT_TRUE(sacl);
  ASSERT_TRUE(os.set_named_security_info(path(L"labelled"), SE_FILE_OBJECT,
                                         LABEL_SECURITY_INFORMATION, AclPtr{}, *sacl));
  const auto read = os.get_named_security_info(path(L"labelled"), SE_FILE_OBJECT,
                                               LABEL_SECURITY_INFORMATION, false);
  ASSERT_TRUE(read) << "status " << read.error();
  LocalMemory<SecurityDescriptorPtr> read_owner(os, read->descriptor);
  const auto text = os.convert_security_descriptor_to_string_security_descriptor(
      read->descriptor, SDDL_REVISION_1, LABEL_SECURITY_INFORMATION);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find(u";NW;;;LW)"), std::u16string::npos);
}

// --- tokens -----------------------------------------------------------------

// A token information record, read with the size call first; empty when
// the token has none.
std::vector<std::uint64_t> read_token(Os& os, Handle token, std::uint32_t kind) {
  std::uint32_t needed = 0;
  const auto sizing = os.get_token_information(token, kind, nullptr, 0, needed);
  EXPECT_FALSE(sizing);
  EXPECT_EQ(sizing ? 0u : sizing.error(), static_cast<std::uint32_t>(ERROR_INSUFFICIENT_BUFFER));
  std::vector<std::uint64_t> buffer((needed + 7) / 8);
  std::uint32_t again = 0;
  if (needed == 0 || !os.get_token_information(token, kind, buffer.data(), needed, again)) {
    return {};
  }
  EXPECT_EQ(again, needed);
  return buffer;
}

TEST_F(Win32OsTest, TokenRecordsAreReadInPlace) {
  const auto token = os.open_process_token(TOKEN_QUERY);
  ASSERT_TRUE(token) << "error " << token.error();
  UniqueHandle owner(os, *token);

  const auto user = read_token(os, *token, TokenUser);
  ASSERT_FALSE(user.empty());
  const auto* user_record = reinterpret_cast<const TOKEN_USER*>(user.data());
  const auto user_text = os.convert_sid_to_string_sid(user_record->User.Sid);
  ASSERT_TRUE(user_text);
  EXPECT_TRUE(user_text->starts_with(u"S-1-5-")) << display(*user_text);

  const auto groups = read_token(os, *token, TokenGroups);
  ASSERT_FALSE(groups.empty());
  const auto* group_record = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
  ASSERT_GT(group_record->GroupCount, 0u);
  bool everyone = false;
  for (std::uint32_t i = 0; i < group_record->GroupCount; ++i) {
    const auto text = os.convert_sid_to_string_sid(group_record->Groups[i].Sid);
    ASSERT_TRUE(text) << i;
    everyone = everyone || *text == u"S-1-1-0";
  }
  EXPECT_TRUE(everyone);
}

TEST_F(Win32OsTest, RestrictedLowTokenCarriesItsSids) {
  if (e2e::running_under_wine()) {
    GTEST_SKIP() << "Wine keeps no integrity level set on a token and reports no restricting "
                    "SIDs";
  }
  const auto token = os.open_process_token(TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY |
                                           TOKEN_ADJUST_DEFAULT);
  ASSERT_TRUE(token);
  UniqueHandle owner(os, *token);
  const auto sandbox = os.convert_string_sid_to_sid(u"S-1-5-21-1-2-3-4");
  const auto everyone = os.convert_string_sid_to_sid(u"S-1-1-0");
  const auto low = os.convert_string_sid_to_sid(u"S-1-16-4096");
  ASSERT_TRUE(sandbox && everyone && low);
  LocalMemory<SidPtr> owners[] = {{os, *sandbox}, {os, *everyone}, {os, *low}};
  const SID_AND_ATTRIBUTES restricting[] = {{*sandbox, 0}, {*everyone, 0}};
  const auto restricted = os.create_restricted_token(*token, 0x9, restricting);
  ASSERT_TRUE(restricted) << "error " << restricted.error();
  UniqueHandle restricted_owner(os, *restricted);

  TOKEN_MANDATORY_LABEL label;
  label.Label.Sid = *low;
  label.Label.Attributes = SE_GROUP_INTEGRITY;
  ASSERT_TRUE(os.set_token_information(*restricted, TokenIntegrityLevel, &label,
                                       sizeof label + os.get_length_sid(*low)));
  const auto level = read_token(os, *restricted, TokenIntegrityLevel);
  ASSERT_FALSE(level.empty());
  EXPECT_EQ(os.convert_sid_to_string_sid(
                reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(level.data())->Label.Sid),
            u"S-1-16-4096");
  const auto sids = read_token(os, *restricted, TokenRestrictedSids);
  ASSERT_FALSE(sids.empty());
  const auto* record = reinterpret_cast<const TOKEN_GROUPS*>(sids.data());
  ASSERT_EQ(record->GroupCount, 2u);
  EXPECT_EQ(os.convert_sid_to_string_sid(record->Groups[0].Sid), u"S-1-5-21-1-2-3-4");
  EXPECT_EQ(os.convert_sid_to_string_sid(record->Groups[1].Sid), u"S-1-1-0");
}

// --- jobs and processes -----------------------------------------------------

// A job with every user-interface limit, as a launch makes it.
UniqueHandle restricted_job(Os& os) {
  const auto job = os.create_job_object();
  EXPECT_TRUE(job) << "error " << (job ? 0u : job.error());
  if (!job) {
    return {};
  }
  UniqueHandle owner(os, *job);
  JOBOBJECT_BASIC_UI_RESTRICTIONS limits;
  limits.UIRestrictionsClass = JOB_OBJECT_UILIMIT_ALL;
  EXPECT_TRUE(os.set_information_job_object(*job, JobObjectBasicUIRestrictions, &limits, 4));
  return owner;
}

TEST_F(Win32OsTest, JobKeepsItsUserInterfaceLimits) {
  const UniqueHandle job = restricted_job(os);
  ASSERT_TRUE(job);
  ::JOBOBJECT_BASIC_UI_RESTRICTIONS read{};
  if (!::QueryInformationJobObject(job.get().value, ::JobObjectBasicUIRestrictions, &read,
                                   sizeof read, nullptr) &&
      e2e::running_under_wine()) {
    GTEST_SKIP() << "Wine does not report a job's user-interface limits (error " << ::GetLastError()
                 << ")";
  }
  EXPECT_EQ(read.UIRestrictionsClass, static_cast<DWORD>(JOB_OBJECT_UILIMIT_ALL));
}

TEST_F(Win32OsTest, ProcessStartsSuspendedInAJobAndItsExitCodeComesBack) {
  const UniqueHandle job = restricted_job(os);
  ASSERT_TRUE(job);

  const auto token = os.open_process_token(TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY);
  ASSERT_TRUE(token);
  UniqueHandle token_owner(os, *token);
  // A restricted copy of one's own token can be given to a child without
  // any privilege.
  const auto child_token = os.create_restricted_token(*token, 0, {});
  ASSERT_TRUE(child_token) << "error " << child_token.error();
  UniqueHandle child_token_owner(os, *child_token);

  // The child's standard output is a pipe, so that what it saw can be read.
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  ASSERT_TRUE(::CreatePipe(&read_end, &write_end, &inheritable, 1 << 16));
  UniqueHandle read_owner(os, Handle{read_end});
  UniqueHandle write_owner(os, Handle{write_end});
  ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = os.get_std_handle(STD_INPUT_HANDLE);
  startup.hStdOutput = Handle{write_end};
  startup.hStdError = os.get_std_handle(STD_ERROR_HANDLE);

  const std::u16string probe = u16(e2e::probe_path());
  for (const std::uint32_t code : {0u, 3u, 126u, 0xC0000005u}) {
    const std::u16string sent =
        u"\"" + probe + u"\" \"two words\" exit=" + u16(std::to_wstring(code));
    std::u16string line = sent;
    const auto process =
        os.create_process_as_user(*child_token, probe, line, true, CREATE_SUSPENDED, startup);
    ASSERT_TRUE(process) << "error " << process.error();
    UniqueHandle process_owner(os, process->hProcess);
    UniqueHandle thread_owner(os, process->hThread);
    // Suspended: it has not ended.
    EXPECT_EQ(os.wait_for_single_object(process->hProcess, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(os.assign_process_to_job_object(job.get(), process->hProcess));
    EXPECT_EQ(os.resume_thread(process->hThread), 1u); // the previous suspend count
    EXPECT_EQ(os.wait_for_single_object(process->hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(os.get_exit_code_process(process->hProcess), code);

    // The child has ended: all it wrote waits in the pipe.
    std::string seen(1 << 16, '\0');
    DWORD available = 0;
    ASSERT_TRUE(::PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr));
    DWORD length = 0;
    if (available > 0) {
      ASSERT_TRUE(::ReadFile(read_end, seen.data(), available, &length, nullptr));
    }
    seen.resize(length);
    EXPECT_EQ(e2e::probe_value(seen, "command_line"), e2e::utf8(wide(sent)));
    EXPECT_EQ(e2e::probe_value(seen, "arg1"), "two words");
    EXPECT_EQ(e2e::probe_value(seen, "in_job"), "1");
    if (!e2e::running_under_wine()) {
      EXPECT_EQ(e2e::probe_value(seen, "ui_restrictions"), "0xFF");
    }
  }
}

TEST_F(Win32OsTest, ProcessCallsOnAnInvalidHandleReportItsError) {
  const Handle invalid{};
  const auto invalid_handle = static_cast<std::uint32_t>(ERROR_INVALID_HANDLE);
  EXPECT_EQ(os.resume_thread(invalid), std::unexpected(invalid_handle));
  EXPECT_EQ(os.wait_for_single_object(invalid, 0), std::unexpected(invalid_handle));
  EXPECT_EQ(os.get_exit_code_process(invalid), std::unexpected(invalid_handle));
  EXPECT_EQ(os.assign_process_to_job_object(invalid, invalid), std::unexpected(invalid_handle));
  EXPECT_FALSE(os.close_handle(invalid));
}

TEST_F(Win32OsTest, ErrorModeReturnsThePreviousMode) {
  const std::uint32_t original = os.set_error_mode(SEM_FAILCRITICALERRORS);
  EXPECT_EQ(os.set_error_mode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX),
            static_cast<std::uint32_t>(SEM_FAILCRITICALERRORS));
  EXPECT_EQ(::GetErrorMode(), static_cast<UINT>(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX));
  os.set_error_mode(original);
}

// --- SHA-256 ----------------------------------------------------------------

TEST(Sha256Cng, KnownDigests) {
  struct Case {
    std::string_view input;
    Sha256Digest digest;
  };
  const Case cases[] = {
      {"abc", {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
               0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
               0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad}},
      {"", {0xe3, 0xb0, 0xc4, 0x42, 0x98, 0xfc, 0x1c, 0x14, 0x9a, 0xfb, 0xf4,
            0xc8, 0x99, 0x6f, 0xb9, 0x24, 0x27, 0xae, 0x41, 0xe4, 0x64, 0x9b,
            0x93, 0x4c, 0xa4, 0x95, 0x99, 0x1b, 0x78, 0x52, 0xb8, 0x55}},
      {"tornel.obrex.sandbox:0000000012345678-000102030405060708090a0b0c0d0e0f",
       {0x83, 0x7e, 0xe0, 0x27, 0xed, 0xdd, 0x89, 0xd5, 0xb9, 0xcf, 0x48,
        0x33, 0xb0, 0xae, 0x53, 0x7a, 0xf6, 0xc0, 0xaf, 0x3d, 0x12, 0xbd,
        0x5c, 0x7f, 0x21, 0x0d, 0x49, 0xeb, 0xa1, 0x08, 0xdd, 0x94}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sha256(c.input), c.digest) << c.input;
  }
}

} // namespace
} // namespace obrex
