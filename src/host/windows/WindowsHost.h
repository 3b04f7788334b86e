// The host on Windows: a thin layer over the ANSI Win32 calls. Paths are the system's own (no
// drive mapping, no confinement), names and texts are in the ANSI code page, and error codes,
// attribute words and sharing are the system's. Every path passes the path gate (PathGate.h)
// first, and reaches the system as the gate resolved it; searches list every long name and
// match it with the program's own matcher, in NTFS order.
#pragma once

#include <string>

#include "host/Host.h"
#include "host/PathGate.h"

namespace orvo {

class WindowsHost : public Host {
 public:
  // Switches standard input and output to binary mode and keeps the system from showing
  // dialogs for failed library loads or critical errors (nobody would answer them).
  WindowsHost();

  WinError GetAttributes(const std::string& path, uint32_t* attributes) override;
  WinError FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                     FindData* first) override;
  WinError FindFirstFolder(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                           FindData* first) override;
  WinError CreateFolder(const std::string& path) override;
  WinError CreateHiddenFolder(const std::string& path) override;
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

  WinError OpenLibrary(const std::string& name, std::unique_ptr<DynamicLibrary>* library) override;

  WinError OpenUserKey(const std::string& key, bool create) override;
  WinError ReadUserValue(const std::string& key, const std::string& name,
                         RegistryValue* value) override;
  WinError WriteUserValue(const std::string& key, const std::string& name,
                          const RegistryValue& value) override;
  // Removes a key of the current user with everything below it (tests clean up with it).
  WinError RemoveUserKey(const std::string& key);

 protected:
  // A host whose current folder starts at `current` rather than at the process's.
  explicit WindowsHost(const WindowsPath& current);
  // The system's name of a path the gate let through: its text. A host whose drives lie
  // elsewhere (the tests' drive trees) maps them here, kErrorPathNotFound for a missing drive.
  virtual WinError SystemPath(const GatedPath& path, std::string* system);

 private:
  // An open file or folder, closed when the last copy goes.
  using HeldHandle = std::shared_ptr<void>;

  // Passes `given` through the gate for `use` and names the result as the system does.
  WinError Pass(const std::string& given, PathUse use, GatedPath* full, std::string* system);
  // An 8.3 alias names nothing, as on Linux: kErrorFileNotFound when the last component of
  // `path` names an entry by its alias, kErrorPathNotFound for a folder on the way.
  WinError RefuseAliases(const GatedPath& path);
  // Opens the entry that `path` names (with FILE_FLAG_OPEN_REPARSE_POINT, so a link or junction
  // as itself where the system can) for `access`, a folder too when `folder`, and checks that the
  // handle reached that very entry: the name in the folder that holds it as the system resolved
  // that folder. kErrorAccessDenied when the open reached another entry: the target of a link
  // (Wine opens a link's target whatever the flags say), so nothing is removed or renamed
  // through a link.
  WinError OpenEntry(const GatedPath& path, uint32_t access, bool folder, HeldHandle* entry);
  // While confined: opens the folder of the first `count` components of `path` (the allowed
  // folder at least), and holds it in `*held`, undeletable and unrenamable, while a call works
  // in it; kErrorAccessDenied when links or junctions on the way lead out of the allowed folder.
  WinError HoldInside(const GatedPath& path, size_t count, HeldHandle* held);
  // HoldInside for the folder that holds the path's last component.
  WinError HoldParent(const GatedPath& path, HeldHandle* held);
  // Opens the file `full` (`system` to the system) as OpenFile does, checked before anything
  // is created or cut.
  WinError OpenChecked(const GatedPath& full, const std::string& system, FileAccess access,
                       FileShare share, FileDisposition disposition, HeldHandle* file);
  // kErrorAccessDenied when the object open as `handle` lies outside `path`'s allowed folder.
  WinError CheckReached(void* handle, const GatedPath& path);
  // Creates one folder and gives it `attributes` (0: none), or leaves nothing.
  WinError MakeFolder(const std::string& path, uint32_t attributes);
  WinError Search(const std::string& pattern, bool foldersOnly, std::unique_ptr<DirSearch>* search,
                  FindData* first);

  PathGate gate_;  // with the current folder
};

}  // namespace orvo
