// Open files: CreateFileA with the share flags, and the handle's transfers.
#include <algorithm>
#include <memory>
#include <utility>

#include "host/windows/Win32.h"
#include "host/windows/WindowsHost.h"

namespace orvo {

using windows::Check;
using windows::LastError;

namespace {

// The most one ReadFile or WriteFile call moves; larger transfers take several.
constexpr size_t kMaxTransfer = 1u << 30;

class WindowsFile : public FileHandle {
 public:
  explicit WindowsFile(FileAccess access) : access_(access) {}
  ~WindowsFile() override {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  WindowsFile(const WindowsFile&) = delete;
  WindowsFile& operator=(const WindowsFile&) = delete;

  WinError Read(void* buffer, size_t count, size_t* done) override {
    *done = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (*done < count) {
      DWORD read = 0;
      DWORD ask = static_cast<DWORD>(std::min(count - *done, kMaxTransfer));
      if (!ReadFile(handle_, bytes + *done, ask, &read, nullptr)) {
        *done = 0;
        return LastError();
      }
      if (read == 0) break;  // the end of the file
      *done += read;
    }
    return kErrorSuccess;
  }

  WinError Write(const void* buffer, size_t count, size_t* done) override {
    *done = 0;
    auto* bytes = static_cast<const char*>(buffer);
    while (*done < count) {
      DWORD written = 0;
      DWORD ask = static_cast<DWORD>(std::min(count - *done, kMaxTransfer));
      if (!WriteFile(handle_, bytes + *done, ask, &written, nullptr)) return LastError();
      if (written == 0) return kErrorDiskFull;
      *done += written;
    }
    return kErrorSuccess;
  }

  WinError Seek(int64_t offset, SeekOrigin origin, int64_t* position) override {
    static constexpr DWORD kMethod[] = {FILE_BEGIN, FILE_CURRENT, FILE_END};
    LARGE_INTEGER distance, result;
    distance.QuadPart = offset;
    if (!SetFilePointerEx(handle_, distance, &result, kMethod[static_cast<int>(origin)])) {
      return LastError();
    }
    *position = result.QuadPart;
    return kErrorSuccess;
  }

  WinError Flush() override {
    // Nothing to force for a file opened for reading (the system would refuse the call).
    if (!WritesFile(access_)) return kErrorSuccess;
    return Check(FlushFileBuffers(handle_));
  }

  WinError SetEndOfFile() override { return Check(::SetEndOfFile(handle_)); }

  // Takes the handle of an open that succeeded.
  void Adopt(HANDLE handle) { handle_ = handle; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  FileAccess access_;
};

DWORD DesiredAccess(FileAccess access) {
  switch (access) {
    case FileAccess::kRead:
      return GENERIC_READ;
    case FileAccess::kWrite:
      return GENERIC_WRITE;
    case FileAccess::kAppend:
      return FILE_APPEND_DATA;  // without FILE_WRITE_DATA every write goes to the end
    case FileAccess::kReadWrite:
      break;
  }
  return GENERIC_READ | GENERIC_WRITE;
}

DWORD ShareMode(FileShare share) {
  return (share.read ? FILE_SHARE_READ : 0) | (share.write ? FILE_SHARE_WRITE : 0);
}

DWORD CreationDisposition(FileDisposition disposition) {
  switch (disposition) {
    case FileDisposition::kCreateAlways:
      return CREATE_ALWAYS;
    case FileDisposition::kCreateNew:
      return CREATE_NEW;
    case FileDisposition::kOpenAlways:
      return OPEN_ALWAYS;
    case FileDisposition::kOpenExisting:
      break;
  }
  return OPEN_EXISTING;
}

}  // namespace

WinError WindowsHost::OpenFile(const std::string& path, FileAccess access, FileShare share,
                               FileDisposition disposition, std::unique_ptr<FileHandle>* file) {
  GatedPath full;
  std::string system;
  if (WinError error = Pass(path, PathUse::kFile, &full, &system)) return error;
  // Made before the open: memory that ran out after it would leave the handle open, and an
  // open file cannot be removed (a failed save's pending file would stay).
  auto opened = std::make_unique<WindowsFile>(access);
  // The folder is held while the file is opened in it, so a file is never created outside.
  HeldFolder held;
  if (WinError error = HoldParent(full, &held)) return error;
  HANDLE handle = CreateFileA(system.c_str(), DesiredAccess(access), ShareMode(share), nullptr,
                              CreationDisposition(disposition), FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return windows::LastErrorOn(system);
  opened->Adopt(handle);
  // The file itself may be a link that leads out.
  if (WinError error = CheckReached(handle, full)) return error;
  *file = std::move(opened);
  return kErrorSuccess;
}

}  // namespace orvo
