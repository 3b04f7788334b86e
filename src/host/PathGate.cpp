#include "host/PathGate.h"

#include <algorithm>

#include "host/AllowedFolders.h"
#include "host/WindowsNames.h"

namespace orvo {
namespace {

constexpr size_t kMaxPath = 260;
// CreateDirectory leaves room for an 8.3 name below the new folder.
constexpr size_t kMaxNewFolder = 248;

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A ':' other than the one after a drive letter names an alternate data stream on NTFS.
bool HasStrayColon(const std::string& path) {
  size_t colon = path.find(':');
  if (colon == std::string::npos) return false;
  bool driveColon = colon == 1 && IsDriveLetter(path[0]);
  return !driveColon || path.find(':', colon + 1) != std::string::npos;
}

bool RefusedComponent(const std::string& name, bool wildcardsAllowed) {
  return (wildcardsAllowed ? IsInvalidPattern(name) : IsInvalidName(name)) || IsDeviceName(name);
}

// True when a component has more bytes in UTF-8 than a Linux file system holds in a name.
bool HasOverlongName(const WindowsPath& path) {
  return std::any_of(path.components.begin(), path.components.end(),
                     [](const std::string& name) { return Utf8Length(name) > kMaxNameUtf8; });
}

// The full path's length as the call measures it.
size_t FullLength(const WindowsPath& path, PathUse use) {
  size_t length = path.Text().size();
  bool finalSeparator = use == PathUse::kCurrentFolder && !path.IsRoot();
  return finalSeparator && !path.trailingSeparator ? length + 1 : length;
}

}  // namespace

WinError PathGate::Pass(const std::string& given, PathUse use, GatedPath* full) const {
  if (given.empty()) return kErrorPathNotFound;
  // The ANSI calls copy the text to a buffer of MAX_PATH; a move takes names of any length.
  if (use != PathUse::kMoved && given.size() > kMaxPath) return kErrorFilenameExcedRange;
  if (given.find('\0') != std::string::npos) return kErrorInvalidName;
  if (HasNamespacePrefix(given)) return kErrorInvalidName;
  if (HasStrayColon(given)) return kErrorInvalidName;

  WindowsPath resolved;
  if (WinError error = ResolveWindowsPath(given, current_, &resolved)) return error;
  if (resolved.IsUnc() &&
      (RefusedComponent(resolved.server, false) || RefusedComponent(resolved.share, false))) {
    return kErrorInvalidName;
  }
  for (size_t i = 0; i < resolved.components.size(); ++i) {
    bool last = i + 1 == resolved.components.size();
    if (RefusedComponent(resolved.components[i], last && use == PathUse::kPattern)) {
      return kErrorInvalidName;
    }
  }
  bool fileUse = use == PathUse::kFile || use == PathUse::kMoved;
  if (fileUse && resolved.trailingSeparator && !resolved.IsRoot()) return kErrorInvalidName;
  size_t limit = use == PathUse::kNewFolder ? kMaxNewFolder : kMaxPath;
  if (FullLength(resolved, use) >= limit || HasOverlongName(resolved)) {
    return kErrorFilenameExcedRange;
  }
  std::optional<size_t> allowedDepth;
  if (WinError error = CheckAllowed(resolved, use, &allowedDepth)) return error;
  *full = GatedPath(std::move(resolved), allowedDepth);
  return kErrorSuccess;
}

WinError PathGate::Check(const std::string& given, PathUse use) const {
  GatedPath full;
  return Pass(given, use, &full);
}

WinError CheckFinalSeparator(const WindowsPath& path, uint32_t attributes) {
  bool folder = (attributes & kAttrDirectory) != 0;
  return path.trailingSeparator && !folder ? kErrorInvalidName : kErrorSuccess;
}

WinError PathGate::FullName(const std::string& given, std::string* full) const {
  WindowsPath resolved;
  if (WinError error = ResolveWindowsPath(given, current_, &resolved)) return error;
  *full = resolved.Text();
  return kErrorSuccess;
}

WinError PathGate::CheckAllowed(const WindowsPath& path, PathUse use,
                                std::optional<size_t>* allowedDepth) const {
  if (!allowed_) return kErrorSuccess;
  *allowedDepth = allowed_->Holder(path);
  if (*allowedDepth) return kErrorSuccess;
  bool goingBack = use == PathUse::kCurrentFolder && path.Text() == confinedFrom_.Text();
  return goingBack ? kErrorSuccess : kErrorAccessDenied;
}

std::shared_ptr<const AllowedFolders> PathGate::Confine(
    std::shared_ptr<const AllowedFolders> allowed) {
  confinedFrom_ = current_;
  std::swap(allowed_, allowed);
  return allowed;
}

void PathGate::SetCurrent(const GatedPath& folder) {
  current_ = *folder;
  current_.trailingSeparator = false;
}

}  // namespace orvo
