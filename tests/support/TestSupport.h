// Helpers shared by the test suites.
#pragma once

#include <string>

namespace orvo::test {

// A fresh temporary folder, removed with everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Writes `bytes` to a host file, creating its folders.
void WriteHostFile(const std::string& path, const std::string& bytes);
// Reads a whole host file; throws when it cannot.
std::string ReadHostFile(const std::string& path);
bool HostPathExists(const std::string& path);

}  // namespace orvo::test
