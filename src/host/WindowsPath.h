// A Windows path taken apart, and its resolution as Windows resolves it. The path gate
// (PathGate.h) refuses what must not reach the system; the allowed folders (AllowedFolders.h)
// compare such paths; each host maps them onto its own file system.
#pragma once

#include <string>
#include <vector>

#include "host/Host.h"

namespace orvo {

// A full Windows path taken apart: "C:\a\b" is drive 'C' with components "a", "b";
// "\\srv\lotes\a" is the share `lotes` of server `srv` with component "a". A path's root (its
// drive, or its share) is never left by "..".
struct WindowsPath {
  char drive = 'C';                     // as written, upper or lower case; unused on a share
  std::string server;                   // a UNC path's server and share, as written (after
  std::string share;                    // trailing dots and blanks); both empty on a drive
  std::vector<std::string> components;  // code page 1252, none empty, "." or ".."
  bool trailingSeparator = false;       // the written path ended in '\' or '/'

  bool IsUnc() const { return !server.empty(); }
  bool IsRoot() const { return components.empty(); }
  // "C:" or "\\srv\lotes".
  std::string RootText() const;
  // "C:\a\b" ("C:\" at the root, "\\srv\lotes\" at a share's), with a final '\' when the
  // written path had one.
  std::string Text() const;
  // The drive's lower-case letter.
  char DriveFolder() const;
  // True when both paths have the same root, letter case ignored.
  bool SameRoot(const WindowsPath& other) const;
  // The path's root with the first `count` components.
  WindowsPath Prefix(size_t count) const;
};

// Resolves `path` as Windows does against the full path `current`: '\' and '/' separate, "X:\"
// is absolute, "\\server\share\" too (its root the share), "\" is the current root,
// "X:name" is relative to the current directory on the current drive and to the root on
// another one; "." and empty components vanish, ".." stops at the root, trailing dots and
// spaces of a component are dropped.
// kErrorInvalidName for an empty path; kErrorBadNetPath for a namespace or device path
// ("\\?\C:\", "\\.\NUL", "//?/C:/", or "\\?.\x", whose server loses its dot) and for a UNC
// path without a server or share ("\\srv", "\\\lotes"). Refuses nothing else: the gate does.
WinError ResolveWindowsPath(const std::string& path, const WindowsPath& current, WindowsPath* out);

// "\\?\", "\\.\", "\??\" (either separator, or the prefix alone): the system's namespaces,
// which reach devices and volumes past every rule of the Win32 paths ("\\?\GLOBALROOT",
// "\\?\UNC\", Wine's "\\?\unix" among them).
bool HasNamespacePrefix(const std::string& path);

}  // namespace orvo
