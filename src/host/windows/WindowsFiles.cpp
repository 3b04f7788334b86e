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
  void Adopt(std::shared_ptr<void> handle) {
    owner_ = std::move(handle);
    handle_ = owner_.get();
  }

 private:
  std::shared_ptr<void> owner_;  // closes the handle
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

// An open of `system` that creates nothing (OPEN_EXISTING) or nothing but a new file
// (CREATE_NEW, which never follows a final link: the name exists).
HANDLE Open(const std::string& system, FileAccess access, FileShare share, DWORD disposition) {
  return CreateFileA(system.c_str(), DesiredAccess(access), ShareMode(share), nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

WinError WindowsHost::OpenChecked(const GatedPath& full, const std::string& system,
                                  FileAccess access, FileShare share, FileDisposition disposition,
                                  HeldHandle* file) {
  const bool always =
      disposition == FileDisposition::kCreateAlways || disposition == FileDisposition::kOpenAlways;
  // The "always" dispositions would create or truncate through a final link before the handle
  // could be checked: a new file is made with CREATE_NEW, an existing one opened as it is,
  // checked, and only then cut. A name removed in between is tried again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (disposition != FileDisposition::kOpenExisting) {
      handle = Open(system, access, share, CREATE_NEW);
      if (handle == INVALID_HANDLE_VALUE && (!always || GetLastError() != ERROR_FILE_EXISTS)) {
        return windows::LastErrorOn(system);
      }
    }
    const bool created = handle != INVALID_HANDLE_VALUE;
    if (!created) handle = Open(system, access, share, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) {
      if (always && GetLastError() == ERROR_FILE_NOT_FOUND) continue;
      return windows::LastErrorOn(system);
    }
    HeldHandle opened(handle, [](HANDLE open) { CloseHandle(open); });
    // The file itself may be a link that leads out.
    if (WinError error = CheckReached(handle, full)) return error;
    if (!created && disposition == FileDisposition::kCreateAlways) {
      if (WinError error = Check(::SetEndOfFile(handle))) return error;
    }
    *file = std::move(opened);
    return kErrorSuccess;
  }
  return kErrorAccessDenied;  // the name keeps coming and going
}

WinError WindowsHost::OpenFile(const std::string& path, FileAccess access, FileShare share,
                               FileDisposition disposition, std::unique_ptr<FileHandle>* file) {
  GatedPath full;
  std::string system;
  if (WinError error = Pass(path, PathUse::kFile, &full, &system)) return error;
  // Made before the open: memory that ran out after it would leave the handle open, and an
  // open file cannot be removed (a failed save's pending file would stay).
  auto opened = std::make_unique<WindowsFile>(access);
  // The folder is held while the file is opened in it, so a file is never created outside.
  HeldHandle held, handle;
  if (WinError error = HoldParent(full, &held)) return error;
  if (WinError error = OpenChecked(full, system, access, share, disposition, &handle)) {
    return error;
  }
  opened->Adopt(std::move(handle));
  *file = std::move(opened);
  return kErrorSuccess;
}

}  // namespace orvo
