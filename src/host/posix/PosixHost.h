// The host on Linux: a Windows file system made of one folder per drive letter under a root
// folder (ORVO_ROOT), confined to it; the program's own current directory; Windows error codes.
#pragma once

#include <string>

#include "host/Host.h"

namespace orvo {

class PosixHost : public Host {
 public:
  // `root` holds the drive folders ("c", "d", ...). The current directory starts at the image
  // of the process's directory when that lies inside a drive folder, else at "C:\".
  explicit PosixHost(std::string root);

  // The root named by ORVO_ROOT, else /var/lib/orvo.
  static std::string RootFromEnvironment();

  WinError GetFileAttributes(const std::string& path, uint32_t* attributes) override;
  WinError FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                     FindData* first) override;
  WinError CreateDirectory(const std::string& path) override;
  WinError RemoveDirectory(const std::string& path) override;
  WinError DeleteFile(const std::string& path) override;
  WinError MoveFile(const std::string& from, const std::string& to, bool replace) override;
  WinError OpenFile(const std::string& path, FileAccess access, FileShare share,
                    FileDisposition disposition, std::unique_ptr<FileHandle>* file) override;
  WinError GetFullPathName(const std::string& path, std::string* full) override;
  std::string GetCurrentDirectory() override;
  WinError SetCurrentDirectory(const std::string& path) override;
  std::string ErrorText(WinError code) override;

  LocalTime LocalNow() override;
  FileTime UtcToLocalFileTime(FileTime utc) override;
  std::optional<std::string> GetLocaleValue(LocaleItem item) override;

  std::optional<std::string> GetEnvironment(const std::string& name) override;
  int64_t ReadStdin(void* buffer, size_t count) override;
  void WriteStdout(const void* buffer, size_t count) override;
  void WriteStderr(const void* buffer, size_t count) override;

  WinError LoadLibrary(const std::string& name, std::unique_ptr<DynamicLibrary>* library) override;

  WinError OpenUserKey(const std::string& key, bool create) override;
  WinError ReadUserValue(const std::string& key, const std::string& name,
                         RegistryValue* value) override;
  WinError WriteUserValue(const std::string& key, const std::string& name,
                          const RegistryValue& value) override;

  const std::string& Root() const { return root_; }

 private:
  std::string root_;
  std::string currentDirectory_;  // a Windows path, "C:\..."
};

}  // namespace orvo
