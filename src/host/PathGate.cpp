#include "host/PathGate.h"

#include <algorithm>

#include "host/AllowedFolders.h"
#include "host/WindowsNames.h"

namespace orvo {
namespace {

constexpr size_t kMaxPath = 260;
// CreateDirectory leaves room for an 8.3 name below the new folder.
constexpr size_t kMaxNewFolder = 248;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

void AppendComponent(std::string component, WindowsPath* path) {
  if (component == ".") return;
  if (component == "..") {
    if (!path->components.empty()) path->components.pop_back();
    return;
  }
  while (!component.empty() && (component.back() == '.' || component.back() == ' ')) {
    component.pop_back();
  }
  if (!component.empty()) path->components.push_back(std::move(component));
}

bool IsUnc(const std::string& path) {
  return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

// "\\?\", "\\.\", "\??\" (either separator, or the prefix alone): the system's namespaces,
// which reach devices and volumes past every rule of the Win32 paths ("\\?\GLOBALROOT",
// Wine's "\\?\unix" among them).
bool HasNamespacePrefix(const std::string& path) {
  if (path.size() < 3 || !IsSeparator(path[0])) return false;
  bool prefix = (IsSeparator(path[1]) && (path[2] == '?' || path[2] == '.')) ||
                (path[1] == '?' && path[2] == '?');
  return prefix && (path.size() == 3 || IsSeparator(path[3]));
}

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

std::string WindowsPath::Text() const {
  std::string text{drive, ':'};
  for (const std::string& component : components) text += "\\" + component;
  if (components.empty() || trailingSeparator) text += '\\';
  return text;
}

char WindowsPath::DriveFolder() const { return static_cast<char>(Upper(drive) - 'A' + 'a'); }

WinError ResolveWindowsPath(const std::string& path, const WindowsPath& current, WindowsPath* out) {
  if (path.empty()) return kErrorInvalidName;
  if (IsUnc(path)) return kErrorBadNetPath;

  WindowsPath result;
  size_t rest = 0;
  if (path.size() >= 2 && path[1] == ':' && IsDriveLetter(path[0])) {
    result.drive = path[0];
    rest = 2;
    bool sameDrive = Upper(path[0]) == Upper(current.drive);
    if (!(rest < path.size() && IsSeparator(path[rest])) && sameDrive) {
      result.components = current.components;
    }
  } else {
    result.drive = current.drive;
    if (!IsSeparator(path[0])) result.components = current.components;
  }

  size_t start = rest;
  for (size_t i = rest; i <= path.size(); ++i) {
    if (i == path.size() || IsSeparator(path[i])) {
      AppendComponent(path.substr(start, i - start), &result);
      start = i + 1;
    }
  }
  result.trailingSeparator = path.size() > rest && IsSeparator(path.back());
  *out = std::move(result);
  return kErrorSuccess;
}

WinError PathGate::Pass(const std::string& given, PathUse use, GatedPath* full) const {
  if (given.empty()) return kErrorPathNotFound;
  // The ANSI calls copy the text to a buffer of MAX_PATH; a move takes names of any length.
  if (use != PathUse::kMoved && given.size() > kMaxPath) return kErrorFilenameExcedRange;
  if (given.find('\0') != std::string::npos) return kErrorInvalidName;
  if (HasNamespacePrefix(given)) return kErrorInvalidName;
  if (IsUnc(given)) return kErrorBadNetPath;
  if (HasStrayColon(given)) return kErrorInvalidName;

  WindowsPath resolved;
  if (WinError error = ResolveWindowsPath(given, current_, &resolved)) return error;
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
