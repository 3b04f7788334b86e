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

#include <map>

namespace orvo::test {

// What a child program left behind.
struct ProgramResult {
  std::string out;  // standard output, every byte
  std::string err;  // standard error
  int status = -1;  // exit status, or 128 + signal number when a signal ended it
};

// Starts `path` with exactly `environment` (nothing inherited), feeds it `input` on standard
// input while collecting its standard output and standard error, and waits for it to end.
ProgramResult RunProgram(const std::string& path,
                         const std::map<std::string, std::string>& environment,
                         const std::string& input = "");

}  // namespace orvo::test
