#include "host/posix/PosixDisk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "host/posix/PosixNames.h"

namespace orvo::posix {
namespace {

constexpr uint32_t kAttrReparsePoint = 0x400;

std::optional<std::string> RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

}  // namespace

std::optional<std::string> Drives::RealRoot() const { return RealPath(root_); }

bool Drives::Inside(const std::string& realRoot, const std::string& realPath) const {
  if (realRoot == "/") return true;
  return realPath == realRoot ||
         (realPath.size() > realRoot.size() &&
          realPath.compare(0, realRoot.size(), realRoot) == 0 && realPath[realRoot.size()] == '/');
}

DiskEntry Drives::Describe(const std::string& hostFolder, const std::string& diskName) const {
  DiskEntry entry;
  entry.diskName = diskName;
  entry.path = hostFolder + "/" + diskName;
  struct stat info {};
  if (lstat(entry.path.c_str(), &info) != 0) return entry;
  if (!S_ISLNK(info.st_mode)) {
    entry.target = entry.path;
    entry.info = info;
    entry.exists = true;
    return entry;
  }
  entry.isLink = true;
  std::optional<std::string> root = RealRoot();
  std::optional<std::string> target = RealPath(entry.path);
  if (!root || !target || !Inside(*root, *target)) return entry;
  if (stat(target->c_str(), &info) != 0) return entry;
  entry.target = *target;
  entry.info = info;
  entry.exists = true;
  return entry;
}

DiskEntry Drives::Lookup(const std::string& hostFolder, const std::string& name) const {
  std::string exact = Cp1252ToUtf8(name);
  struct stat info {};
  if (lstat((hostFolder + "/" + exact).c_str(), &info) == 0) return Describe(hostFolder, exact);

  // Several disk names may differ only in case; the first in NTFS order wins, as a stable choice.
  std::optional<std::string> found;
  if (DirPtr dir{opendir(hostFolder.c_str())}) {
    while (dirent* item = readdir(dir.get())) {
      std::string diskName = item->d_name;
      if (diskName == "." || diskName == "..") continue;
      if (!SameNameIgnoringCase(Utf8ToCp1252(diskName), name)) continue;
      if (!found || NtfsSortKey(diskName) < NtfsSortKey(*found)) found = diskName;
    }
  }
  if (found) return Describe(hostFolder, *found);
  DiskEntry missing;
  missing.diskName = exact;
  missing.path = hostFolder + "/" + exact;
  return missing;
}

WinError Drives::Folder(const WindowsPath& path, size_t count, std::string* hostFolder) const {
  for (size_t i = 0; i < count; ++i) {
    if (IsInvalidName(path.components[i])) return kErrorInvalidName;
  }
  std::optional<std::string> root = RealRoot();
  if (!root) return kErrorPathNotFound;
  DiskEntry folder = Describe(*root, std::string(1, path.DriveFolder()));
  for (size_t i = 0; folder.exists && S_ISDIR(folder.info.st_mode) && i < count; ++i) {
    folder = Lookup(folder.target, path.components[i]);
  }
  if (!folder.exists || !S_ISDIR(folder.info.st_mode)) return kErrorPathNotFound;
  *hostFolder = folder.target;
  return kErrorSuccess;
}

WinError Drives::Find(const WindowsPath& path, DiskEntry* entry) const {
  std::string folder;
  WinError error = Folder(path, path.components.size() - 1, &folder);
  if (error != kErrorSuccess) return error;
  *entry = Lookup(folder, path.components.back());
  return kErrorSuccess;
}

std::optional<WindowsPath> Drives::ToWindows(const std::string& hostPath) const {
  std::optional<std::string> root = RealRoot();
  std::optional<std::string> real = RealPath(hostPath);
  if (!root || !real || !Inside(*root, *real) || *real == *root) return std::nullopt;
  std::string rest = real->substr(*root == "/" ? 1 : root->size() + 1);
  if (rest.empty() || rest[0] < 'a' || rest[0] > 'z' || (rest.size() > 1 && rest[1] != '/')) {
    return std::nullopt;
  }
  WindowsPath path;
  path.drive = static_cast<char>(rest[0] - 'a' + 'A');
  size_t start = 2;
  while (start < rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    std::string name = Utf8ToCp1252(rest.substr(start, end - start));
    if (IsInvalidName(name)) return std::nullopt;
    path.components.push_back(name);
    start = end + 1;
  }
  return path;
}

uint32_t AttributesOf(const std::string& name, const struct stat& info, bool isLink) {
  uint32_t hidden = !name.empty() && name[0] == '.' ? kAttrHidden : 0;
  // A link is a reparse point, as Windows marks junctions and symbolic links: the walk, which
  // enters only plain folders, never follows one, so a link back up cannot make it loop.
  uint32_t reparse = isLink ? kAttrReparsePoint : 0;
  if (S_ISDIR(info.st_mode)) return kAttrDirectory | hidden | reparse;
  uint32_t readOnly = (info.st_mode & S_IWUSR) == 0 ? kAttrReadOnly : 0;
  // Pipes, sockets and devices are system entries, which listings pass over.
  uint32_t system = S_ISREG(info.st_mode) ? 0 : kAttrSystem;
  return kAttrArchive | readOnly | hidden | system | reparse;
}

FileTime FileTimeOf(const struct stat& info) {
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  return (static_cast<int64_t>(info.st_mtim.tv_sec) + kSecondsFrom1601To1970) * 10'000'000 +
         info.st_mtim.tv_nsec / 100;
}

WinError FromErrno(int error) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
    case ELOOP:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EBUSY:
      return kErrorAccessDenied;
    case EEXIST:
      return kErrorAlreadyExists;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return kErrorDiskFull;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    case EROFS:
      return kErrorWriteProtect;
    case EXDEV:
      return kErrorNotSameDevice;
    case EBADF:
      return kErrorInvalidHandle;
    case EINVAL:
      return kErrorInvalidParameter;
    case EIO:
      return kErrorIoDevice;
    default:
      return kErrorGenFailure;
  }
}

// ---- Sharing ----
//
// Every open of a file holds shared (read) OFD locks on some of four bytes far beyond any real
// file size; each byte says that some open has read access, has write access, denies reading,
// or denies writing. A new open conflicts when another open holds a byte that contradicts it.
// The check and the claim happen under an exclusive flock of the file, so two opens cannot both
// pass the check; flock and byte locks are independent on Linux.

namespace {

constexpr off_t kClaimBase = LLONG_MAX - 16;
enum ClaimByte : off_t { kHasRead = 0, kHasWrite = 1, kDeniesRead = 2, kDeniesWrite = 3 };

bool HeldByOther(int fd, off_t offset, off_t length = 1) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = kClaimBase + offset;
  probe.l_len = length;
  if (fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK;
}

bool Claim(int fd, off_t offset) {
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kClaimBase + offset;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

class FlockGuard {
 public:
  explicit FlockGuard(int fd) : fd_(fd) {
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FlockGuard() { flock(fd_, LOCK_UN); }
  FlockGuard(const FlockGuard&) = delete;
  FlockGuard& operator=(const FlockGuard&) = delete;

 private:
  int fd_;
};

}  // namespace

WinError ClaimSharing(int fd, FileAccess access, FileShare share) {
  bool reads = access != FileAccess::kWrite;
  bool writes = access != FileAccess::kRead;
  FlockGuard guard(fd);
  if ((reads && HeldByOther(fd, kDeniesRead)) || (writes && HeldByOther(fd, kDeniesWrite)) ||
      (!share.read && HeldByOther(fd, kHasRead)) || (!share.write && HeldByOther(fd, kHasWrite))) {
    return kErrorSharingViolation;
  }
  bool claimed = (!reads || Claim(fd, kHasRead)) && (!writes || Claim(fd, kHasWrite)) &&
                 (share.read || Claim(fd, kDeniesRead)) && (share.write || Claim(fd, kDeniesWrite));
  return claimed ? kErrorSuccess : FromErrno(errno);
}

bool FileInUse(const std::string& hostPath) {
  int fd = open(hostPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool inUse = HeldByOther(fd, 0, 4);
  close(fd);
  return inUse;
}

}  // namespace orvo::posix
