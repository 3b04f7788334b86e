// The data root's shared volumes, as the mount table shows them.
#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <fstream>
#include <sstream>

#include "host/SharedStore.h"
#include "host/posix/PosixHost.h"

namespace orvo {
namespace {

// Kinds of file system whose folders other machines change too (the FUSE kinds included: most
// are network file systems, and none tells this kernel of a change made elsewhere).
bool SharedKind(const std::string& kind) {
  static constexpr std::array<const char*, 10> kShared = {
      "nfs", "cifs", "smb", "fuse", "glusterfs", "ceph", "9p", "afs", "lustre", "gfs2"};
  for (const char* prefix : kShared) {
    if (kind.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// A path of the mount table, its blanks and backslashes written as octal escapes.
std::string Unescape(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      plain += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

// The shared volumes mounted at or below `root`: their mount points and kinds.
std::vector<std::pair<std::string, std::string>> SharedMounts(const std::string& root) {
  std::vector<std::pair<std::string, std::string>> mounts;
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [FIELDS...] - KIND SOURCE OPTIONS
    std::istringstream fields(line);
    std::string skip, point, word;
    fields >> skip >> skip >> skip >> skip >> point;
    while (fields >> word && word != "-") {
    }
    std::string kind;
    fields >> kind;
    point = Unescape(point);
    bool inRoot = point == root || point.rfind(root + "/", 0) == 0;
    if (inRoot && SharedKind(kind)) mounts.emplace_back(point, kind);
  }
  return mounts;
}

// The share folders (unc/SERVER/SHARE) of `root`.
std::vector<std::string> ShareFolders(const std::string& root) {
  std::vector<std::string> shares;
  auto folders = [](const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* item = readdir(dir)) {
        std::string name = item->d_name;
        struct stat info {};
        if (name != "." && name != ".." && stat((path + "/" + name).c_str(), &info) == 0 &&
            S_ISDIR(info.st_mode)) {
          names.push_back(path + "/" + name);
        }
      }
      closedir(dir);
    }
    return names;
  };
  for (const std::string& server : folders(root + "/unc")) {
    for (const std::string& share : folders(server)) shares.push_back(share);
  }
  return shares;
}

// True when `folder` is on another device than its parent: something is mounted there.
bool MountedOn(const std::string& folder) {
  struct stat self {};
  struct stat parent {};
  return stat(folder.c_str(), &self) == 0 && stat((folder + "/..").c_str(), &parent) == 0 &&
         self.st_dev != parent.st_dev;
}

}  // namespace

std::vector<std::string> SharedStoreNotes() {
  const std::string root = PosixHost::RootFromEnvironment();
  std::vector<std::string> notes;
  for (const auto& [point, kind] : SharedMounts(root)) {
    notes.push_back(point + " is a " + kind +
                    " volume that other machines may share: its folders are read anew for every "
                    "lookup, and saves and verifications rely on its renames, flushes and locks "
                    "(see docs/operations-shared-store.md)");
  }
  for (const std::string& share : ShareFolders(root)) {
    if (!MountedOn(share)) {
      notes.push_back(share +
                      " holds no mounted volume: what is written to that share stays "
                      "on this machine's disk");
    }
  }
  return notes;
}

}  // namespace orvo
