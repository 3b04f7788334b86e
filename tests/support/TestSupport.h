// Helpers shared by the test suites.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/Host.h"

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

// A root of drive folders in a temporary folder (drives C: and D: by default), served by a host
// of its own that is the process's default host while the object lives.
class DriveRoot {
 public:
  explicit DriveRoot(const std::string& drives = "cd");
  ~DriveRoot();
  DriveRoot(const DriveRoot&) = delete;
  DriveRoot& operator=(const DriveRoot&) = delete;
  const std::string& path() const { return dir_.path(); }
  // The host path of `relative` ("c/Lotes/a.xml") below the root.
  std::string Disk(const std::string& relative) const { return path() + "/" + relative; }
  Host& host() { return *host_; }

 private:
  TempDir dir_;
  std::unique_ptr<Host> host_;
};

// Sets an environment variable of this process for the lifetime of the guard.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
};

// Writes `bytes` to a host file, creating its folders.
void WriteHostFile(const std::string& path, const std::string& bytes);
// Reads a whole host file; throws when it cannot.
std::string ReadHostFile(const std::string& path);
bool HostPathExists(const std::string& path);

// ---- CGI exchanges ----

using Fields = std::vector<std::pair<std::string, std::string>>;

// Percent-encodes every byte but letters, digits, '.', '-' and '_'.
std::string UrlEncode(const std::string& text);
// A form body: name=encoded value pairs joined by '&'.
std::string FormBody(const Fields& fields);
// The program's answer with status 200 and `content` (no Content-Length when it is empty).
std::string CgiAnswer(const std::string& content);

// What a child program left behind.
struct ProgramResult {
  std::string out;  // standard output, every byte
  std::string err;  // standard error
  int status = -1;  // exit status, or 128 + signal number when a signal ended it
};

// Whether `err` is exactly one line of the operator's log: "<yyyy-mm-dd hh:nn:ss> <method>
// <path> <class>: <message>", with no control character in it but the final line feed.
bool IsOneLogLine(const std::string& err);

// Starts `path` with exactly `environment` (nothing inherited), feeds it `input` on standard
// input while collecting its standard output and standard error, and waits for it to end.
// Under ORVO_TEST_FRONT=fastcgi the same request goes to a FastCGI worker of `path` instead
// (see FastCgiWorker.h).
ProgramResult RunProgram(const std::string& path,
                         const std::map<std::string, std::string>& environment,
                         const std::string& input = "");

// Runs a bash script (given on its standard input) with `environment` and a PATH of the system's
// tools: for the cases that need a pipeline, a resource limit or a signal around the program.
ProgramResult RunScript(const std::string& script,
                        std::map<std::string, std::string> environment = {});

}  // namespace orvo::test
