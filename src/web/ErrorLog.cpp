#include "web/ErrorLog.h"

#include <memory>

#include "common/IniFiles.h"
#include "common/UOrvoConsts.h"
#include "host/Host.h"

namespace orvo {
namespace {

// Web servers cut long lines of their own accord (nginx near 2 KiB); a path or a message can be
// as long as a request body.
constexpr size_t kMaxLine = 1024;

bool logged = false;

std::string TwoDigits(int value) {
  return std::string(1, static_cast<char>('0' + value / 10 % 10)) +
         static_cast<char>('0' + value % 10);
}

std::string LocalTimeText() {
  LocalTime t = Host::Default().LocalNow();
  return std::to_string(t.year) + "-" + TwoDigits(t.month) + "-" + TwoDigits(t.day) + " " +
         TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second);
}

std::string EscapeControls(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      escaped += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    } else {
      escaped += c;
    }
  }
  return escaped;
}

// The file named by LogFile= in [Orvo.FrameWork], looked up for each line as every lookup is (a
// resident worker sees an edit at its next request). Shared with concurrent requests: each line
// is one append. A file that cannot be written loses the line; the request is answered as ever.
void AppendToLogFile(const std::string& line) {
  try {
    TIniFile config(ConfigFileName);
    const std::string path = config.ReadString(SectionFrameWork, KeyLogFile, "");
    if (path.empty()) return;
    std::unique_ptr<FileHandle> file;
    if (Host::Default().OpenFile(path, FileAccess::kAppend, FileShare{true, true},
                                 FileDisposition::kOpenAlways, &file) != kErrorSuccess) {
      return;
    }
    const std::string text = line + "\n";
    size_t written = 0;
    file->Write(text.data(), text.size(), &written);
  } catch (...) {
  }
}

void WriteLine(const std::string& method, const std::string& path, const std::string& text) {
  std::string line = LocalTimeText() + " " + (method.empty() ? "-" : method) + " " +
                     (path.empty() ? "-" : path) + " " + text;
  line = EscapeControls(line);
  if (line.size() > kMaxLine) line = line.substr(0, kMaxLine) + "...";
  Host::Default().WriteOperatorLog(line);
  AppendToLogFile(line);
}

}  // namespace

void LogFailure(const std::string& method, const std::string& path, const std::string& className,
                const std::string& message) {
  WriteLine(method, path, className + ": " + message);
  logged = true;
}

void LogConfigurationFault(const std::string& method, const std::string& path,
                           const std::string& message) {
  WriteLine(method, path, message);
}

bool FailureLogged() { return logged; }

void BeginRequestLog() { logged = false; }

}  // namespace orvo
