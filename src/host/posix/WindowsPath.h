// Windows path resolution, without touching the disk.
#pragma once

#include <string>
#include <vector>

#include "host/Host.h"

namespace orvo::posix {

// A full Windows path taken apart: "C:\a\b" is drive 'C' with components "a", "b".
struct WindowsPath {
  char drive = 'C';                     // as written, upper or lower case
  std::vector<std::string> components;  // code page 1252, none empty, "." or ".."
  bool trailingSeparator = false;       // the written path ended in '\' or '/'

  bool IsRoot() const { return components.empty(); }
  // "C:\a\b" ("C:\" at the root), with a final '\' when the written path had one.
  std::string Text() const;
  // The drive folder's name under the root: the lower-case letter.
  char DriveFolder() const;
};

// Resolves `path` as Windows does against the full path `current`: '\' and '/' separate, "X:\"
// is absolute, "\" is the current drive's root, "X:name" is relative to the current directory
// on the current drive and to the root on another one; "." and empty components vanish, ".."
// stops at the drive root, trailing dots and spaces of a component are dropped.
// kErrorBadNetPath for UNC and device paths ("\\server\share", "\\?\C:\"), kErrorInvalidName for
// an empty path.
WinError ResolveWindowsPath(const std::string& path, const WindowsPath& current, WindowsPath* out);

}  // namespace orvo::posix
