// Uploads to a drive that fills up: drive D: is a small tmpfs mounted by the test (as root, or
// in a user namespace of its own; skipped where neither is allowed). An upload that does not
// fit answers the failure page and leaves the earlier batch and the free space as they were.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "TestSupport.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;

const char kBatch[] = "d/Lotes/VESTRA/PED001813720240815093012000001523903.dwl";

bool WriteProcFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
  return static_cast<bool>(out.flush());
}

// Mounts a tmpfs of `size` on `folder`: directly, else inside a user and mount namespace of
// this process (the program, its child, sees the same mounts). Returns why it could not.
std::string MountTmpfs(const std::string& folder, const std::string& size) {
  const std::string options = "size=" + size + ",mode=0777";
  if (mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
    return "";
  }
  const std::string direct = std::strerror(errno);
  if (test::TargetIsWine()) {
    // The prefix's server, which opens the program's files, runs outside any namespace of the
    // test's and would see neither the mount nor the mapped user.
    return "mount: " + direct + "; no namespace of its own under Wine";
  }
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
    return "mount: " + direct + "; unshare: " + std::strerror(errno);
  }
  WriteProcFile("/proc/self/setgroups", "deny");
  WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
  WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  if (mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    return "mount: " + direct + "; in a namespace: " + std::strerror(errno);
  }
  return "";
}

uint64_t FreeBytes(const std::string& folder) {
  struct statvfs info {};
  statvfs(folder.c_str(), &info);
  return static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

class FullDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteHostFile(Disk("c/Orvo/Orvo.Net/Config/Orvo.Config"),
                        "[Orvo.Mobile.VESTRA]\r\nPathXML=D:\\Lotes\r\n");
    fs::create_directories(Disk("d"));
    std::string why = MountTmpfs(Disk("d"), "2m");
    if (!why.empty()) GTEST_SKIP() << "cannot mount a small file system here (" << why << ")";
    mounted_ = true;
  }
  ~FullDiskTest() override {
    if (mounted_) umount2(Disk("d").c_str(), MNT_DETACH);
  }

  std::string Disk(const std::string& relative) const { return root_.path() + "/" + relative; }

  test::ProgramResult Upload(const std::string& xml) const {
    const std::string body = test::FormBody({{"tag", "PED001"},
                                             {"representante", "8137"},
                                             {"coddh", "20240815093012000"},
                                             {"totallote", "00152390"},
                                             {"xmldata", xml}});
    return test::RunProgram(ORVO_PROGRAM,
                            {{"ORVO_ROOT", root_.path()},
                             {"REQUEST_METHOD", "POST"},
                             {"SERVER_PROTOCOL", "HTTP/1.1"},
                             {"PATH_INFO", "/uploadxml"},
                             {"CONTENT_LENGTH", std::to_string(body.size())},
                             {"ORVO_CLIENT_LIBRARY", test::TargetBuildFile(ORVO_FBSTUB)}},
                            body);
  }

  // The failure page, the earlier batch whole, no file added and no space taken.
  void ExpectRefused(const std::string& xml, const char* what) {
    const uint64_t freeBefore = FreeBytes(Disk("d"));
    test::ProgramResult result = Upload(xml);
    EXPECT_EQ(result.status, 0) << what;
    EXPECT_EQ(result.out.rfind("Status: 500 Internal Server Error\r\n", 0), 0u)
        << what << ": " << result.out.substr(0, 300);
    EXPECT_EQ(test::ReadHostFile(Disk(kBatch)), "<lote antigo/>\r\n") << what;
    int files = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(Disk(kBatch)).parent_path())) {
      ++files;
      EXPECT_EQ(entry.path().filename().string().rfind(".~orvo-", 0), std::string::npos)
          << what << ": left " << entry.path();
    }
    EXPECT_EQ(files, 1) << what;
    EXPECT_EQ(FreeBytes(Disk("d")), freeBefore) << what;
  }

  test::TempDir root_;
  bool mounted_ = false;
};

TEST_F(FullDiskTest, AnUploadThatDoesNotFitKeepsTheEarlierBatch) {
  ASSERT_EQ(Upload("<lote antigo/>").out.rfind("Status: 200 OK\r\n", 0), 0u);

  // Bigger than the whole drive: the disk fills in the middle of the write.
  ExpectRefused(std::string(3 << 20, 'x'), "a batch larger than the drive");

  // A drive already full to the last block: even a small batch cannot be created.
  {
    std::ofstream filler(Disk("d/filler"), std::ios::binary);
    const std::string block(4096, 'f');
    while (filler.write(block.data(), block.size())) {
    }
  }
  ASSERT_LT(FreeBytes(Disk("d")), 4096u);
  ExpectRefused("<lote novo/>", "a full drive");

  // Space again: the same upload is stored.
  fs::remove(Disk("d/filler"));
  EXPECT_EQ(Upload("<lote novo/>").out.rfind("Status: 200 OK\r\n", 0), 0u);
  EXPECT_EQ(test::ReadHostFile(Disk(kBatch)), "<lote novo/>\r\n");
}

}  // namespace
}  // namespace orvo
