#include "host/AllowedFolders.h"

#include "host/PathGate.h"
#include "host/WindowsNames.h"

namespace orvo {
namespace {

std::string TrimBlanks(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsFullPath(const std::string& entry) {
  auto separator = [&](size_t at) { return entry[at] == '\\' || entry[at] == '/'; };
  if (entry.size() >= 2 && separator(0) && separator(1)) return true;  // a share
  bool letter = !entry.empty() &&
                ((entry[0] >= 'A' && entry[0] <= 'Z') || (entry[0] >= 'a' && entry[0] <= 'z'));
  return letter && entry.size() >= 3 && entry[1] == ':' && separator(2);
}

bool Holds(const WindowsPath& folder, const WindowsPath& path) {
  if (!folder.SameRoot(path) || path.components.size() < folder.components.size()) return false;
  for (size_t i = 0; i < folder.components.size(); ++i) {
    if (!SameNameIgnoringCase(folder.components[i], path.components[i])) return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<const AllowedFolders> AllowedFolders::Parse(const std::string& list,
                                                            std::vector<std::string>* invalid) {
  auto allowed = std::make_shared<AllowedFolders>();
  const PathGate gate;  // unconfined: an entry is checked as a path, not against the others
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = TrimBlanks(list.substr(start, end - start));
    start = end + 1;
    if (entry.empty()) continue;
    GatedPath folder;
    if (IsFullPath(entry) && gate.Pass(entry, PathUse::kLookup, &folder) == kErrorSuccess) {
      allowed->folders_.push_back(*folder);
    } else if (invalid != nullptr) {
      invalid->push_back(entry);
    }
  }
  return allowed;
}

std::optional<size_t> AllowedFolders::Holder(const WindowsPath& path) const {
  std::optional<size_t> widest;
  for (const WindowsPath& folder : folders_) {
    if (Holds(folder, path) && (!widest || folder.components.size() < *widest)) {
      widest = folder.components.size();
    }
  }
  return widest;
}

}  // namespace orvo
