// The host on Linux: a Windows file system made of one folder per drive letter under a root
// folder (ORVO_ROOT), confined to it; the program's own current directory; Windows error codes.
//
// Drive X exists exactly when the folder named by its lower-case letter exists under the root
// (C:\ is <root>/c); the program never creates drive folders, the deployment does. Nothing
// outside the root is read, written, listed or renamed: a symbolic link whose target lies
// outside (or nowhere) is treated as missing, the drive folders included; one that stays inside
// is followed, and its entry carries the reparse-point bit (0x400) as on Windows. Names are code
// page 1252 inside and UTF-8 on disk, matched ignoring case. Share modes hold among the program's
// processes through advisory locks. Every path passes the path gate (PathGate.h) first.
#pragma once

#include <string>

#include "host/Host.h"
#include "host/PathGate.h"
#include "host/posix/PosixDisk.h"

namespace orvo {

class PosixHost : public Host {
 public:
  // `root` holds the drive folders ("c", "d", ...). The current directory starts at the image
  // of the process's directory when that lies inside a drive folder, else at "C:\".
  explicit PosixHost(std::string root);

  // The root named by ORVO_ROOT, else /var/lib/orvo.
  static std::string RootFromEnvironment();

  WinError GetAttributes(const std::string& path, uint32_t* attributes) override;
  WinError FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                     FindData* first) override;
  WinError FindFirstFolder(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                           FindData* first) override;
  WinError CreateFolder(const std::string& path) override;
  WinError RemoveFolder(const std::string& path) override;
  WinError RemoveFile(const std::string& path) override;
  WinError MovePath(const std::string& from, const std::string& to, bool replace) override;
  WinError OpenFile(const std::string& path, FileAccess access, FileShare share,
                    FileDisposition disposition, std::unique_ptr<FileHandle>* file) override;
  WinError CheckPath(const std::string& path, PathUse use) override;
  WinError FullPathName(const std::string& path, std::string* full) override;
  std::string GetCurrentFolder() override;
  WinError SetCurrentFolder(const std::string& path) override;
  std::string ErrorText(WinError code) override;
  std::shared_ptr<const AllowedFolders> Confine(
      std::shared_ptr<const AllowedFolders> allowed) override;
  // Holds the folders kept open (Drives::Hold); the result must not outlive the host.
  std::unique_ptr<FolderHold> HoldFolders() override;

  LocalTime LocalNow() override;
  FileTime UtcToLocalFileTime(FileTime utc) override;
  std::optional<std::string> GetLocaleValue(LocaleItem item) override;

  std::optional<std::string> GetEnvironment(const std::string& name) override;
  int64_t ReadStdin(void* buffer, size_t count) override;
  void WriteStdout(const void* buffer, size_t count) override;
  void WriteStderr(const void* buffer, size_t count) override;
  void WriteOperatorLog(const std::string& line) override;
  WinError RemoveFileOnTermination(const std::string& path) override;
  void EndProcess(int status) override;
  std::unique_ptr<Deadline> StartDeadline(int seconds, std::function<bool()> expired,
                                          int status) override;
  // A timer whose signal, sent to the arming thread, does the expiry in its handler: no thread.
  std::unique_ptr<Deadline> StartPreparedDeadline(int seconds, PreparedExpiry expiry) override;

  WinError OpenLibrary(const std::string& name, std::unique_ptr<DynamicLibrary>* library) override;

  WinError OpenUserKey(const std::string& key, bool create) override;
  WinError ReadUserValue(const std::string& key, const std::string& name,
                         RegistryValue* value) override;
  WinError WriteUserValue(const std::string& key, const std::string& name,
                          const RegistryValue& value) override;

  const std::string& Root() const { return root_; }

 private:
  // Finds the existing entry that `path` names for removal; a drive root is refused.
  WinError FindForRemoval(const std::string& path, PathUse use, posix::DiskEntry* entry);
  // Renames `old` as `target` (of the name `newName`), the final step of MovePath.
  WinError Move(const posix::DiskEntry& old, const posix::DiskEntry& target,
                const std::string& newName, bool replace, bool isFolder);
  // A search; with `foldersOnly` the names that the folder read shows to be something else are
  // left out without looking at them.
  WinError Search(const std::string& pattern, bool foldersOnly, std::unique_ptr<DirSearch>* search,
                  FindData* first);
  // The search entry of the listed name `index` of `names`, of `folder`, whose attribute bits
  // `known` the folder read told; its details are read when first asked for.
  FindData LazyEntry(const std::shared_ptr<const posix::Listing>& names, size_t index,
                     const posix::FolderRef& folder, uint32_t known) const;

  std::string root_;
  posix::Drives drives_;
  PathGate gate_;  // with the current directory
};

}  // namespace orvo
