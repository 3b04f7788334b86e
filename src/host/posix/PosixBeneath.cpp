#include "host/posix/PosixBeneath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace orvo::posix {
namespace {

long SystemOpenat2(int dirfd, const char* path, open_how* how, size_t size) {
  return syscall(SYS_openat2, dirfd, path, how, size);
}

// As many links as the kernel follows in one lookup.
constexpr int kMaxLinks = 40;

std::deque<std::string> Components(const std::string& path) {
  std::deque<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start && path.compare(start, end - start, ".") != 0) {
      parts.push_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return parts;
}

// The part of an absolute path below `root`; nullopt when it names another place.
std::optional<std::string> Below(const std::string& root, const std::string& path) {
  if (root.empty()) return std::nullopt;
  if (root == "/") return path.substr(1);
  if (path.compare(0, root.size(), root) != 0) return std::nullopt;
  if (path.size() == root.size()) return std::string();
  if (path[root.size()] != '/') return std::nullopt;
  return path.substr(root.size() + 1);
}

std::optional<std::string> ReadLink(int folder, const std::string& name) {
  std::string target(PATH_MAX, '\0');
  ssize_t length = readlinkat(folder, name.c_str(), target.data(), target.size());
  if (length < 0) return std::nullopt;
  target.resize(static_cast<size_t>(length));
  return target;
}

int Fail(int error) {
  errno = error;
  return -1;
}

}  // namespace

long (*Openat2)(int dirfd, const char* path, open_how* how, size_t size) = SystemOpenat2;

void Fd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

bool WriteWhole(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t put = write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

DiskRoot::DiskRoot(const std::string& path)
    : fd_(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (real) real_ = real.get();
}

DiskRoot::DiskRoot(int folder) : fd_(fcntl(folder, F_DUPFD_CLOEXEC, 0)), outside_(EACCES) {
  std::string link = "/proc/self/fd/" + std::to_string(fd_.get());
  std::optional<std::string> real = fd_ ? ReadLink(AT_FDCWD, link) : std::nullopt;
  if (real && !real->empty() && (*real)[0] == '/') real_ = *real;
}

int DiskRoot::Open(const std::string& relative, int flags) const {
  if (!fd_) return Fail(ENOENT);
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0; attempt < 4; ++attempt) {
    long fd = Openat2(fd_.get(), relative.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename raced a ".." and the kernel could not tell whether it stayed inside.
    if (errno == EINTR || errno == EAGAIN) continue;
    // EXDEV: a link leaves the root, or is absolute; the walk tells those apart.
    if (errno != ENOSYS && errno != EXDEV) return -1;
    break;
  }
  return Walk(relative, flags);
}

// One component at a time from descriptors already held, never letting the kernel follow a
// link (O_NOFOLLOW): a link's text is read and walked in its place, ".." pops a folder this walk
// entered, and an absolute link counts only when it names a place below the root's real path.
int DiskRoot::Walk(const std::string& relative, int flags) const {
  std::vector<Fd> folders;  // entered below the root, the innermost last
  std::deque<std::string> pending = Components(relative);
  int links = 0;
  while (!pending.empty()) {
    std::string name = std::move(pending.front());
    pending.pop_front();
    int at = folders.empty() ? fd_.get() : folders.back().get();
    if (name == "..") {
      if (folders.empty()) return Fail(outside_);  // above the root
      folders.pop_back();
      continue;
    }
    bool last = pending.empty();
    int stepFlags = (last ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC;
    Fd fd(openat(at, name.c_str(), stepFlags));
    struct stat info {};
    if (fd) {
      // Only an O_PATH open takes a link itself without failing.
      bool link = (stepFlags & O_PATH) != 0 && fstat(fd.get(), &info) == 0 && S_ISLNK(info.st_mode);
      if (!link) {
        if (last) return fd.Release();
        folders.push_back(std::move(fd));
        continue;
      }
    } else {
      int error = errno;
      if (error != ELOOP && error != ENOTDIR) return -1;
      if (fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(info.st_mode)) {
        return Fail(error);
      }
    }
    if (++links > kMaxLinks) return Fail(ELOOP);
    std::optional<std::string> target = ReadLink(at, name);
    if (!target || target->empty()) return Fail(ENOENT);
    if ((*target)[0] == '/') {
      std::optional<std::string> below = Below(real_, *target);
      if (!below) return Fail(outside_);
      folders.clear();
      *target = *below;
    }
    std::deque<std::string> parts = Components(*target);
    pending.insert(pending.begin(), parts.begin(), parts.end());
  }
  // The path ended at a folder already entered (the root, or after "..").
  return openat(folders.empty() ? fd_.get() : folders.back().get(), ".", flags | O_CLOEXEC);
}

}  // namespace orvo::posix
