// The one way the Windows host includes the system's headers: without the rarely used parts and
// without the min and max macros that would break the standard library.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

#include "host/Host.h"

namespace orvo::windows {

// The calling thread's last error as the host reports it.
inline WinError LastError() { return static_cast<WinError>(GetLastError()); }

// The result of a call that reports success as a BOOL.
inline WinError Check(BOOL succeeded) { return succeeded ? kErrorSuccess : LastError(); }

// The last error of a call on the full path `path`: on a drive that does not exist, the path is
// not found, as Windows says (Wine says the file is not found).
inline WinError LastErrorOn(const std::string& path) {
  WinError error = LastError();
  if (error == ERROR_FILE_NOT_FOUND && path.size() >= 3 && path[1] == ':' &&
      GetDriveTypeA(path.substr(0, 3).c_str()) == DRIVE_NO_ROOT_DIR) {
    return ERROR_PATH_NOT_FOUND;
  }
  return error;
}

inline WinError CheckOn(BOOL succeeded, const std::string& path) {
  return succeeded ? kErrorSuccess : LastErrorOn(path);
}

inline FileTime FromFileTime(const FILETIME& time) {
  return static_cast<FileTime>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime);
}

inline FILETIME ToFileTime(FileTime time) {
  auto ticks = static_cast<uint64_t>(time);
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace orvo::windows
