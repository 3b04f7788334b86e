// Allowed folders on Windows: what a call reaches, links and junctions on the way resolved by
// the system, must still lie inside the allowed folder that the gate found for its path. And the
// entry that a call changes must be the entry named, never what a link leads to.
#include <algorithm>
#include <optional>
#include <string>

#include "host/WindowsNames.h"
#include "host/windows/Win32.h"
#include "host/windows/WindowsHost.h"

namespace orvo {

using windows::LastError;

namespace {

// The path of the object open as `handle` as the system resolved it, 8.3 aliases made long
// names, without the "\\?\" prefix (a share reads "UNC\server\share\...").
std::optional<std::string> FinalPath(HANDLE handle) {
  std::string text(MAX_PATH + 1, '\0');
  for (;;) {
    DWORD length = GetFinalPathNameByHandleA(handle, text.data(), static_cast<DWORD>(text.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return std::nullopt;
    bool fits = length < text.size();
    text.resize(length);
    if (fits) break;
  }
  if (text.rfind("\\\\?\\", 0) == 0) text.erase(0, 4);
  return text;
}

bool SameTextIgnoringCase(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return UpperCp1252(static_cast<unsigned char>(x)) == UpperCp1252(static_cast<unsigned char>(y));
  });
}

// True when `path` is `folder` or lies below it.
bool Within(std::string folder, const std::string& path) {
  if (!folder.empty() && folder.back() == '\\') folder.pop_back();
  if (path.size() < folder.size() || !SameTextIgnoringCase(path.substr(0, folder.size()), folder)) {
    return false;
  }
  return path.size() == folder.size() || path[folder.size()] == '\\';
}

// Opens a folder to look at it; without delete sharing, nobody renames or removes it meanwhile.
HANDLE OpenFolder(const std::string& system) {
  return CreateFileA(system.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

std::shared_ptr<void> Owned(HANDLE handle) {
  return std::shared_ptr<void>(handle, [](HANDLE open) { CloseHandle(open); });
}

// `name` in the folder whose final path is `folder` ("D:\" at a root).
std::string InFolder(const std::string& folder, const std::string& name) {
  return !folder.empty() && folder.back() == '\\' ? folder + name : folder + "\\" + name;
}

}  // namespace

WinError WindowsHost::OpenEntry(const GatedPath& path, uint32_t access, bool folder,
                                HeldHandle* entry) {
  if (path->IsRoot()) return kErrorAccessDenied;
  std::string parentSystem, system;
  if (WinError error = SystemPath(path.Prefix(path->components.size() - 1), &parentSystem)) {
    return error;
  }
  if (WinError error = SystemPath(path, &system)) return error;
  HANDLE parent = OpenFolder(parentSystem);
  if (parent == INVALID_HANDLE_VALUE) {
    WinError error = windows::LastErrorOn(parentSystem);
    return error == kErrorFileNotFound ? kErrorPathNotFound : error;
  }
  HeldHandle heldParent = Owned(parent);
  // Shared as DeleteFile and MoveFile share: an open that another one excludes fails alike.
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0);
  HANDLE opened = CreateFileA(system.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr,
                              OPEN_EXISTING, flags, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return windows::LastErrorOn(system);
  HeldHandle held = Owned(opened);
  std::optional<std::string> where = FinalPath(parent), reached = FinalPath(opened);
  if (!where || !reached ||
      !SameTextIgnoringCase(*reached, InFolder(*where, path->components.back()))) {
    return kErrorAccessDenied;
  }
  *entry = std::move(held);
  return kErrorSuccess;
}

WinError WindowsHost::CheckReached(void* handle, const GatedPath& path) {
  if (!path.AllowedDepth()) return kErrorSuccess;
  std::string system;
  if (WinError error = SystemPath(path.Prefix(*path.AllowedDepth()), &system)) return error;
  HANDLE opened = OpenFolder(system);
  if (opened == INVALID_HANDLE_VALUE) return kErrorAccessDenied;
  HeldHandle folder = Owned(opened);
  std::optional<std::string> allowed = FinalPath(opened);
  std::optional<std::string> reached = FinalPath(handle);
  return allowed && reached && Within(*allowed, *reached) ? kErrorSuccess : kErrorAccessDenied;
}

WinError WindowsHost::HoldInside(const GatedPath& path, size_t count, HeldHandle* held) {
  if (!path.AllowedDepth()) return kErrorSuccess;
  std::string system;
  if (WinError error = SystemPath(path.Prefix(std::max(count, *path.AllowedDepth())), &system)) {
    return error;
  }
  HANDLE opened = OpenFolder(system);
  if (opened == INVALID_HANDLE_VALUE) {
    // A folder on the way to what the call names: missing, it is a missing path.
    WinError error = LastError();
    return error == kErrorFileNotFound ? kErrorPathNotFound : error;
  }
  HeldHandle folder = Owned(opened);
  if (WinError error = CheckReached(opened, path)) return error;
  *held = std::move(folder);
  return kErrorSuccess;
}

WinError WindowsHost::HoldParent(const GatedPath& path, HeldHandle* held) {
  return HoldInside(path, path->IsRoot() ? 0 : path->components.size() - 1, held);
}

}  // namespace orvo
