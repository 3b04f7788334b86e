// The host on Windows: a thin layer over the ANSI Win32 calls. Paths are the system's own (no
// drive mapping, no confinement), names and texts are in the ANSI code page, and error codes,
// attribute words, search order and sharing are the system's.
#pragma once

#include <string>

#include "host/Host.h"

namespace orvo {

class WindowsHost : public Host {
 public:
  // Switches standard input and output to binary mode and keeps the system from showing
  // dialogs for failed library loads or critical errors (nobody would answer them).
  WindowsHost();

  WinError GetAttributes(const std::string& path, uint32_t* attributes) override;
  WinError FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                     FindData* first) override;
  WinError CreateFolder(const std::string& path) override;
  WinError RemoveFolder(const std::string& path) override;
  WinError RemoveFile(const std::string& path) override;
  WinError MovePath(const std::string& from, const std::string& to, bool replace) override;
  WinError OpenFile(const std::string& path, FileAccess access, FileShare share,
                    FileDisposition disposition, std::unique_ptr<FileHandle>* file) override;
  WinError FullPathName(const std::string& path, std::string* full) override;
  std::string GetCurrentFolder() override;
  WinError SetCurrentFolder(const std::string& path) override;
  std::string ErrorText(WinError code) override;

  LocalTime LocalNow() override;
  FileTime UtcToLocalFileTime(FileTime utc) override;
  std::optional<std::string> GetLocaleValue(LocaleItem item) override;

  std::optional<std::string> GetEnvironment(const std::string& name) override;
  int64_t ReadStdin(void* buffer, size_t count) override;
  void WriteStdout(const void* buffer, size_t count) override;
  void WriteStderr(const void* buffer, size_t count) override;
  void WriteOperatorLog(const std::string& line) override;
  WinError RemoveFileOnTermination(const std::string& path) override;

  WinError OpenLibrary(const std::string& name, std::unique_ptr<DynamicLibrary>* library) override;

  WinError OpenUserKey(const std::string& key, bool create) override;
  WinError ReadUserValue(const std::string& key, const std::string& name,
                         RegistryValue* value) override;
  WinError WriteUserValue(const std::string& key, const std::string& name,
                          const RegistryValue& value) override;
  // Removes a key of the current user with everything below it (tests clean up with it).
  WinError RemoveUserKey(const std::string& key);
};

}  // namespace orvo
