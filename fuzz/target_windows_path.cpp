// Windows path resolution, alone and through the host. Input: a current directory, NUL, a path.
// A resolved path has only real components (none empty, ".", "..", holding a separator or ending
// in a dot or space) and resolves to itself again. Through the host over a drive tree whose
// links lead out of it, nothing outside the root is ever opened or listed.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "FuzzSupport.h"
#include "host/Host.h"
#include "host/PathGate.h"
#include "host/posix/PosixHost.h"

using namespace orvo;

namespace {

namespace fs = std::filesystem;

constexpr char kSecret[] = "SECRET-OUTSIDE-THE-ROOT";

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// <top>/secret.txt outside, <top>/root the drive tree: C: with a folder, a file and links that
// lead out (to the file, to the top folder, to "/"), D: empty.
class Tree {
 public:
  Tree() {
    std::string pattern = (fs::temp_directory_path() / "orvo-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    top_ = pattern;
    root_ = top_ / "root";
    fs::create_directories(root_ / "c" / "Dir");
    fs::create_directories(root_ / "d");
    Write(top_ / "secret.txt", kSecret);
    Write(root_ / "c" / "Dir" / "inside.txt", "inside");
    fs::create_symlink("../../secret.txt", root_ / "c" / "out-file");
    fs::create_symlink(top_, root_ / "c" / "out-dir");
    fs::create_symlink("/", root_ / "c" / "Dir" / "slash");
    fs::create_symlink("../../..", root_ / "d" / "up");
    host_ = std::make_unique<PosixHost>(root_.string());
  }
  ~Tree() {
    std::error_code ignored;
    fs::remove_all(top_, ignored);
  }
  Host& host() { return *host_; }

 private:
  fs::path top_, root_;
  std::unique_ptr<Host> host_;
};

bool Separator(char c) { return c == '\\' || c == '/'; }

void CheckComponents(const WindowsPath& path) {
  FUZZ_REQUIRE((path.drive >= 'A' && path.drive <= 'Z') ||
               (path.drive >= 'a' && path.drive <= 'z'));
  for (const std::string& c : path.components) {
    FUZZ_REQUIRE(!c.empty() && c != "." && c != "..");
    FUZZ_REQUIRE(c.find_first_of("\\/") == std::string::npos);
    FUZZ_REQUIRE(c.back() != '.' && c.back() != ' ');
  }
}

void CheckResolution(const std::string& currentText, const std::string& path) {
  WindowsPath current;
  if (ResolveWindowsPath(currentText, WindowsPath{}, &current) != kErrorSuccess) return;
  CheckComponents(current);
  WindowsPath resolved;
  if (ResolveWindowsPath(path, current, &resolved) != kErrorSuccess) return;
  CheckComponents(resolved);
  // The full text is absolute: it resolves to the same path from anywhere.
  WindowsPath again;
  FUZZ_REQUIRE(ResolveWindowsPath(resolved.Text(), WindowsPath{}, &again) == kErrorSuccess);
  FUZZ_REQUIRE(again.components == resolved.components);
  FUZZ_REQUIRE(again.Text() == resolved.Text());
}

void CheckConfinement(Host& host, const std::string& currentText, const std::string& path) {
  host.SetCurrentFolder("C:\\");
  host.SetCurrentFolder(currentText);
  // The host refuses what Windows refuses: no path it works on is 260 characters or more.
  FUZZ_REQUIRE(host.GetCurrentFolder().size() < 260);
  uint32_t attributes = 0;
  std::string resolved;
  if (host.GetAttributes(path, &attributes) == kErrorSuccess &&
      host.FullPathName(path, &resolved) == kErrorSuccess) {
    FUZZ_REQUIRE(resolved.size() < 260);
  }
  std::unique_ptr<FileHandle> file;
  if (host.OpenFile(path, FileAccess::kRead, FileShare{true, true}, FileDisposition::kOpenExisting,
                    &file) == kErrorSuccess) {
    char buffer[64];
    size_t done = 0;
    file->Read(buffer, sizeof buffer, &done);
    FUZZ_REQUIRE(std::string(buffer, done).find("SECRET") == std::string::npos);
  }
  std::unique_ptr<DirSearch> search;
  FindData entry;
  if (host.FindFirst(path, &search, &entry) == kErrorSuccess) {
    int seen = 0;
    do {
      FUZZ_REQUIRE(entry.name != "secret.txt" && entry.name != "root");
      FUZZ_REQUIRE(entry.name != "etc" && entry.name != "proc");
    } while (++seen < 64 && search->Next(&entry) == kErrorSuccess);
  }
  std::string full;
  if (host.FullPathName(path, &full) == kErrorSuccess) {
    // A drive's root, or a share's (\\server\share).
    const bool drive = full.size() >= 3 && full[1] == ':' && Separator(full[2]);
    const bool share = full.size() >= 5 && full[0] == '\\' && full[1] == '\\' &&
                       full.find('\\', 3) != std::string::npos;
    FUZZ_REQUIRE(drive || share);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Tree tree;
  auto parts = fuzz::Split(data, size, 2);
  CheckResolution(parts[0], parts[1]);
  CheckConfinement(tree.host(), parts[0], parts[1]);
  return 0;
}
