#include "host/posix/WindowsPath.h"

namespace orvo::posix {
namespace {

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
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return kErrorBadNetPath;

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

}  // namespace orvo::posix
