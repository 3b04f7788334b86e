#include "host/WindowsPath.h"

#include "host/WindowsNames.h"

namespace orvo {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

void DropTrailingDotsAndBlanks(std::string* name) {
  while (!name->empty() && (name->back() == '.' || name->back() == ' ')) name->pop_back();
}

void AppendComponent(std::string component, WindowsPath* path) {
  if (component == ".") return;
  if (component == "..") {
    if (!path->components.empty()) path->components.pop_back();
    return;
  }
  DropTrailingDotsAndBlanks(&component);
  if (!component.empty()) path->components.push_back(std::move(component));
}

bool IsUnc(const std::string& path) {
  return path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
}

// The next name of `path` from `*at` up to a separator; `*at` moves past that separator.
std::string TakeName(const std::string& path, size_t* at) {
  size_t end = *at;
  while (end < path.size() && !IsSeparator(path[end])) ++end;
  std::string name = path.substr(*at, end - *at);
  *at = end < path.size() ? end + 1 : end;
  return name;
}

// Takes the server and share of a UNC path; `*rest` is where its components begin.
WinError ResolveShare(const std::string& path, WindowsPath* result, size_t* rest) {
  size_t at = 2;
  result->server = TakeName(path, &at);
  result->share = TakeName(path, &at);
  DropTrailingDotsAndBlanks(&result->server);
  DropTrailingDotsAndBlanks(&result->share);
  if (result->server.empty() || result->share.empty()) return kErrorBadNetPath;
  // "\\?.\x" would be written back as "\\?\x": a namespace, never a server.
  if (result->server == "?" || result->server == ".") return kErrorBadNetPath;
  // A share's root is "\\srv\lotes\": its own separator is no trailing one.
  *rest = at;
  return kErrorSuccess;
}

}  // namespace

bool HasNamespacePrefix(const std::string& path) {
  if (path.size() < 3 || !IsSeparator(path[0])) return false;
  bool prefix = (IsSeparator(path[1]) && (path[2] == '?' || path[2] == '.')) ||
                (path[1] == '?' && path[2] == '?');
  return prefix && (path.size() == 3 || IsSeparator(path[3]));
}

std::string WindowsPath::RootText() const {
  return IsUnc() ? "\\\\" + server + "\\" + share : std::string{drive, ':'};
}

std::string WindowsPath::Text() const {
  std::string text = RootText();
  for (const std::string& component : components) text += "\\" + component;
  if (components.empty() || trailingSeparator) text += '\\';
  return text;
}

char WindowsPath::DriveFolder() const { return static_cast<char>(Upper(drive) - 'A' + 'a'); }

bool WindowsPath::SameRoot(const WindowsPath& other) const {
  if (IsUnc() || other.IsUnc()) {
    return SameNameIgnoringCase(server, other.server) && SameNameIgnoringCase(share, other.share);
  }
  return Upper(drive) == Upper(other.drive);
}

WindowsPath WindowsPath::Prefix(size_t count) const {
  WindowsPath prefix{drive, server, share, {components.begin(), components.begin() + count}};
  return prefix;
}

WinError ResolveWindowsPath(const std::string& path, const WindowsPath& current, WindowsPath* out) {
  if (path.empty()) return kErrorInvalidName;
  if (IsUnc(path) && HasNamespacePrefix(path)) return kErrorBadNetPath;

  WindowsPath result;
  size_t rest = 0;
  if (IsUnc(path)) {
    if (WinError error = ResolveShare(path, &result, &rest)) return error;
  } else if (path.size() >= 2 && path[1] == ':' && IsDriveLetter(path[0])) {
    result.drive = path[0];
    rest = 2;
    bool sameDrive = !current.IsUnc() && Upper(path[0]) == Upper(current.drive);
    if (!(rest < path.size() && IsSeparator(path[rest])) && sameDrive) {
      result.components = current.components;
    }
  } else {
    result = current.Prefix(IsSeparator(path[0]) ? 0 : current.components.size());
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

}  // namespace orvo
