// Folders, directory searches, renames, the current directory and the error texts.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "host/HostSearch.h"
#include "host/WindowsNames.h"
#include "host/posix/PosixDisk.h"
#include "host/posix/PosixHost.h"
#include "host/posix/PosixNames.h"

namespace orvo {

using posix::DiskEntry;
using posix::Drives;
using posix::FromErrno;

namespace {

WindowsPath InitialDirectory(const Drives& drives) {
  std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
  if (cwd) {
    if (auto image = drives.ToWindows(cwd.get())) return *image;
  }
  return WindowsPath{};
}

FindData::Details DetailsOf(const std::string& name, const struct stat& info, bool isLink) {
  FindData::Details details;
  details.attributes = posix::AttributesOf(name, info, isLink);
  details.lastWriteTime = posix::FileTimeOf(info);
  details.size = S_ISREG(info.st_mode) ? static_cast<int64_t>(info.st_size) : 0;
  return details;
}

// "." and ".." are plain folders whatever their names suggest; both carry the folder's own
// times, so that nothing is read above a folder that a link made the root.
FindData DotEntry(const std::string& name, const posix::FolderRef& folder) {
  return FindData(name, kAttrDirectory, true, [folder] {
    struct stat info {};
    fstat(folder->fd.get(), &info);
    FindData::Details details;
    details.attributes = kAttrDirectory;
    details.lastWriteTime = posix::FileTimeOf(info);
    return details;
  });
}

// The attribute bits that the type a folder read gives tells without looking at the entry: the
// whole word of a plain folder, the filtered bits of the rest; nullopt for a link or an unknown
// type, which must be looked at.
std::optional<uint32_t> AttributesOfType(const std::string& name, unsigned char type) {
  uint32_t hidden = !name.empty() && name[0] == '.' ? kAttrHidden : 0;
  switch (type) {
    case DT_DIR:
      return kAttrDirectory | hidden;
    case DT_REG:
      return kAttrArchive | hidden;
    case DT_LNK:
    case DT_UNKNOWN:
      return std::nullopt;
    default:  // pipes, sockets, devices
      return kAttrArchive | kAttrSystem | hidden;
  }
}

bool IsReadOnlyFile(const DiskEntry& entry) {
  return S_ISREG(entry.info.st_mode) && (entry.info.st_mode & S_IWUSR) == 0;
}

bool SameFolder(const DiskEntry& a, const DiskEntry& b) {
  if (a.folder == b.folder) return true;
  struct stat first {};
  struct stat second {};
  return fstat(a.folder->fd.get(), &first) == 0 && fstat(b.folder->fd.get(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// True when two entries are one name of one folder.
bool SameEntry(const DiskEntry& a, const DiskEntry& b) {
  return a.diskName == b.diskName && SameFolder(a, b);
}

int At(const DiskEntry& entry) { return entry.folder->fd.get(); }

// rename(2) that never replaces: renameat2 where the file system has it, else link and unlink
// for files; for folders (on such file systems only) a check just before the rename.
int RenameNoReplace(const DiskEntry& from, const DiskEntry& to, const std::string& toName,
                    bool isFolder) {
  const char* oldName = from.diskName.c_str();
  const char* newName = toName.c_str();
  if (renameat2(At(from), oldName, At(to), newName, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (!isFolder) {
    if (linkat(At(from), oldName, At(to), newName, 0) != 0) return errno;
    return unlinkat(At(from), oldName, 0) == 0 ? 0 : errno;
  }
  struct stat info {};
  if (fstatat(At(to), newName, &info, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return renameat(At(from), oldName, At(to), newName) == 0 ? 0 : errno;
}

// Forces a folder's entries to the storage device.
WinError SyncFolder(const DiskEntry& entry) {
  posix::Fd folder(openat(At(entry), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder || posix::Fsync(folder.get()) != 0) return FromErrno(errno);
  return kErrorSuccess;
}

// True when some open of the program holds the existing file (devices and pipes are never
// opened: their opens act).
bool InUse(const Drives& drives, const DiskEntry& entry) {
  if (!S_ISREG(entry.info.st_mode)) return false;
  posix::Fd fd(drives.Open(entry, O_RDONLY | O_NONBLOCK));
  return fd && posix::FileInUse(fd.get());
}

class HeldFolders : public FolderHold {
 public:
  explicit HeldFolders(Drives& drives) : drives_(drives) { drives_.Hold(); }
  ~HeldFolders() override { drives_.Release(); }
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;

 private:
  Drives& drives_;
};

}  // namespace

PosixHost::PosixHost(std::string root)
    : root_(std::move(root)), drives_(root_), gate_(InitialDirectory(drives_)) {}

WinError PosixHost::GetAttributes(const std::string& path, uint32_t* attributes) {
  GatedPath full;
  if (WinError error = gate_.Pass(path, PathUse::kLookup, &full)) return error;
  if (full->IsRoot()) {
    posix::FolderRef folder;
    if (WinError error = drives_.Folder(full, 0, &folder)) return error;
    *attributes = kAttrDirectory;
    return kErrorSuccess;
  }
  DiskEntry entry;
  if (WinError error = drives_.Find(full, &entry)) return error;
  if (!entry.exists) return entry.Missing();
  uint32_t word = posix::AttributesOf(full->components.back(), entry.info, entry.isLink);
  if (WinError error = CheckFinalSeparator(*full, word)) return error;
  *attributes = word;
  return kErrorSuccess;
}

WinError PosixHost::FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                              FindData* first) {
  return Search(pattern, false, search, first);
}

WinError PosixHost::FindFirstFolder(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                                    FindData* first) {
  return Search(pattern, true, search, first);
}

FindData PosixHost::LazyEntry(const std::shared_ptr<const posix::Listing>& names, size_t index,
                              const posix::FolderRef& folder, uint32_t known) const {
  // A plain folder's word is whole; a file's read-only bit waits for its details.
  bool whole = (known & kAttrDirectory) != 0;
  return FindData((*names)[index].name, known, whole, [this, names, index, folder, known] {
    const posix::ListedName& listed = (*names)[index];
    DiskEntry entry;
    if (drives_.Describe(folder, listed.diskName, &entry) && entry.exists) {
      return DetailsOf(listed.name, entry.info, entry.isLink);
    }
    // Gone since the folder was read: what the read told.
    FindData::Details details;
    details.attributes = known;
    return details;
  });
}

WinError PosixHost::Search(const std::string& pattern, bool foldersOnly,
                           std::unique_ptr<DirSearch>* search, FindData* first) {
  GatedPath full;
  if (WinError error = gate_.Pass(pattern, PathUse::kPattern, &full)) return error;
  if (full->IsRoot() || full->trailingSeparator) return kErrorFileNotFound;
  const std::string& leaf = full->components.back();
  bool atRoot = full->components.size() == 1;
  posix::FolderRef folder;
  if (WinError error = drives_.Folder(full, full->components.size() - 1, &folder)) return error;

  std::vector<FindData> entries;
  if (HasWildcards(leaf)) {
    for (const char* dot : {".", ".."}) {
      if (SearchYields(leaf, atRoot, dot)) entries.push_back(DotEntry(dot, folder));
    }
    std::shared_ptr<const posix::Listing> names;
    if (WinError error = drives_.List(folder, &names)) return error;
    for (const posix::ListedName& listed : *names) {
      if (foldersOnly && listed.type != DT_DIR && listed.type != DT_LNK &&
          listed.type != DT_UNKNOWN) {
        continue;
      }
      // A listing holds only names the program could name again.
      if (!MatchesPattern(leaf, listed.name)) continue;
      if (std::optional<uint32_t> known = AttributesOfType(listed.name, listed.type)) {
        entries.push_back(LazyEntry(names, &listed - names->data(), folder, *known));
        continue;
      }
      DiskEntry entry;
      if (drives_.Describe(folder, listed.diskName, &entry) && entry.exists) {
        entries.emplace_back(listed.name, DetailsOf(listed.name, entry.info, entry.isLink));
      }
    }
  } else {
    DiskEntry entry = drives_.Lookup(folder, leaf);
    if (entry.denied) return kErrorAccessDenied;
    if (entry.exists) {
      std::string name = posix::Utf8ToCp1252(entry.diskName);
      entries.emplace_back(name, DetailsOf(name, entry.info, entry.isLink));
    }
  }
  return StartGatheredSearch(std::move(entries), search, first);
}

WinError PosixHost::CreateFolder(const std::string& path) {
  GatedPath full;
  if (WinError error = gate_.Pass(path, PathUse::kNewFolder, &full)) return error;
  if (full->IsRoot()) {
    posix::FolderRef folder;
    WinError error = drives_.Folder(full, 0, &folder);
    return error != kErrorSuccess ? error : kErrorAlreadyExists;
  }
  DiskEntry entry;
  if (WinError error = drives_.Find(full, &entry)) return error;
  if (entry.exists) return kErrorAlreadyExists;
  drives_.Forget();
  return mkdirat(At(entry), entry.diskName.c_str(), 0777) == 0 ? kErrorSuccess : FromErrno(errno);
}

WinError PosixHost::FindForRemoval(const std::string& path, PathUse use, DiskEntry* entry) {
  GatedPath full;
  if (WinError error = gate_.Pass(path, use, &full)) return error;
  if (full->IsRoot()) return kErrorAccessDenied;
  if (WinError error = drives_.Find(full, entry)) return error;
  return entry->exists ? kErrorSuccess : entry->Missing();
}

WinError PosixHost::RemoveFolder(const std::string& path) {
  DiskEntry entry;
  if (WinError error = FindForRemoval(path, PathUse::kLookup, &entry)) return error;
  if (!S_ISDIR(entry.info.st_mode)) return kErrorDirectory;
  drives_.Forget();
  // A link to a folder is removed as the link, as Windows removes a directory link.
  int flags = entry.isLink ? 0 : AT_REMOVEDIR;
  return unlinkat(At(entry), entry.diskName.c_str(), flags) == 0 ? kErrorSuccess : FromErrno(errno);
}

WinError PosixHost::RemoveFile(const std::string& path) {
  DiskEntry entry;
  if (WinError error = FindForRemoval(path, PathUse::kFile, &entry)) return error;
  if (S_ISDIR(entry.info.st_mode) || IsReadOnlyFile(entry)) return kErrorAccessDenied;
  if (InUse(drives_, entry)) return kErrorSharingViolation;
  drives_.Forget();
  return unlinkat(At(entry), entry.diskName.c_str(), 0) == 0 ? kErrorSuccess : FromErrno(errno);
}

WinError PosixHost::MovePath(const std::string& from, const std::string& to, bool replace) {
  GatedPath source, dest;
  if (WinError error = gate_.Pass(from, PathUse::kMoved, &source)) return error;
  if (WinError error = gate_.Pass(to, PathUse::kMoved, &dest)) return error;
  if (source->IsRoot() || dest->IsRoot()) return kErrorAccessDenied;
  DiskEntry old, target;
  if (WinError error = drives_.Find(source, &old)) return error;
  if (!old.exists) return old.Missing();
  if (WinError error = drives_.Find(dest, &target)) return error;
  const std::string& newName = dest->components.back();
  bool isFolder = S_ISDIR(old.info.st_mode);
  if (!isFolder && InUse(drives_, old)) return kErrorSharingViolation;
  drives_.Forget();
  if (WinError error = Move(old, target, newName, replace, isFolder)) return error;
  // As MOVEFILE_WRITE_THROUGH: both folders are on the disk before the move is answered, so a
  // save, a verification or a marker swap that was answered survives a power cut.
  if (WinError error = SyncFolder(target)) return error;
  if (SameFolder(old, target)) return kErrorSuccess;
  // Another process may have removed the source folder once the move left it empty (a save's
  // pending folder): the moved entry is gone from the disk with it, and the move stands.
  WinError error = SyncFolder(old);
  return error == kErrorPathNotFound || error == kErrorFileNotFound ? kErrorSuccess : error;
}

WinError PosixHost::Move(const DiskEntry& old, const DiskEntry& target, const std::string& newName,
                         bool replace, bool isFolder) {
  if (target.exists && SameEntry(old, target)) {
    // The same entry: only a change of letter case is left to do.
    std::string wanted = posix::Cp1252ToUtf8(newName);
    if (wanted == old.diskName) return kErrorSuccess;
    return FromErrno(RenameNoReplace(old, old, wanted, isFolder));
  }
  if (!replace) {
    if (target.exists) return kErrorAlreadyExists;
    return FromErrno(RenameNoReplace(old, target, target.diskName, isFolder));
  }
  if (target.exists) {
    if (S_ISDIR(target.info.st_mode) || IsReadOnlyFile(target)) return kErrorAccessDenied;
    if (InUse(drives_, target)) return kErrorSharingViolation;
  }
  int moved = renameat(At(old), old.diskName.c_str(), At(target), target.diskName.c_str());
  return moved == 0 ? kErrorSuccess : FromErrno(errno);
}

WinError PosixHost::CheckPath(const std::string& path, PathUse use) {
  return gate_.Check(path, use);
}

WinError PosixHost::FullPathName(const std::string& path, std::string* full) {
  return gate_.FullName(path, full);
}

std::string PosixHost::GetCurrentFolder() { return gate_.Current().Text(); }

WinError PosixHost::SetCurrentFolder(const std::string& path) {
  GatedPath full;
  if (WinError error = gate_.Pass(path, PathUse::kCurrentFolder, &full)) return error;
  // Enters the folder, so that what is done in it next starts from there.
  posix::FolderRef folder;
  WinError error = drives_.Folder(full, full->components.size(), &folder);
  if (error != kErrorSuccess && !full->IsRoot()) {
    // Why it is no folder, in the words Windows has for it.
    DiskEntry entry;
    if (WinError missing = drives_.Find(full, &entry)) return missing;
    if (!entry.exists) return entry.Missing();
    if (!S_ISDIR(entry.info.st_mode)) return kErrorDirectory;
  }
  if (error != kErrorSuccess) return error;
  gate_.SetCurrent(full);
  return kErrorSuccess;
}

std::shared_ptr<const AllowedFolders> PosixHost::Confine(
    std::shared_ptr<const AllowedFolders> allowed) {
  return gate_.Confine(std::move(allowed));
}

std::unique_ptr<FolderHold> PosixHost::HoldFolders() {
  return std::make_unique<HeldFolders>(drives_);
}

std::string PosixHost::ErrorText(WinError code) {
  switch (code) {
    case kErrorSuccess:
      return "The operation completed successfully.\r\n";
    case kErrorInvalidFunction:
      return "Incorrect function.\r\n";
    case kErrorFileNotFound:
      return "The system cannot find the file specified.\r\n";
    case kErrorPathNotFound:
      return "The system cannot find the path specified.\r\n";
    case kErrorTooManyOpenFiles:
      return "The system cannot open the file.\r\n";
    case kErrorAccessDenied:
      return "Access is denied.\r\n";
    case kErrorInvalidHandle:
      return "The handle is invalid.\r\n";
    case kErrorNotEnoughMemory:
      return "Not enough memory resources are available to process this command.\r\n";
    case kErrorNotSameDevice:
      return "The system cannot move the file to a different disk drive.\r\n";
    case kErrorNoMoreFiles:
      return "There are no more files.\r\n";
    case kErrorWriteProtect:
      return "The media is write protected.\r\n";
    case kErrorWriteFault:
      return "The system cannot write to the specified device.\r\n";
    case kErrorReadFault:
      return "The system cannot read from the specified device.\r\n";
    case kErrorGenFailure:
      return "A device attached to the system is not functioning.\r\n";
    case kErrorSharingViolation:
      return "The process cannot access the file because it is being used by another process.\r\n";
    case kErrorLockViolation:
      return "The process cannot access the file because another process has locked a portion "
             "of the file.\r\n";
    case kErrorHandleDiskFull:
      return "The disk is full.\r\n";
    case kErrorBadNetPath:
      return "The network path was not found.\r\n";
    case kErrorFileExists:
      return "The file exists.\r\n";
    case kErrorInvalidParameter:
      return "The parameter is incorrect.\r\n";
    case kErrorDiskFull:
      return "There is not enough space on the disk.\r\n";
    case kErrorInvalidName:
      return "The filename, directory name, or volume label syntax is incorrect.\r\n";
    case kErrorModNotFound:
      return "The specified module could not be found.\r\n";
    case kErrorProcNotFound:
      return "The specified procedure could not be found.\r\n";
    case kErrorNegativeSeek:
      return "An attempt was made to move the file pointer before the beginning of the file.\r\n";
    case kErrorDirNotEmpty:
      return "The directory is not empty.\r\n";
    case kErrorAlreadyExists:
      return "Cannot create a file when that file already exists.\r\n";
    case kErrorFilenameExcedRange:
      return "The filename or extension is too long.\r\n";
    case kErrorDirectory:
      return "The directory name is invalid.\r\n";
    case kErrorIoDevice:
      return "The request could not be performed because of an I/O device error.\r\n";
    default:
      return "";  // no text, as FormatMessage has none for an unknown code
  }
}

}  // namespace orvo
