#include <filesystem>
#include <memory>

#include "DriveRootHost.h"
#include "host/windows/WindowsHost.h"

namespace orvo {
namespace {

class DriveRootHost : public WindowsHost {
 public:
  explicit DriveRootHost(const std::string& root) : WindowsHost(WindowsPath{}), root_(root) {
    for (char& c : root_) {
      if (c == '/') c = '\\';
    }
    if (root_.back() == '\\') root_.pop_back();
    userKey_ = "Software\\OrvoDriveRoots\\" + root_.substr(root_.find_last_of("\\:") + 1);
  }
  ~DriveRootHost() override { RemoveUserKey(userKey_); }

  WinError OpenUserKey(const std::string& key, bool create) override {
    return WindowsHost::OpenUserKey(UserKey(key), create);
  }
  WinError ReadUserValue(const std::string& key, const std::string& name,
                         RegistryValue* value) override {
    return WindowsHost::ReadUserValue(UserKey(key), name, value);
  }
  WinError WriteUserValue(const std::string& key, const std::string& name,
                          const RegistryValue& value) override {
    return WindowsHost::WriteUserValue(UserKey(key), name, value);
  }

 protected:
  WinError SystemPath(const GatedPath& path, std::string* system) override {
    // A share \\srv\lotes is the folder <root>\unc\srv\lotes, as on Linux.
    std::string top = path->IsUnc() ? "unc\\" + path->server + "\\" + path->share
                                    : std::string(1, path->DriveFolder());
    std::string folder = root_ + "\\" + top;
    if (!std::filesystem::is_directory(folder)) {
      return path->IsUnc() ? kErrorBadNetPath : kErrorPathNotFound;
    }
    *system = folder + path->Text().substr(path->RootText().size());
    return kErrorSuccess;
  }

 private:
  std::string UserKey(const std::string& key) const { return userKey_ + "\\" + key; }

  std::string root_;  // without a final backslash
  std::string userKey_;
};

}  // namespace

std::unique_ptr<Host> NewDriveRootHost(const std::string& root) {
  return std::make_unique<DriveRootHost>(root);
}

}  // namespace orvo
