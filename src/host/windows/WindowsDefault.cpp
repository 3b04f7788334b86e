// The platform's hosts: the process-wide default over the system's own paths, and hosts whose
// drives are the folders under a root, with which tests get a drive tree of their own.
#include <cctype>
#include <memory>

#include "host/HostWrapper.h"
#include "host/windows/WindowsHost.h"

namespace orvo {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool HasDrive(const std::string& path) {
  return path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

std::string WithSeparator(const std::string& folder) {
  return IsSeparator(folder.back()) ? folder : folder + "\\";
}

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

// A search at a drive root yields no "." and "..", which the drive's folder under the root has.
class DriveRootSearch : public DirSearch {
 public:
  explicit DriveRootSearch(std::unique_ptr<DirSearch> search) : search_(std::move(search)) {}
  WinError Next(FindData* entry) override {
    for (;;) {
      FindData next;
      if (WinError error = search_->Next(&next)) return error;
      if (IsDotEntry(next.name)) continue;
      *entry = std::move(next);
      return kErrorSuccess;
    }
  }

 private:
  std::unique_ptr<DirSearch> search_;
};

// Drive X is the folder <root>\x: "D:\Movel" is "<root>\d\Movel". Paths are resolved by the
// system's rules against a current directory of this host's own (the process's stays where it
// is), then passed to the system under the root. The per-user store lives under a key of the
// root's own, removed with the host.
class DriveRootHost : public HostWrapper {
 public:
  explicit DriveRootHost(const std::string& root)
      : HostWrapper(std::make_unique<WindowsHost>()), root_(WithSeparator(root)) {
    for (char& c : root_) {
      if (c == '/') c = '\\';
    }
    std::string leaf = root_.substr(0, root_.size() - 1);
    userKey_ = "Software\\OrvoDriveRoots\\" + leaf.substr(leaf.find_last_of("\\:") + 1);
  }
  ~DriveRootHost() override { system().RemoveUserKey(userKey_); }

  WinError GetAttributes(const std::string& path, uint32_t* attributes) override {
    std::string onDisk;
    if (WinError error = OnDisk(path, &onDisk)) return error;
    return target()->GetAttributes(onDisk, attributes);
  }
  WinError FindFirst(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                     FindData* first) override {
    std::string full, onDisk;
    if (WinError error = OnDisk(pattern, &onDisk, &full)) return error;
    if (full.find('\\', 3) != std::string::npos) return target()->FindFirst(onDisk, search, first);
    // At the drive root: without the entries of the drive's folder itself.
    std::unique_ptr<DirSearch> all;
    FindData entry;
    if (WinError error = target()->FindFirst(onDisk, &all, &entry)) return error;
    auto filtered = std::make_unique<DriveRootSearch>(std::move(all));
    if (IsDotEntry(entry.name)) {
      WinError error = filtered->Next(&entry);
      if (error == kErrorNoMoreFiles) return kErrorFileNotFound;  // nothing else matched
      if (error != kErrorSuccess) return error;
    }
    *first = std::move(entry);
    *search = std::move(filtered);
    return kErrorSuccess;
  }
  WinError FindFirstFolder(const std::string& pattern, std::unique_ptr<DirSearch>* search,
                           FindData* first) override {
    return FindFirst(pattern, search, first);
  }
  WinError RemoveFileOnTermination(const std::string& path) override {
    if (path.empty()) return target()->RemoveFileOnTermination(path);
    std::string onDisk;
    if (WinError error = OnDisk(path, &onDisk)) return error;
    return target()->RemoveFileOnTermination(onDisk);
  }
  WinError CreateFolder(const std::string& path) override {
    std::string onDisk;
    if (WinError error = OnDisk(path, &onDisk)) return error;
    return target()->CreateFolder(onDisk);
  }
  WinError CreateHiddenFolder(const std::string& path) override {
    std::string onDisk;
    if (WinError error = OnDisk(path, &onDisk)) return error;
    return target()->CreateHiddenFolder(onDisk);
  }
  WinError RemoveFolder(const std::string& path) override {
    std::string onDisk;
    if (WinError error = OnDisk(path, &onDisk)) return error;
    return target()->RemoveFolder(onDisk);
  }
  WinError RemoveFile(const std::string& path) override {
    std::string onDisk;
    if (WinError error = OnDisk(path, &onDisk)) return error;
    return target()->RemoveFile(onDisk);
  }
  WinError MovePath(const std::string& from, const std::string& to, bool replace) override {
    std::string source, dest;
    if (WinError error = OnDisk(from, &source)) return error;
    if (WinError error = OnDisk(to, &dest)) return error;
    return target()->MovePath(source, dest, replace);
  }
  WinError OpenFile(const std::string& path, FileAccess access, FileShare share,
                    FileDisposition disposition, std::unique_ptr<FileHandle>* file) override {
    std::string onDisk;
    if (WinError error = OnDisk(path, &onDisk)) return error;
    return target()->OpenFile(onDisk, access, share, disposition, file);
  }
  WinError FullPathName(const std::string& path, std::string* full) override {
    if (path.empty()) return kErrorInvalidName;
    return Resolve(path, full);
  }
  std::string GetCurrentFolder() override { return current_; }
  WinError SetCurrentFolder(const std::string& path) override {
    std::string full, onDisk;
    if (WinError error = OnDisk(path, &onDisk, &full)) return error;
    uint32_t attributes = 0;
    if (WinError error = target()->GetAttributes(onDisk, &attributes)) return error;
    if ((attributes & kAttrDirectory) == 0) return kErrorDirectory;
    if (full.size() > 3 && full.back() == '\\') full.pop_back();
    current_ = full;
    return kErrorSuccess;
  }

  WinError OpenUserKey(const std::string& key, bool create) override {
    return target()->OpenUserKey(UserKey(key), create);
  }
  WinError ReadUserValue(const std::string& key, const std::string& name,
                         RegistryValue* value) override {
    return target()->ReadUserValue(UserKey(key), name, value);
  }
  WinError WriteUserValue(const std::string& key, const std::string& name,
                          const RegistryValue& value) override {
    return target()->WriteUserValue(UserKey(key), name, value);
  }

 private:
  WindowsHost& system() { return static_cast<WindowsHost&>(*target()); }

  // The full Windows path of `path` ("X:\..."), by the system's rules for the current
  // directory of this host.
  WinError Resolve(const std::string& path, std::string* full) {
    if (path.empty()) return kErrorPathNotFound;
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return kErrorBadNetPath;
    std::string absolute;
    if (HasDrive(path) && path.size() > 2 && IsSeparator(path[2])) {
      absolute = path;
    } else if (HasDrive(path)) {
      // "X:name": relative to the current directory on its drive, to the root on another.
      bool currentDrive = std::toupper(static_cast<unsigned char>(path[0])) ==
                          std::toupper(static_cast<unsigned char>(current_[0]));
      std::string base = currentDrive ? current_ : path.substr(0, 2) + "\\";
      absolute = path.size() == 2 ? base : WithSeparator(base) + path.substr(2);
    } else if (IsSeparator(path[0])) {
      absolute = current_.substr(0, 2) + path;
    } else {
      absolute = WithSeparator(current_) + path;
    }
    // For a full path with a drive the system only folds ".", ".." and separators.
    return target()->FullPathName(absolute, full);
  }

  // The path under the root of `path`, and its full Windows path when `full` is given. A drive
  // without its folder is missing as a path.
  WinError OnDisk(const std::string& path, std::string* onDisk, std::string* full = nullptr) {
    std::string resolved;
    if (WinError error = Resolve(path, &resolved)) return error;
    std::string drive = root_;
    drive += static_cast<char>(std::tolower(static_cast<unsigned char>(resolved[0])));
    uint32_t attributes = 0;
    if (target()->GetAttributes(drive, &attributes) != kErrorSuccess ||
        (attributes & kAttrDirectory) == 0) {
      return kErrorPathNotFound;
    }
    *onDisk = drive + resolved.substr(2);
    if (full != nullptr) *full = std::move(resolved);
    return kErrorSuccess;
  }

  std::string UserKey(const std::string& key) const { return userKey_ + "\\" + key; }

  std::string root_;  // with a final backslash
  std::string current_ = "C:\\";
  std::string userKey_;
};

}  // namespace

Host& Host::Default() {
  if (installed_ != nullptr) return *installed_;
  static WindowsHost platform;
  return platform;
}

std::unique_ptr<Host> NewDriveRootHost(const std::string& root) {
  return std::make_unique<DriveRootHost>(root);
}

}  // namespace orvo
