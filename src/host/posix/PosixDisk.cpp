#include "host/posix/PosixDisk.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <span>
#include <string_view>

#include "host/WindowsNames.h"
#include "host/posix/PosixNames.h"

namespace orvo::posix {
namespace {

std::optional<std::string> RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  if (!real) return std::nullopt;
  return std::string(real.get());
}

bool Inside(const std::string& realRoot, const std::string& realPath) {
  if (realRoot == "/") return true;
  return realPath == realRoot ||
         (realPath.size() > realRoot.size() &&
          realPath.compare(0, realRoot.size(), realRoot) == 0 && realPath[realRoot.size()] == '/');
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

// The clock with which the kernel stamps changes.
timespec ChangeClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now;
}

// True when any later change of the folder described by `info` is sure to change its change
// time: its file system stamps its own changes and that time lies before `since`, the change
// clock read before `info` was taken, so a later change is stamped `since` or later (as long as
// nobody sets the clock back). A change in the same clock tick could otherwise keep the time.
bool Settled(int fd, const struct stat& info, const timespec& since) {
  return Before(info.st_ctim, since) && StampsItsOwnChanges(fd, info.st_dev);
}

// A 1252 name in upper case: one key for all its case forms.
std::string UpperKey(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = static_cast<char>(UpperCp1252(static_cast<unsigned char>(c)));
  return key;
}

// One key for every way of writing a path's root: "c", "unc/SRV/LOTES".
std::string RootKey(const WindowsPath& path) {
  if (!path.IsUnc()) return std::string(1, path.DriveFolder());
  return "unc/" + UpperKey(path.server) + "/" + UpperKey(path.share);
}

bool ListedInNtfsOrder(const ListedName& a, const ListedName& b) {
  const int order = a.sortKey.compare(b.sortKey);
  return order != 0 ? order < 0 : a.diskName < b.diskName;
}

// Calls `each(name, type)` for every entry of `folder` but "." and "..", as one read of the
// folder gives them (getdents64, so no look at the folder beyond); an errno when it cannot be read.
// A lookup starts with a buffer on the stack, as most folders it reads are small, and goes on
// through a larger one from the heap once a read fills half of it; a listing starts with the large
// one. (A large buffer on the stack would push every call below it onto fresh pages, each a fault.)
template <typename Each>
int ForEachName(const DiskFolder& folder, bool listing, Each each) {
  constexpr size_t kLargeRead = 32768;
  Fd fd(openat(folder.fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return errno;
  alignas(dirent64) char small[2048];
  std::unique_ptr<char[]> large;  // new[]: aligned for any entry
  std::span<char> buffer(small);
  auto enlarge = [&] {
    large = std::make_unique_for_overwrite<char[]>(kLargeRead);
    buffer = {large.get(), kLargeRead};
  };
  if (listing) enlarge();
  for (;;) {
    ssize_t got = getdents64(fd.get(), buffer.data(), buffer.size());
    if (got < 0) return errno;
    if (got == 0) return 0;
    for (ssize_t at = 0; at < got;) {
      const auto* item = reinterpret_cast<const dirent64*>(buffer.data() + at);
      at += item->d_reclen;
      std::string_view name = item->d_name;
      if (name != "." && name != "..") each(name, item->d_type);
    }
    if (!large && static_cast<size_t>(got) > buffer.size() / 2) enlarge();
  }
}

// Reads the names of a folder into `names`; an errno when it cannot be read.
int ReadFolder(const DiskFolder& folder, Listing* names) {
  int error =
      ForEachName(folder, /*listing=*/true, [names](std::string_view diskName, unsigned char type) {
        std::string disk(diskName);
        if (!CanNameAgainOnDisk(disk)) return;
        std::string name = Utf8ToCp1252(disk);
        std::string key = NtfsSortKey(name);
        names->push_back({std::move(disk), std::move(name), std::move(key), type});
      });
  if (error != 0) return error;
  std::sort(names->begin(), names->end(), ListedInNtfsOrder);
  return 0;
}

// A folder holds this many bytes of its listing for each name that it is worth trying instead
// of reading the listing: about what reading them costs against what a name lookup costs.
constexpr off_t kListingBytesPerTry = 512;
constexpr size_t kMostTries = 4096;

// The case forms of `name` that `folder` holds, trying each by name: nullopt when reading the
// folder costs less.
std::optional<std::vector<std::string>> TryCaseForms(const DiskFolder& folder,
                                                     const std::string& name) {
  struct stat info {};
  if (IsInvalidName(name) || fstat(folder.fd.get(), &info) != 0) return std::nullopt;
  const auto tries = static_cast<size_t>(
      std::min<off_t>(info.st_size / kListingBytesPerTry, static_cast<off_t>(kMostTries)));
  std::vector<std::string> forms = CaseForms(name, tries);
  if (forms.empty()) return std::nullopt;
  std::vector<std::string> found;
  for (const std::string& form : forms) {
    std::string diskName = Cp1252ToUtf8(form);
    struct stat entry {};
    if (fstatat(folder.fd.get(), diskName.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0) {
      found.push_back(std::move(diskName));
    }
  }
  return found;
}

// The case forms of `name` in a read of the whole folder. A name that is valid for Windows has
// as many UTF-8 bytes as each of its case forms, so only names of that length are compared.
std::vector<std::string> ReadCaseForms(const DiskFolder& folder, const std::string& name) {
  std::vector<ListedName> found;
  // A name with '?' may match a disk name with characters that have no 1252 form.
  const size_t length = IsInvalidName(name) ? 0 : Cp1252ToUtf8(name).size();
  ForEachName(folder, /*listing=*/false, [&](std::string_view diskName, unsigned char type) {
    if (length != 0 && diskName.size() != length) return;
    std::string disk(diskName);
    if (!CanNameAgainOnDisk(disk)) return;
    std::string listed = Utf8ToCp1252(disk);
    if (SameNameIgnoringCase(listed, name)) {
      std::string key = NtfsSortKey(listed);
      found.push_back({std::move(disk), std::move(listed), std::move(key), type});
    }
  });
  std::sort(found.begin(), found.end(), ListedInNtfsOrder);
  std::vector<std::string> names;
  for (ListedName& listed : found) names.push_back(std::move(listed.diskName));
  return names;
}

// The disk names equal to the 1252 `name` ignoring case, first in NTFS order first.
std::vector<std::string> NamesIgnoringCase(const DiskFolder& folder, const std::string& name) {
  if (auto tried = TryCaseForms(folder, name)) return *tried;
  return ReadCaseForms(folder, name);
}

}  // namespace

bool Drives::Describe(const FolderRef& folder, const std::string& diskName,
                      DiskEntry* entry) const {
  *entry = DiskEntry{};
  entry->folder = folder;
  entry->diskName = diskName;
  struct stat info {};
  if (fstatat(folder->fd.get(), diskName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    entry->denied = errno == EACCES;
    return false;
  }
  if (S_ISLNK(info.st_mode)) {
    entry->isLink = true;
    Fd target(OpenIn(*folder, diskName, O_PATH));
    entry->leadsOut = !target && errno == EACCES && folder->allowed;
    if (!target || fstat(target.get(), &info) != 0) return true;
  }
  entry->info = info;
  entry->exists = true;
  return true;
}

DiskEntry Drives::Lookup(const FolderRef& folder, const std::string& name) {
  DiskEntry entry;
  std::string exact = Cp1252ToUtf8(name);
  if (Describe(folder, exact, &entry) || entry.denied) return entry;
  if (!lacking_.Knows(*folder, name)) {
    // Taken before the folder is looked at: a change since shows in its change time.
    const timespec since = ChangeClock();
    struct stat info {};
    fstat(folder->fd.get(), &info);
    for (const std::string& diskName : NamesIgnoringCase(*folder, name)) {
      if (Describe(folder, diskName, &entry)) return entry;
    }
    if (Settled(folder->fd.get(), info, since)) lacking_.Note(info, name);
  }
  entry = DiskEntry{};
  entry.folder = folder;
  entry.diskName = exact;
  return entry;
}

bool Drives::Lacking::Knows(const DiskFolder& folder, const std::string& name) const {
  struct stat now {};
  return !keys.empty() && fstat(folder.fd.get(), &now) == 0 && now.st_dev == device &&
         now.st_ino == inode && SameTime(now.st_ctim, changed) && keys.count(UpperKey(name)) != 0;
}

void Drives::Lacking::Note(const struct stat& info, const std::string& name) {
  constexpr size_t kMostNames = 64;
  if (info.st_dev != device || info.st_ino != inode || !SameTime(info.st_ctim, changed) ||
      keys.size() >= kMostNames) {
    *this = Lacking{info.st_dev, info.st_ino, info.st_ctim, {}};
  }
  keys.insert(UpperKey(name));
}

Drives::Level* Drives::Kept(const FolderRef& folder) {
  auto level = std::find_if(chain_.begin(), chain_.end(),
                            [&](const Level& kept) { return kept.folder == folder; });
  return level == chain_.end() ? nullptr : &*level;
}

int Drives::Open(const DiskEntry& entry, int flags) const {
  if (!entry.isLink) {
    int fd = openat(entry.folder->fd.get(), entry.diskName.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
    // ELOOP: the name became a link since it was described.
    if (fd >= 0 || errno != ELOOP) return fd;
  }
  return OpenIn(*entry.folder, entry.diskName, flags);
}

int Drives::OpenIn(const DiskFolder& folder, const std::string& diskName, int flags) const {
  if (!folder.allowed) return root_.Open(folder.relative + "/" + diskName, flags);
  std::string below = folder.belowAllowed.empty() ? diskName : folder.belowAllowed + "/" + diskName;
  return folder.allowed->Open(below, flags);
}

int Drives::Enter(const Level& parent, const std::string& name, bool allowedRoot, Level* child) {
  constexpr int kFolder = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int at = parent.folder->fd.get();
  std::string diskName = Cp1252ToUtf8(name);
  Fd fd(openat(at, diskName.c_str(), kFolder));
  int error = fd ? 0 : errno;
  if (error == ENOENT) {
    std::vector<std::string> names = NamesIgnoringCase(*parent.folder, name);
    if (names.empty()) return ENOENT;
    diskName = names.front();
    fd = Fd(openat(at, diskName.c_str(), kFolder));
    error = fd ? 0 : errno;
  }
  // A link (or a file): followed while it stays inside.
  bool throughLink = error == ENOTDIR || error == ELOOP;
  if (throughLink) {
    fd = Fd(OpenIn(*parent.folder, diskName, O_PATH | O_DIRECTORY));
    error = fd ? 0 : errno;
  }
  if (error != 0) return error;
  DiskFolder folder{std::move(fd), parent.folder->relative + "/" + diskName, nullptr, ""};
  if (allowedRoot) {
    folder.allowed = std::make_shared<DiskRoot>(folder.fd.get());
  } else if (parent.folder->allowed) {
    const std::string& above = parent.folder->belowAllowed;
    folder.allowed = parent.folder->allowed;
    folder.belowAllowed = above.empty() ? diskName : above + "/" + diskName;
  }
  child->name = name;
  Keep(at, diskName, throughLink, std::move(folder), child);
  return 0;
}

int Drives::EnterRoot(const WindowsPath& path, bool allowedRoot, Level* level) {
  std::string relative(1, path.DriveFolder());
  int parent = root_.fd();
  Fd above;
  if (path.IsUnc()) {
    // \\server\share is the folder unc/server/share, both names matched ignoring case.
    relative = "unc";
    for (const std::string* name : {&path.server, &path.share}) {
      DiskFolder folder{Fd(root_.Open(relative, O_PATH | O_DIRECTORY)), relative, nullptr, ""};
      if (!folder.fd) return errno;
      std::string diskName = Cp1252ToUtf8(*name);
      struct stat info {};
      if (fstatat(folder.fd.get(), diskName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        std::vector<std::string> names = NamesIgnoringCase(folder, *name);
        if (names.empty()) return ENOENT;
        diskName = names.front();
      }
      relative += "/" + diskName;
      above = std::move(folder.fd);
    }
    parent = above.get();
  }
  Fd fd(root_.Open(relative, O_PATH | O_DIRECTORY));
  if (!fd) return errno;
  DiskFolder folder{std::move(fd), relative, nullptr, ""};
  if (allowedRoot) folder.allowed = std::make_shared<DiskRoot>(folder.fd.get());
  level->name = relative;
  Keep(parent, relative.substr(relative.rfind('/') + 1), false, std::move(folder), level);
  return 0;
}

void Drives::Keep(int parent, const std::string& diskName, bool throughLink, DiskFolder folder,
                  Level* level) {
  level->folder = std::make_shared<DiskFolder>(std::move(folder));
  level->throughLink = throughLink;
  level->held = holds_ > 0;
  // Taken as it is while held; unsettled, it is entered again after the hold.
  if (level->held && !throughLink) return;
  const timespec since = ChangeClock();
  fstat(level->folder->fd.get(), &level->entered);
  level->settled = Settled(level->folder->fd.get(), level->entered, since);
  // The name must still be this folder after its change time was taken, or a rename in between
  // would go unseen.
  struct stat named {};
  level->throughLink =
      throughLink || fstatat(parent, diskName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      named.st_dev != level->entered.st_dev || named.st_ino != level->entered.st_ino;
}

bool Drives::StillThere(const Level& level) const {
  struct stat now {};
  if (level.throughLink) {
    Fd again(root_.Open(level.folder->relative, O_PATH | O_DIRECTORY));
    return again && fstat(again.get(), &now) == 0 && now.st_dev == level.entered.st_dev &&
           now.st_ino == level.entered.st_ino;
  }
  return level.settled && fstat(level.folder->fd.get(), &now) == 0 && now.st_nlink > 0 &&
         SameTime(now.st_ctim, level.entered.st_ctim);
}

WinError Drives::Folder(const GatedPath& gated, size_t count, FolderRef* folder) {
  const WindowsPath& path = *gated;
  // The levels kept from the last path serve as far as both paths agree and the folders are
  // still where they were; from an allowed folder on, only when both have it at one level.
  size_t kept = 0;
  if (!chain_.empty() && rootKey_ == RootKey(path)) {
    kept = 1;
    while (kept <= count && kept < chain_.size() &&
           chain_[kept].name == path.components[kept - 1]) {
      ++kept;
    }
  }
  std::optional<size_t> allowedDepth = gated.AllowedDepth();
  const bool sameConfinement = allowedDepth == allowedDepth_;
  if (!sameConfinement) {
    kept = std::min({kept, allowedDepth.value_or(kept), allowedDepth_.value_or(kept)});
  }
  for (size_t i = 0; i < kept; ++i) {
    Level& level = chain_[i];
    if (!level.held && !StillThere(level)) {
      kept = i;
    } else {
      level.held = holds_ > 0;
    }
  }
  // Levels below the folder asked for stay while the path leads through them: a walk comes back
  // up from a folder and enters the next one, and they are checked again when used.
  if (kept <= count || !sameConfinement) {
    chain_.erase(chain_.begin() + static_cast<std::ptrdiff_t>(kept), chain_.end());
  }
  allowedDepth_ = allowedDepth;
  if (chain_.empty()) {
    rootKey_ = RootKey(path);
    Level root;
    if (EnterRoot(path, allowedDepth == 0u, &root) != 0) {
      // A share without its folder is a network path that cannot be found.
      return path.IsUnc() ? kErrorBadNetPath : kErrorPathNotFound;
    }
    chain_.push_back(std::move(root));
  }
  while (chain_.size() <= count) {
    Level child;
    bool allowedRoot = allowedDepth == chain_.size();
    int error = Enter(chain_.back(), path.components[chain_.size() - 1], allowedRoot, &child);
    if (error != 0) {
      return error == EACCES && chain_.back().folder->allowed ? kErrorAccessDenied
                                                              : kErrorPathNotFound;
    }
    chain_.push_back(std::move(child));
  }
  *folder = chain_[count].folder;
  return kErrorSuccess;
}

void Drives::Release() {
  if (--holds_ > 0) return;
  for (Level& level : chain_) level.held = level.listingHeld = false;
}

WinError Drives::Find(const GatedPath& path, DiskEntry* entry) {
  FolderRef folder;
  WinError error = Folder(path, path->components.size() - 1, &folder);
  if (error != kErrorSuccess) return error;
  *entry = Lookup(folder, path->components.back());
  return kErrorSuccess;
}

WinError Drives::List(const FolderRef& folder, std::shared_ptr<const Listing>* names) {
  Level* level = Kept(folder);
  if (level == nullptr) {
    auto read = std::make_shared<Listing>();
    if (int error = ReadFolder(*folder, read.get())) return FromErrno(error);
    *names = std::move(read);
    return kErrorSuccess;
  }
  if (level->listingHeld) {
    *names = level->listing;
    return kErrorSuccess;
  }
  const timespec since = ChangeClock();
  struct stat info {};
  fstat(folder->fd.get(), &info);
  if (!level->listing || !level->listingSettled || !SameTime(level->modified, info.st_mtim) ||
      !SameTime(level->changed, info.st_ctim)) {
    // The times are taken before the read: a change during it shows as a change next time.
    auto read = std::make_shared<Listing>();
    level->listing = nullptr;
    if (int error = ReadFolder(*folder, read.get())) return FromErrno(error);
    level->listing = std::move(read);
    level->modified = info.st_mtim;
    level->changed = info.st_ctim;
    level->listingSettled = Settled(folder->fd.get(), info, since);
  }
  level->listingHeld = holds_ > 0;
  *names = level->listing;
  return kErrorSuccess;
}

std::optional<WindowsPath> Drives::ToWindows(const std::string& hostPath) const {
  const std::string& root = root_.RealPath();
  std::optional<std::string> real = RealPath(hostPath);
  if (root.empty() || !real || !Inside(root, *real) || *real == root) return std::nullopt;
  std::string rest = real->substr(root == "/" ? 1 : root.size() + 1);
  if (rest.empty() || rest[0] < 'a' || rest[0] > 'z' || (rest.size() > 1 && rest[1] != '/')) {
    return std::nullopt;
  }
  WindowsPath path;
  path.drive = static_cast<char>(rest[0] - 'a' + 'A');
  size_t start = 2;
  while (start < rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    std::string diskName = rest.substr(start, end - start);
    if (!CanNameAgainOnDisk(diskName)) return std::nullopt;
    path.components.push_back(Utf8ToCp1252(diskName));
    start = end + 1;
  }
  return path;
}

int (*Fsync)(int fd) = fsync;

bool StampsItsOwnChanges(unsigned long magic) {
  switch (magic) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
    default:  // NFS, SMB, FUSE (GlusterFS, sshfs, ...), Ceph, 9p, overlays, and what is unknown
      return false;
  }
}

bool StampsItsOwnChanges(int fd, dev_t device) {
  // The program is single-threaded (Host.h).
  static std::map<dev_t, bool> answers;
  auto known = answers.find(device);
  if (known != answers.end()) return known->second;
  struct statfs system {};
  const bool stamps =
      fstatfs(fd, &system) == 0 && StampsItsOwnChanges(static_cast<unsigned long>(system.f_type));
  // The number of a block device stays with it; an anonymous one (major 0: tmpfs, btrfs, every
  // network and FUSE file system) may pass to another mount once its own is gone, so only a
  // "no" is kept for it.
  if (major(device) != 0 || !stamps) answers.emplace(device, stamps);
  return stamps;
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
    // A network file system's answer for a folder that another client removed while this one
    // held it: gone, as a local folder removed meanwhile is.
    case ESTALE:
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
  bool reads = ReadsFile(access);
  bool writes = WritesFile(access);
  FlockGuard guard(fd);
  if ((reads && HeldByOther(fd, kDeniesRead)) || (writes && HeldByOther(fd, kDeniesWrite)) ||
      (!share.read && HeldByOther(fd, kHasRead)) || (!share.write && HeldByOther(fd, kHasWrite))) {
    return kErrorSharingViolation;
  }
  bool claimed = (!reads || Claim(fd, kHasRead)) && (!writes || Claim(fd, kHasWrite)) &&
                 (share.read || Claim(fd, kDeniesRead)) && (share.write || Claim(fd, kDeniesWrite));
  return claimed ? kErrorSuccess : FromErrno(errno);
}

bool FileInUse(int fd) { return HeldByOther(fd, 0, 4); }

}  // namespace orvo::posix
