#include "identity/sandbox_identity.h"

#include <gtest/gtest.h>

#include <numeric>

#include "platform/constants.h"
#include "platform/text.h"
#include "support/simulated_os.h"

namespace obrex {
namespace {

using test::SimulatedOs;

constexpr const char* kWorkedFileId = "0000000012345678-000102030405060708090a0b0c0d0e0f";
constexpr const char* kWorkedSandboxSid = "S-1-5-21-669023875-3582582253-860409785-2052304560";
constexpr const char* kWorkedReadOnlySid = "S-1-5-21-1868805269-3114411757-4043673337-2385440343";

FILE_ID_INFO worked_file_id() {
  FILE_ID_INFO info;
  info.VolumeSerialNumber = 0x12345678;
  std::iota(std::begin(info.FileId), std::end(info.FileId), std::uint8_t{0});
  return info;
}

std::string hex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

TEST(SandboxIdentity, WorkedExampleByteForByte) {
  const std::string id = file_id_text(worked_file_id());
  EXPECT_EQ(id, kWorkedFileId);
  const std::string seed = std::string(kSandboxLabel) + id;
  EXPECT_EQ(seed, "tornel.obrex.sandbox:0000000012345678-000102030405060708090a0b0c0d0e0f");
  EXPECT_EQ(seed.size(), 70u);
  EXPECT_EQ(hex(sha256(seed)), "837ee027eddd89d5b9cf4833b0ae537af6c0af3d12bd5c7f210d49eba108dd94");
  EXPECT_EQ(sid_text_from_digest(sha256(seed)), kWorkedSandboxSid);
  const std::string read_only_seed = std::string(kReadOnlyLabel) + id;
  EXPECT_EQ(read_only_seed.size(), 80u);
  EXPECT_EQ(sid_text_from_digest(sha256(read_only_seed)), kWorkedReadOnlySid);
}

TEST(SandboxIdentity, Sha256AdapterGivesTheStandardDigests) {
  EXPECT_EQ(hex(sha256("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex(sha256("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(SandboxIdentity, FileIdTextPadsTheSerialAndKeepsByteOrder) {
  FILE_ID_INFO zero;
  EXPECT_EQ(file_id_text(zero), "0000000000000000-00000000000000000000000000000000");
  FILE_ID_INFO full;
  full.VolumeSerialNumber = 0xFEDCBA9876543210;
  const std::uint8_t bytes[16] = {0xAB, 0xCD, 0xEF, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0F, 0xF0};
  std::copy(std::begin(bytes), std::end(bytes), std::begin(full.FileId));
  EXPECT_EQ(file_id_text(full), "fedcba9876543210-abcdef10"
                                "00000000000000000000"
                                "0ff0");
}

TEST(SandboxIdentity, SidTextReadsFourLittleEndianWordsAndIgnoresTheRest) {
  Sha256Digest digest{};
  EXPECT_EQ(sid_text_from_digest(digest), "S-1-5-21-0-0-0-0");
  digest = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  EXPECT_EQ(sid_text_from_digest(digest), "S-1-5-21-1-256-65536-16777216");
  digest.fill(0xFF);
  EXPECT_EQ(sid_text_from_digest(digest), "S-1-5-21-4294967295-4294967295-4294967295-4294967295");
  for (std::size_t i = 16; i < digest.size(); ++i) {
    digest[i] = 0;
  }
  EXPECT_EQ(sid_text_from_digest(digest), "S-1-5-21-4294967295-4294967295-4294967295-4294967295");
}

struct PathCase {
  const char* a;
  const char* b;
  bool equal;
};

TEST(SandboxIdentity, PathEquality) {
  const PathCase cases[] = {
      // Drive letter case, separator kind and a trailing separator do not matter.
      {R"(C:\Work\proj)", "c:/Work/proj/", true},
      {R"(C:\Work\proj)", R"(C:\\Work\\\proj\\)", true},
      {R"(C:\Work\proj)", R"(C:\work\proj)", false},
      {R"(C:\Work\proj)", R"(C:\Work)", false},
      {R"(C:\Work\proj)", R"(C:\Work\proj\src)", false},
      {R"(C:\Work\proj)", "proj", false},
      {R"(C:\Work\.\proj)", R"(C:\Work\proj)", true},
      {R"(C:\Work\proj\.)", R"(C:\Work\proj)", true},
      {R"(C:\Work\x\..\proj)", R"(C:\Work\proj)", false},
      {R"(C:\Work\..)", R"(C:\Work\..\)", true},
      // The root is a component; a leading "." counts only without a root.
      {R"(C:\Work)", "C:Work", false},
      {R"(C:\Work)", R"(\Work)", false},
      {"C:", R"(C:\)", false},
      {R"(.\proj)", "proj", false},
      {R"(.\proj)", "./proj/", true},
      {R"(proj\.)", "proj", true},
      {"C:.\\x", "C:x", false},
      {R"(\.\Work)", R"(\Work)", true},
      // UNC shares and devices are prefixes of their own.
      {R"(\\server\share\x)", "//server/share/x", true},
      {R"(\\server\share)", R"(\\server\share\)", true},
      {R"(\\server\share\x)", R"(\server\share\x)", false},
      {R"(\\server\share\x)", R"(\\Server\share\x)", false},
      {R"(\\.\COM1)", "//./COM1", true},
      // After \\?\ only '\' separates and "." counts.
      {R"(\\?\C:\Work\proj)", R"(\\?\C:\Work\proj)", true},
      {R"(\\?\C:\Work\.\proj)", R"(\\?\C:\Work\.\proj)", true},
      {R"(\\?\C:\Work\proj)", R"(\\?\c:\Work\proj)", true},
      {R"(\\?\C:\Work\\proj\)", R"(\\?\C:\Work\proj)", true},
      {R"(\\?\C:\Work\proj)", R"(C:\Work\proj)", false},
      {R"(\\?\C:\Work/proj)", R"(\\?\C:\Work\proj)", false},
      {R"(\\?\C:\Work\.\proj)", R"(\\?\C:\Work\proj)", false},
      {R"(\\?\C:\Work\proj\.)", R"(\\?\C:\Work\proj)", false},
      {R"(\\?\C:\Work\x\..\proj)", R"(\\?\C:\Work\proj)", false},
      {R"(\\?\C:)", R"(\\?\C:\)", false},
      {R"(\\?\UNC\server\share\x)", R"(\\server\share\x)", false},
      {R"(\\?\UNC\server\share\x)", R"(\\?\UNC\server\share\\x\)", true},
      {R"(\\?\Volume{1}\x)", R"(\\?\volume{1}\x)", false},
      {"", ".", false},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(paths_equal(c.a, c.b), c.equal) << c.a << " vs " << c.b;
    EXPECT_EQ(paths_equal(c.b, c.a), c.equal) << c.b << " vs " << c.a;
  }
}

TEST(SandboxIdentity, LabelIsReadOnlyOnlyForAnEqualEntry) {
  const std::string project = R"(C:\Work\proj)";
  EXPECT_EQ(choose_label(project, {}), kSandboxLabel);
  EXPECT_EQ(choose_label(project, {R"(C:\Work)", R"(C:\Work\proj\src)", "proj"}), kSandboxLabel);
  EXPECT_EQ(choose_label(project, {R"(D:\x)", "c:/Work/proj/", R"(C:\work\proj)"}), kReadOnlyLabel);
}

// Records the arguments of every CreateFileW.
class OpenRecordingOs : public SimulatedOs {
public:
  struct Open {
    std::u16string path;
    std::uint32_t access, share, disposition, flags;
  };
  std::vector<Open> opens;

  OsResult<Handle> create_file(std::u16string_view path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t disposition, std::uint32_t flags) override {
    opens.push_back({std::u16string(path), access, share, disposition, flags});
    return SimulatedOs::create_file(path, access, share, disposition, flags);
  }
};

class DeriveTest : public testing::Test {
protected:
  DeriveTest() {
    test::SimFile& project = os.add_directory(u"C:\\Work\\proj");
    project.volume_serial = 0x12345678;
    std::iota(std::begin(project.file_id), std::end(project.file_id), std::uint8_t{0});
    // A directory on a volume without file IDs.
    os.add_directory(u"C:\\Work\\noid").file_id_error = 1;
    os.system_messages[1] = u"Incorrect function.\r\n";
  }
  OpenRecordingOs os;
};

TEST_F(DeriveTest, DerivesTheWorkedSidsUnderEitherLabel) {
  struct Case {
    std::string project;
    std::vector<std::string> read_only;
    const char* sid;
  };
  const Case cases[] = {
      {R"(C:\Work\proj)", {}, kWorkedSandboxSid},
      {R"(C:\Work\proj)", {R"(C:\work\proj)", R"(C:\Work)"}, kWorkedSandboxSid},
      {R"(C:\Work\proj)", {R"(D:\other)", "c:/Work/proj/"}, kWorkedReadOnlySid},
      // Another path text reaches the same directory: same file identity.
      {R"(c:/work/./proj/)", {}, kWorkedSandboxSid},
  };
  for (const Case& c : cases) {
    os.opens.clear();
    const std::size_t log_start = os.call_log().size();
    {
      const auto identity = derive_sandbox_identity(os, c.project, c.read_only);
      ASSERT_TRUE(identity) << identity.error().message;
      EXPECT_EQ(identity->sid_text, c.sid);
      const std::string* held = os.sid_text(identity->sid.get());
      ASSERT_NE(held, nullptr);
      EXPECT_EQ(*held, c.sid);
      EXPECT_EQ(os.open_handles(), 0u);
      EXPECT_EQ(os.live_allocations(), 1u); // the identity's own SID
    }
    EXPECT_EQ(os.live_allocations(), 0u);
    ASSERT_EQ(os.opens.size(), 1u);
    EXPECT_EQ(os.opens[0].path, utf8_to_utf16(c.project));
    EXPECT_EQ(os.opens[0].access, 0x80u);
    EXPECT_EQ(os.opens[0].share, 7u);
    EXPECT_EQ(os.opens[0].disposition, 3u);
    EXPECT_EQ(os.opens[0].flags, 0x02000000u);
    const std::vector<std::string> log(os.call_log().begin() + static_cast<long>(log_start),
                                       os.call_log().end());
    const std::vector<std::string> expected = {"create_file",
                                               "get_file_id_info",
                                               "close_handle",
                                               "convert_string_sid_to_sid",
                                               "convert_sid_to_string_sid",
                                               "local_free"};
    EXPECT_EQ(log, expected);
  }
}

TEST_F(DeriveTest, FollowsLinksAndAcceptsAFile) {
  test::SimFile& link = os.add_file(u"D:\\link");
  link.reparse_tag = win::IO_REPARSE_TAG_MOUNT_POINT;
  link.link_target = u"C:\\Work\\proj";
  const auto through_link = derive_sandbox_identity(os, R"(D:\link)", {R"(C:\Work\proj)"});
  ASSERT_TRUE(through_link) << through_link.error().message;
  EXPECT_EQ(through_link->sid_text, kWorkedSandboxSid);

  os.add_file(u"C:\\Work\\file.txt").volume_serial = 0;
  const auto of_file = derive_sandbox_identity(os, R"(C:\Work\file.txt)", {});
  ASSERT_TRUE(of_file) << of_file.error().message;
  // Serial 0 and file ID 0: the seed ends in sixteen and thirty-two zeros.
  EXPECT_EQ(of_file->sid_text, "S-1-5-21-3633229974-1998237395-45342547-3488778070");
}

TEST_F(DeriveTest, FailuresReleaseEverythingAndNameTheProject) {
  struct Case {
    const char* name;
    std::string project;
    const char* method; // the call made to fail, if any
    OsCode code;
    bool opened; // the project was opened, so its handle must be closed
    std::string message;
  };
  const std::string sandbox_sid = kWorkedSandboxSid;
  const Case cases[] = {
      {"Missing", R"(C:\Work\gone)", nullptr, 0, false,
       R"(cannot open C:\Work\gone: The system cannot find the file specified. (os error 2))"},
      {"OpenRefused", R"(C:\Work\proj)", "create_file", 5, false,
       R"(cannot open C:\Work\proj: Access is denied. (os error 5))"},
      {"NoFileIds", R"(C:\Work\noid)", nullptr, 0, true,
       R"(cannot read the file ID of C:\Work\noid (the sandbox needs NTFS or ReFS): )"
       "Incorrect function. (os error 1)"},
      {"SidNotBuilt", R"(C:\Work\proj)", "convert_string_sid_to_sid", 1337, true,
       "cannot build the SID " + sandbox_sid +
           ": The security ID structure is invalid. (os error 1337)"},
      {"SidNotFormatted", R"(C:\Work\proj)", "convert_sid_to_string_sid", 87, true,
       "cannot format a SID: The parameter is incorrect. (os error 87)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.method != nullptr) {
      os.fail_call(c.method, 1, c.code);
    }
    const int closes_before = os.calls("close_handle");
    const int opens_before = os.calls("create_file");
    const auto identity = derive_sandbox_identity(os, c.project, {});
    ASSERT_FALSE(identity);
    EXPECT_EQ(identity.error().message, c.message);
    EXPECT_EQ(os.open_handles(), 0u);
    EXPECT_EQ(os.live_allocations(), 0u);
    // A handle that was opened was closed, exactly once.
    EXPECT_EQ(os.calls("create_file") - opens_before, 1);
    EXPECT_EQ(os.calls("close_handle") - closes_before, c.opened ? 1 : 0);
  }
}

} // namespace
} // namespace obrex
