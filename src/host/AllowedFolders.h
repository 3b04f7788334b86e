// The folders an operator lets requests reach (AllowedFolders= in the configuration file). While
// a host is confined to them, its path gate refuses every path that does not lie in one of them
// after the gate's resolution ("..", letter case, trailing dots and blanks) with
// kErrorAccessDenied, as the system refuses a path it denies; and each host reaches what lies
// inside without leaving the listed folder through a link (see the hosts).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/Host.h"
#include "host/WindowsPath.h"

namespace orvo {

class AllowedFolders {
 public:
  // The folders of `list`, separated by ';', blanks around each dropped. An entry that is not a
  // full path ("D:\Lotes", "\\srv\lotes\Img") that the gate passes allows nothing, and is
  // added to `invalid` when given; empty entries are passed over. A list without a valid entry
  // allows nothing at all: a key that is present never means "everything".
  static std::shared_ptr<const AllowedFolders> Parse(const std::string& list,
                                                     std::vector<std::string>* invalid = nullptr);
  // True when no path is allowed.
  bool Empty() const { return folders_.empty(); }

  // How many components of `path` name the widest listed folder that holds it ("D:\Lotes" holds
  // "D:\Lotes" and "d:\LOTES\a": 1); nullopt when no listed folder holds it.
  std::optional<size_t> Holder(const WindowsPath& path) const;

 private:
  std::vector<WindowsPath> folders_;
};

// Confines `host` to `allowed` (nullptr: no confinement) while the object lives, then restores
// the confinement it found.
class ScopedConfinement {
 public:
  ScopedConfinement(Host& host, std::shared_ptr<const AllowedFolders> allowed)
      : host_(host), previous_(host.Confine(std::move(allowed))) {}
  ~ScopedConfinement() { host_.Confine(std::move(previous_)); }
  ScopedConfinement(const ScopedConfinement&) = delete;
  ScopedConfinement& operator=(const ScopedConfinement&) = delete;

 private:
  Host& host_;
  std::shared_ptr<const AllowedFolders> previous_;
};

}  // namespace orvo
