// The path gate: the Windows path rules (resolution, refusals, limits), written once for every
// host. Each host passes every path it is given through its gate before any system call and
// works only on what the gate let through, so that both builds answer a request alike.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/Host.h"
#include "host/WindowsPath.h"

namespace orvo {

// A path the gate let through: resolved, every component a name Windows takes, short enough
// for the call it was passed for. Only the gate makes one (but "C:\", the default).
class GatedPath {
 public:
  GatedPath() = default;
  const WindowsPath& operator*() const { return path_; }
  const WindowsPath* operator->() const { return &path_; }
  // While the gate is confined (AllowedFolders.h): how many components of the path name the
  // listed folder it lies in, which the host must not leave on the way; nullopt otherwise.
  std::optional<size_t> AllowedDepth() const { return allowedDepth_; }
  // The first `count` components of the path (with the same allowed folder).
  GatedPath Prefix(size_t count) const { return GatedPath(path_.Prefix(count), allowedDepth_); }

 private:
  friend class PathGate;
  GatedPath(WindowsPath path, std::optional<size_t> allowedDepth)
      : path_(std::move(path)), allowedDepth_(allowedDepth) {}
  WindowsPath path_;
  std::optional<size_t> allowedDepth_;
};

class AllowedFolders;

// kErrorInvalidName for a path that ends in a separator but names a file, of the attribute word
// `attributes`: such a path names a folder.
WinError CheckFinalSeparator(const WindowsPath& path, uint32_t attributes);

// The gate of one host, with the host's current folder, against which relative paths resolve.
class PathGate {
 public:
  explicit PathGate(WindowsPath current = {}) : current_(std::move(current)) {}

  // Resolves `given` and applies every refusal, before any system call:
  // - an empty path: kErrorPathNotFound;
  // - a given text longer than MAX_PATH (260) where the call copies it to a buffer, or a full
  //   path of 260 characters or more (248 for a new folder): kErrorFilenameExcedRange;
  // - a NUL byte anywhere, a ':' anywhere but after a drive letter, a namespace or device prefix
  //   ("\\?\", "\\.\", "\??\", "//?/"), a component that Windows refuses (< > " | and bytes 1-31;
  //   '*' and '?' but in a pattern's last component) or that names a device (CON, NUL.txt, ...),
  //   a file path that ends in a separator, a UNC server or share name that is not a name
  //   ("\\s*\lotes", "\\srv\CON"): kErrorInvalidName;
  // - a UNC path without a server or a share ("\\srv", "\\\lotes"): kErrorBadNetPath;
  // - while confined, a path outside the allowed folders: kErrorAccessDenied.
  // On failure `*full` is untouched.
  WinError Pass(const std::string& given, PathUse use, GatedPath* full) const;
  // Pass's answer alone.
  WinError Check(const std::string& given, PathUse use) const;
  // The full path of `given` as messages name it: resolved only, whatever its length.
  WinError FullName(const std::string& given, std::string* full) const;

  const WindowsPath& Current() const { return current_; }
  // Makes a path passed for kCurrentFolder the current folder.
  void SetCurrent(const GatedPath& folder);

  // Confines every later Pass to `allowed` (nullptr lifts it) and returns the confinement it
  // replaces. Going back to the current folder of this moment stays allowed: it is the
  // program's own place, where a walk of folders returns.
  std::shared_ptr<const AllowedFolders> Confine(std::shared_ptr<const AllowedFolders> allowed);
  bool Confined() const { return allowed_ != nullptr; }

 private:
  // kErrorAccessDenied for a path outside the allowed folders; else its AllowedDepth.
  WinError CheckAllowed(const WindowsPath& path, PathUse use,
                        std::optional<size_t>* allowedDepth) const;

  WindowsPath current_;
  std::shared_ptr<const AllowedFolders> allowed_;
  WindowsPath confinedFrom_;
};

}  // namespace orvo
