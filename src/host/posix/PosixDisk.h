// The drive folders on disk: confined lookup of Windows paths, errno translation, and the
// sharing claims that emulate Windows share modes among the program's processes.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

#include "host/Host.h"
#include "host/posix/WindowsPath.h"

namespace orvo::posix {

// An entry looked up in a drive folder.
struct DiskEntry {
  std::string path;      // the entry itself on the host (a symbolic link stays the link)
  std::string target;    // the same with a link followed; valid when `exists`
  std::string diskName;  // its name in its folder, UTF-8
  struct stat info {};   // of the target; valid when `exists`
  bool exists = false;   // false also for a link that leads outside the root or nowhere
  bool isLink = false;   // the name is a symbolic link
};

// The drive folders under one root. Every lookup starts from the root's real path, so nothing
// outside it is reached: a symbolic link is followed only when its target lies inside.
class Drives {
 public:
  explicit Drives(std::string root) : root_(std::move(root)) {}

  // The host folder holding the first `count` components of `path`: each must exist as a
  // folder (kErrorPathNotFound) and have a valid name (kErrorInvalidName).
  WinError Folder(const WindowsPath& path, size_t count, std::string* hostFolder) const;
  // The entry named by the last component of a non-root path; its folder must exist.
  WinError Find(const WindowsPath& path, DiskEntry* entry) const;
  // Looks a 1252 name up in a host folder: the exact name first, else one equal ignoring case.
  DiskEntry Lookup(const std::string& hostFolder, const std::string& name) const;
  // Describes the entry `diskName` of a host folder.
  DiskEntry Describe(const std::string& hostFolder, const std::string& diskName) const;
  // The Windows path of a host path inside a drive folder; nullopt outside them.
  std::optional<WindowsPath> ToWindows(const std::string& hostPath) const;

 private:
  std::optional<std::string> RealRoot() const;
  bool Inside(const std::string& realRoot, const std::string& realPath) const;

  std::string root_;
};

// The attribute word of an entry with 1252 name `name`; `isLink` for a symbolic link, whose
// `info` is of its target.
uint32_t AttributesOf(const std::string& name, const struct stat& info, bool isLink);
// The Windows file time of a modification time.
FileTime FileTimeOf(const struct stat& info);

// The Windows code of a failed system call.
WinError FromErrno(int error);

// Places the sharing claim of an open on `fd` (opened for reading) after checking, under an
// exclusive guard, that no other open of the file conflicts: kErrorSharingViolation if one does.
WinError ClaimSharing(int fd, FileAccess access, FileShare share);
// True when some open of the program holds the file at `hostPath`.
bool FileInUse(const std::string& hostPath);

}  // namespace orvo::posix
