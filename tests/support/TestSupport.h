// Helpers shared by the test suites.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DriveRootHost.h"
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

// Sets or removes an environment variable of this process; true on success.
bool SetEnv(const char* name, const std::string& value);
bool UnsetEnv(const char* name);
// Sets TZ and makes this process's C runtime read it. (The Windows host takes the time zone
// from the system: under Wine the test command starts the tests with TZ set.)
void SetTimeZone(const std::string& zone);

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
// The names a host's search of `pattern` yields, in order; none when it finds nothing.
std::vector<std::string> SearchNames(Host& host, const std::string& pattern);
// The bytes of a file (its first 4 KiB) read through a host; "<error>" when it does not open.
std::string ReadThroughHost(Host& host, const std::string& path);
// Sets the last-write time of a host file to a UTC moment.
void SetUtcWriteTime(const std::string& path, int year, int month, int day, int hour, int minute,
                     int second, int microsecond = 0);

// The system's text of an error code as the program's messages carry it (without its line end
// and final full stop): `windows`, the Windows text, which the Linux host reproduces; on Windows
// the running system's own, since Wine's texts are not Windows's.
std::string SystemText(WinError code, const std::string& windows);

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

// Starts the program under test at `path` (a file of this build) with exactly `environment`
// (nothing inherited), feeds it `input` on standard input while collecting its standard output
// and standard error, and waits for it to end. Under ORVO_TEST_FRONT=fastcgi the same request
// goes to a FastCGI worker of `path` instead (see FastCgiWorker.h); under the Wine target it
// starts the Windows build's counterpart under Wine, with the drive folders of ORVO_ROOT as its
// drives.
ProgramResult RunProgram(const std::string& path,
                         const std::map<std::string, std::string>& environment,
                         const std::string& input = "");
// The same for any command (its first word a program's path), run in `folder` when one is given.
ProgramResult RunCommand(const std::vector<std::string>& command,
                         const std::map<std::string, std::string>& environment,
                         const std::string& input, const std::string& folder = "");

// ---- Targets of the end-to-end tests ----
//
// The end-to-end suites run against the Linux build, and a second time (tests/CMakeLists.txt
// registers them as wine.*, with ORVO_TEST_TARGET=wine) against the Windows build under Wine.

// True when the program under test is the Windows build under Wine.
bool TargetIsWine();
// A file of this build (the program, a library) as the program under test names it: unchanged
// for Linux; under Wine the Windows build's counterpart (".exe" added, ".so" made ".dll"), by
// its Windows path.
std::string TargetBuildFile(const std::string& file);
// Whether `err`, the standard error of the program under test, is what one failure leaves there:
// one line of the operator's log, holding `fragment`, from the Linux program; nothing at all
// from the Windows one, whose log goes to the event log (under IIS standard error would reach
// the client in the answer).
bool IsFailureStderr(const std::string& err, const std::string& fragment = "");
// A host path as the program under test names it: unchanged for Linux, under Wine as WinePath.
std::string TargetPath(const std::string& hostPath);
// RunProgram's Wine target: the Windows build's counterpart of `path` under Wine, with
// `arguments`.
ProgramResult RunUnderWine(const std::string& path,
                           const std::map<std::string, std::string>& environment,
                           const std::string& input,
                           const std::vector<std::string>& arguments = {});
// Why the Windows build's counterpart of `program` cannot run under Wine here (no loader, no
// Windows build, no prefix), or the empty string when it can.
std::string WineUnavailable(const std::string& program);
// A host path as a Windows program under Wine names it: "Y:\..." for the Windows build's helpers
// (tests/helpers), else "Z:\tmp\...", which reaches nothing (the tests' Z: is an empty folder).
std::string WinePath(const std::string& hostPath);

// Runs a bash script (given on its standard input) with `environment` and a PATH of the system's
// tools: for the cases that need a pipeline, a resource limit or a signal around the program.
ProgramResult RunScript(const std::string& script,
                        std::map<std::string, std::string> environment = {});

}  // namespace orvo::test
