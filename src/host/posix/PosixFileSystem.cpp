// Folders, directory searches, renames, the current directory and the error texts.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <vector>

#include "host/posix/PosixDisk.h"
#include "host/posix/PosixHost.h"
#include "host/posix/PosixNames.h"

namespace orvo {

using posix::DiskEntry;
using posix::Drives;
using posix::FromErrno;
using posix::WindowsPath;

namespace {

WindowsPath InitialDirectory(const std::string& root) {
  std::error_code error;
  std::filesystem::path cwd = std::filesystem::current_path(error);
  if (!error) {
    if (auto image = Drives(root).ToWindows(cwd.string())) return *image;
  }
  return WindowsPath{};
}

// A search's entries, gathered and sorted when it starts.
class PosixDirSearch : public DirSearch {
 public:
  explicit PosixDirSearch(std::vector<FindData> entries) : entries_(std::move(entries)) {}
  WinError Next(FindData* entry) override {
    if (next_ >= entries_.size()) return kErrorNoMoreFiles;
    *entry = entries_[next_++];
    return kErrorSuccess;
  }

 private:
  std::vector<FindData> entries_;
  size_t next_ = 0;
};

FindData MakeFindData(const std::string& name, const struct stat& info) {
  FindData data;
  data.name = name;
  data.attributes = posix::AttributesOf(name, info);
  data.lastWriteTime = posix::FileTimeOf(info);
  data.size = S_ISREG(info.st_mode) ? static_cast<int64_t>(info.st_size) : 0;
  return data;
}

// "." and ".." are plain folders whatever their names suggest.
FindData DotEntry(const std::string& name, const std::string& hostPath) {
  struct stat info {};
  stat(hostPath.c_str(), &info);
  FindData data = MakeFindData(name, info);
  data.attributes = kAttrDirectory;
  data.size = 0;
  return data;
}

// The entries of a host folder whose 1252 names match `pattern`, in NTFS order.
std::vector<FindData> ListFolder(const Drives& drives, const std::string& hostFolder,
                                 const std::string& pattern) {
  std::vector<std::pair<std::u16string, FindData>> found;
  // Closed also when an allocation below fails.
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(hostFolder.c_str()), &closedir);
  if (dir) {
    while (dirent* item = readdir(dir.get())) {
      std::string diskName = item->d_name;
      if (diskName == "." || diskName == "..") continue;
      std::string name = posix::Utf8ToCp1252(diskName);
      if (!posix::MatchesPattern(pattern, name)) continue;
      DiskEntry entry = drives.Describe(hostFolder, diskName);
      if (!entry.exists) continue;
      found.emplace_back(posix::NtfsSortKey(diskName), MakeFindData(name, entry.info));
    }
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<FindData> entries;
  for (auto& item : found) entries.push_back(std::move(item.second));
  return entries;
}

bool IsReadOnlyFile(const DiskEntry& entry) {
  return S_ISREG(entry.info.st_mode) && (entry.info.st_mode & S_IWUSR) == 0;
}

// rename(2) that never replaces: renameat2 where the file system has it, else link and unlink
// for files; for folders (on such file systems only) a check just before the rename.
int RenameNoReplace(const std::string& from, const std::string& to, bool isFolder) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  if (!isFolder) {
    if (link(from.c_str(), to.c_str()) != 0) return errno;
    return unlink(from.c_str()) == 0 ? 0 : errno;
  }
  struct stat info {};
  if (lstat(to.c_str(), &info) == 0) return EEXIST;
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

PosixHost::PosixHost(std::string root)
    : root_(std::move(root)), currentDirectory_(InitialDirectory(root_)) {}

WinError PosixHost::Resolve(const std::string& path, WindowsPath* full) const {
  if (path.empty()) return kErrorPathNotFound;
  return posix::ResolveWindowsPath(path, currentDirectory_, full);
}

WinError PosixHost::GetAttributes(const std::string& path, uint32_t* attributes) {
  WindowsPath full;
  std::string folder;
  if (WinError error = Resolve(path, &full)) return error;
  if (full.IsRoot()) {
    if (WinError error = Drives(root_).Folder(full, 0, &folder)) return error;
    *attributes = kAttrDirectory;
    return kErrorSuccess;
  }
  DiskEntry entry;
  if (WinError error = Drives(root_).Find(full, &entry)) return error;
  if (posix::IsInvalidName(full.components.back())) return kErrorInvalidName;
  if (!entry.exists) return kErrorFileNotFound;
  *attributes = posix::AttributesOf(full.components.back(), entry.info);
  return kErrorSuccess;
}

WinError PosixHost::FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                              FindData* first) {
  WindowsPath full;
  if (WinError error = Resolve(pattern, &full)) return error;
  if (full.IsRoot() || full.trailingSeparator) return kErrorFileNotFound;
  const std::string& leaf = full.components.back();
  if (posix::IsInvalidPattern(leaf)) return kErrorInvalidName;
  Drives drives(root_);
  std::string folder;
  if (WinError error = drives.Folder(full, full.components.size() - 1, &folder)) return error;

  std::vector<FindData> entries;
  if (posix::HasWildcards(leaf)) {
    if (full.components.size() > 1) {
      for (const char* dot : {".", ".."}) {
        if (posix::MatchesPattern(leaf, dot)) entries.push_back(DotEntry(dot, folder + "/" + dot));
      }
    }
    std::vector<FindData> names = ListFolder(drives, folder, leaf);
    entries.insert(entries.end(), names.begin(), names.end());
  } else {
    DiskEntry entry = drives.Lookup(folder, leaf);
    if (entry.exists)
      entries.push_back(MakeFindData(posix::Utf8ToCp1252(entry.diskName), entry.info));
  }
  if (entries.empty()) return kErrorFileNotFound;
  *first = entries.front();
  entries.erase(entries.begin());
  *search = std::make_unique<PosixDirSearch>(std::move(entries));
  return kErrorSuccess;
}

WinError PosixHost::CreateFolder(const std::string& path) {
  WindowsPath full;
  if (WinError error = Resolve(path, &full)) return error;
  std::string folder;
  if (full.IsRoot()) {
    WinError error = Drives(root_).Folder(full, 0, &folder);
    return error != kErrorSuccess ? error : kErrorAlreadyExists;
  }
  DiskEntry entry;
  if (WinError error = Drives(root_).Find(full, &entry)) return error;
  if (posix::IsInvalidName(full.components.back())) return kErrorInvalidName;
  if (entry.exists) return kErrorAlreadyExists;
  return mkdir(entry.path.c_str(), 0777) == 0 ? kErrorSuccess : FromErrno(errno);
}

WinError PosixHost::FindForRemoval(const std::string& path, DiskEntry* entry) const {
  WindowsPath full;
  if (WinError error = Resolve(path, &full)) return error;
  if (full.IsRoot()) return kErrorAccessDenied;
  if (WinError error = Drives(root_).Find(full, entry)) return error;
  return entry->exists ? kErrorSuccess : kErrorFileNotFound;
}

WinError PosixHost::RemoveFolder(const std::string& path) {
  DiskEntry entry;
  if (WinError error = FindForRemoval(path, &entry)) return error;
  if (!S_ISDIR(entry.info.st_mode)) return kErrorDirectory;
  // A link to a folder is removed as the link, as Windows removes a directory link.
  int result = entry.path != entry.target ? unlink(entry.path.c_str()) : rmdir(entry.path.c_str());
  return result == 0 ? kErrorSuccess : FromErrno(errno);
}

WinError PosixHost::RemoveFile(const std::string& path) {
  DiskEntry entry;
  if (WinError error = FindForRemoval(path, &entry)) return error;
  if (S_ISDIR(entry.info.st_mode) || IsReadOnlyFile(entry)) return kErrorAccessDenied;
  if (posix::FileInUse(entry.target)) return kErrorSharingViolation;
  return unlink(entry.path.c_str()) == 0 ? kErrorSuccess : FromErrno(errno);
}

WinError PosixHost::MovePath(const std::string& from, const std::string& to, bool replace) {
  WindowsPath source, dest;
  if (WinError error = Resolve(from, &source)) return error;
  if (WinError error = Resolve(to, &dest)) return error;
  if (source.IsRoot() || dest.IsRoot()) return kErrorAccessDenied;
  Drives drives(root_);
  DiskEntry old, target;
  if (WinError error = drives.Find(source, &old)) return error;
  if (!old.exists) return kErrorFileNotFound;
  if (WinError error = drives.Find(dest, &target)) return error;
  const std::string& newName = dest.components.back();
  if (posix::IsInvalidName(newName)) return kErrorInvalidName;
  bool isFolder = S_ISDIR(old.info.st_mode);
  if (!isFolder && posix::FileInUse(old.target)) return kErrorSharingViolation;

  if (target.exists && target.path == old.path) {
    // The same entry: only a change of letter case is left to do.
    std::string wanted = posix::Cp1252ToUtf8(newName);
    if (wanted == old.diskName) return kErrorSuccess;
    std::string folder = old.path.substr(0, old.path.size() - old.diskName.size());
    int error = RenameNoReplace(old.path, folder + wanted, isFolder);
    return FromErrno(error);
  }
  if (!replace) {
    if (target.exists) return kErrorAlreadyExists;
    return FromErrno(RenameNoReplace(old.path, target.path, isFolder));
  }
  if (target.exists) {
    if (S_ISDIR(target.info.st_mode) || IsReadOnlyFile(target)) return kErrorAccessDenied;
    if (posix::FileInUse(target.target)) return kErrorSharingViolation;
  }
  return rename(old.path.c_str(), target.path.c_str()) == 0 ? kErrorSuccess : FromErrno(errno);
}

WinError PosixHost::FullPathName(const std::string& path, std::string* full) {
  WindowsPath resolved;
  if (path.empty()) return kErrorInvalidName;
  if (WinError error = Resolve(path, &resolved)) return error;
  *full = resolved.Text();
  return kErrorSuccess;
}

std::string PosixHost::GetCurrentFolder() { return currentDirectory_.Text(); }

WinError PosixHost::SetCurrentFolder(const std::string& path) {
  WindowsPath full;
  if (WinError error = Resolve(path, &full)) return error;
  full.trailingSeparator = false;
  std::string folder;
  if (full.IsRoot()) {
    if (WinError error = Drives(root_).Folder(full, 0, &folder)) return error;
  } else {
    DiskEntry entry;
    if (WinError error = Drives(root_).Find(full, &entry)) return error;
    if (posix::IsInvalidName(full.components.back())) return kErrorInvalidName;
    if (!entry.exists) return kErrorFileNotFound;
    if (!S_ISDIR(entry.info.st_mode)) return kErrorDirectory;
  }
  currentDirectory_ = std::move(full);
  return kErrorSuccess;
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
