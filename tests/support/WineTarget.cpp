// The Wine target of the end-to-end tests: the Windows build of the same program, started by
// Wine in the prefix that the test command prepares, with the test's drive folders as drives.
// Wine runs as the prefix's owner, never as root (wine-run.sh), and the prefix's Z: is an empty
// folder: the program reaches the test's drives, and the helpers of the Windows build as Y:
// (read only), nothing else of this machine that its user may write.
//
// ORVO_TEST_TARGET=wine selects it (the wine.* registrations of tests/CMakeLists.txt set it).
// The Windows build, laid out as this one, is ORVO_WINE_BUILD (environment, else the build's
// setting); Wine gets its prefix, its compiled locales, and the stand-in client library's folder
// on PATH, so the program finds it as gds32.dll.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace orvo::test {
namespace {

const char kWineLoader[] = "/usr/lib/wine/wine64";
const char kWineRun[] = ORVO_WINE_RUN;  // tests/support/wine-run.sh

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string WindowsBuild() {
  std::string build = Env("ORVO_WINE_BUILD");
  return build.empty() ? ORVO_WINE_BUILD : build;
}

// The Windows build's counterpart of a file of this build, as a host path.
std::string Counterpart(const std::string& file) {
  const std::string linuxBuild = ORVO_BUILD_DIR, windowsBuild = WindowsBuild();
  if (file.rfind(linuxBuild + "/", 0) != 0) {
    throw std::runtime_error("no Windows counterpart of " + file + " outside " + linuxBuild);
  }
  std::string counterpart = windowsBuild + file.substr(linuxBuild.size());
  if (EndsWith(counterpart, ".so")) return counterpart.substr(0, counterpart.size() - 3) + ".dll";
  return counterpart + ".exe";
}

std::string WinePrefix() { return WindowsBuild() + "/wineprefix"; }

// The Windows build's helpers (the stand-in client library), which the program reads as Y:.
std::string HelpersFolder() { return WindowsBuild() + "/tests/helpers"; }

// Hands the drive tree `root` to the user that Wine runs as (the prefix's owner), entry by entry,
// links themselves and not what they lead to, as the test made it as root.
void HandOver(const fs::path& root, const fs::path& prefix) {
  struct stat owner {};
  if (geteuid() != 0 || stat(prefix.c_str(), &owner) != 0 || owner.st_uid == 0) return;
  auto give = [&](const fs::path& entry) {
    if (lchown(entry.c_str(), owner.st_uid, owner.st_gid) != 0) {
      throw std::runtime_error("cannot hand " + entry.string() + " over to Wine's user");
    }
  };
  give(root);
  for (const auto& entry : fs::recursive_directory_iterator(root)) give(entry.path());
}

// Replaces a link for the life of the object, then puts back what was there.
class TemporaryLink {
 public:
  TemporaryLink(fs::path link, const fs::path& target) : link_(std::move(link)) {
    std::error_code missing;
    fs::path old = fs::read_symlink(link_, missing);
    if (!missing) previous_ = old;
    fs::remove(link_, missing);
    fs::create_directory_symlink(target, link_);
  }
  ~TemporaryLink() {
    std::error_code ignored;
    fs::remove(link_, ignored);
    if (previous_) fs::create_directory_symlink(*previous_, link_, ignored);
  }
  TemporaryLink(const TemporaryLink&) = delete;
  TemporaryLink& operator=(const TemporaryLink&) = delete;

 private:
  fs::path link_;
  std::optional<fs::path> previous_;
};

// The folders <root>/c, <root>/d, ... as the prefix's drives C:, D:, ... while the object lives,
// and the folders <root>/unc/server/share as its shares.
// Wine needs its \windows on C:, so the test's C: gets a link to the prefix's one, and Wine adds
// a \users folder there at the first start: both go again afterwards, leaving the test's
// folders as the Linux program would have left them.
class WineDrives {
 public:
  WineDrives(const fs::path& prefix, const fs::path& root) {
    for (char letter = 'a'; letter <= 'z'; ++letter) {
      fs::path folder = root / std::string(1, letter);
      if (!fs::is_directory(folder)) continue;
      if (letter == 'c') MakeSystemDrive(prefix, folder);
      drives_.push_back(std::make_unique<TemporaryLink>(
          prefix / "dosdevices" / (std::string(1, letter) + ":"), folder));
    }
    // Each share <root>/unc/server/share as Wine's \\server\share.
    std::error_code none;
    for (const auto& server : fs::directory_iterator(root / "unc", none)) {
      for (const auto& share : fs::directory_iterator(server.path())) {
        fs::path link = prefix / "dosdevices" / "unc" / server.path().filename();
        fs::create_directories(link);
        drives_.push_back(
            std::make_unique<TemporaryLink>(link / share.path().filename(), share.path()));
      }
    }
  }
  ~WineDrives() {
    drives_.clear();
    std::error_code ignored;
    for (const fs::path& added : added_) fs::remove_all(added, ignored);
  }
  WineDrives(const WineDrives&) = delete;
  WineDrives& operator=(const WineDrives&) = delete;

 private:
  void MakeSystemDrive(const fs::path& prefix, const fs::path& drive) {
    for (const char* name : {"windows", "users"}) {
      if (!fs::exists(fs::symlink_status(drive / name))) added_.push_back(drive / name);
    }
    if (!fs::exists(fs::symlink_status(drive / "windows"))) {
      fs::create_directory_symlink(prefix / "drive_c" / "windows", drive / "windows");
    }
  }

  std::vector<std::unique_ptr<TemporaryLink>> drives_;
  std::vector<fs::path> added_;
};

// Starts the prefix's server and its helper processes, unless they run, with a program whose
// output goes to /dev/null: the helpers keep the output channels of the program that started
// them open, and the test's would never reach their end.
void StartWine(const std::map<std::string, std::string>& environment) {
  static bool started = false;
  if (started) return;
  std::vector<std::string> entries;
  for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string shell = "/bin/sh", run = kWineRun, loader = kWineLoader, cmd = "cmd", flag = "/c",
              exit = "exit";
  char* argv[] = {shell.data(), run.data(),  loader.data(), cmd.data(),
                  flag.data(),  exit.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawn_file_actions_addchdir_np(&actions, (WinePrefix() + "/drive_c").c_str());
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    started = true;
  }
  posix_spawn_file_actions_destroy(&actions);
}

// A start that Wine, not the program, ended with status 1: no output at all, or nothing on
// standard error but Wine's own "wine client error:" lines (its connection to its server broken).
bool WineEndedItself(const ProgramResult& result) {
  if (result.status != 1) return false;
  if (result.err.empty()) return result.out.empty();
  std::istringstream lines(result.err);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("wine client error:", 0) != 0) return false;
  }
  return true;
}

}  // namespace

bool TargetIsWine() { return Env("ORVO_TEST_TARGET") == "wine"; }

bool IsFailureStderr(const std::string& err, const std::string& fragment) {
  if (TargetIsWine()) return err.empty();
  return IsOneLogLine(err) && err.find(fragment) != std::string::npos;
}

std::string WinePath(const std::string& hostPath) {
  std::string path = fs::absolute(hostPath).string();
  const std::string helpers = HelpersFolder();
  path = path.rfind(helpers + "/", 0) == 0 ? "Y:" + path.substr(helpers.size()) : "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string TargetPath(const std::string& hostPath) {
  return TargetIsWine() ? WinePath(hostPath) : hostPath;
}

std::string WineUnavailable(const std::string& program) {
  if (!fs::exists(kWineLoader)) return std::string("no Wine: ") + kWineLoader + " is missing";
  const std::string build = WindowsBuild();
  if (!fs::exists(Counterpart(program))) return "no Windows build: " + Counterpart(program);
  if (!fs::exists(build + "/wineprefix/system.reg")) {
    return "no Wine prefix in " + build + ": run ./scripts/test, which makes one";
  }
  struct stat owner {};
  if (geteuid() == 0 && stat(WinePrefix().c_str(), &owner) == 0 && owner.st_uid == 0) {
    return "the Wine prefix in " + build +
           " belongs to root: run ./scripts/test, which makes "
           "one for an unprivileged user";
  }
  return "";
}

std::string TargetBuildFile(const std::string& file) {
  return TargetIsWine() ? TargetPath(Counterpart(file)) : file;
}

ProgramResult RunUnderWine(const std::string& path,
                           const std::map<std::string, std::string>& environment,
                           const std::string& input, const std::vector<std::string>& arguments) {
  if (std::string reason = WineUnavailable(path); !reason.empty()) {
    throw std::runtime_error(reason);
  }
  const std::string build = WindowsBuild();
  const std::string prefix = WinePrefix();
  std::map<std::string, std::string> wineEnvironment = environment;
  wineEnvironment.emplace("WINEPREFIX", prefix);
  wineEnvironment.emplace("WINEDEBUG", "-all");
  wineEnvironment.emplace("LOCPATH", build + "/locale");
  wineEnvironment.emplace("WINEPATH", WinePath(HelpersFolder() + "/fbstub/client"));
  // The helpers' drive, read only to Wine's user.
  std::error_code missing;
  if (fs::read_symlink(prefix + "/dosdevices/y:", missing) != HelpersFolder()) {
    fs::remove(prefix + "/dosdevices/y:", missing);
    fs::create_directory_symlink(HelpersFolder(), prefix + "/dosdevices/y:");
  }

  StartWine(wineEnvironment);

  // Without drive folders (the front's tests) the prefix's own drives serve.
  std::optional<WineDrives> drives;
  std::string folder = prefix + "/drive_c";  // a folder with a Windows name
  auto root = environment.find("ORVO_ROOT");
  if (root != environment.end()) {
    HandOver(root->second, prefix);
    drives.emplace(prefix, root->second);
    // Started in C:\, where the Linux program starts when its folder lies outside the drives.
    if (fs::is_directory(root->second + "/c")) folder = root->second + "/c";
  }
  std::vector<std::string> command = {"/bin/sh", kWineRun, kWineLoader, Counterpart(path)};
  command.insert(command.end(), arguments.begin(), arguments.end());
  ProgramResult result = RunCommand(command, wineEnvironment, input, folder);
  // Rarely (once in thousands of starts, on a loaded machine) Wine ends a start with status 1
  // for reasons of its own: before the program has done anything (no answer, no message), or
  // with its connection to its server broken (only "wine client error:" lines). The program
  // never ends that way, so that start is made once more, and the test's output says so.
  if (WineEndedItself(result)) {
    std::fprintf(stderr, "wine: Wine ended a start with status 1; starting it again\n");
    result = RunCommand(command, wineEnvironment, input, folder);
  }
  return result;
}

}  // namespace orvo::test
