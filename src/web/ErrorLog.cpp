#include "web/ErrorLog.h"

#include <memory>

#include "common/IniFiles.h"
#include "common/SysUtils.h"
#include "common/SysUtilsFiles.h"
#include "common/UOrvoConsts.h"
#include "host/AllowedFolders.h"

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

std::string TimeText(const LocalTime& t) {
  return std::to_string(t.year) + "-" + TwoDigits(t.month) + "-" + TwoDigits(t.day) + " " +
         TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second);
}

// Control characters as \xHH, and a backslash before an "x" as \x5C: a client's literal "\x0A"
// is then logged as "\x5Cx0A", never as what an escaped line feed looks like. Other backslashes
// (those of every Windows path) stay as they are.
std::string Escape(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    const bool beginsEscape = byte == '\\' && i + 1 < text.size() && text[i + 1] == 'x';
    if (byte < 0x20 || byte == 0x7F || beginsEscape) {
      escaped += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    } else {
      escaped += text[i];
    }
  }
  return escaped;
}

// Appends the line to LogFile; "" when it did or there is none, else why it did not.
std::string AppendToLogFile(const std::string& line) {
  std::string path;
  try {
    TIniFile config(ConfigFileName);
    path = LogFilePath(config.ReadString(SectionFrameWork, KeyLogFile, ""));
  } catch (const Exception& e) {
    return e.Message();
  }
  if (path.empty()) return "";
  // The program's own file: written whatever folders the request is confined to.
  ScopedConfinement program(Host::Default(), nullptr);
  std::unique_ptr<FileHandle> file;
  // Shared with concurrent requests: each line is one append.
  WinError error = Host::Default().OpenFile(path, FileAccess::kAppend, FileShare{true, true},
                                            FileDisposition::kOpenAlways, &file);
  if (error != kErrorSuccess) return FileStreamMessage("open", path, error);
  const std::string text = line + "\n";
  size_t written = 0;
  error = file->Write(text.data(), text.size(), &written);
  if (error == kErrorSuccess && written != text.size()) error = kErrorDiskFull;
  return error == kErrorSuccess ? "" : FileStreamMessage("write to", path, error);
}

// Writes one line where the operator's log goes, saying why when LogFile did not take it.
void WriteLine(const std::string& line) {
  const std::string notInFile = AppendToLogFile(line);
  Host::Default().WriteOperatorLog(
      notInFile.empty() ? line : line + " [not in LogFile: " + Escape(notInFile) + "]");
}

}  // namespace

std::string FailureLine(const LocalTime& when, const std::string& method, const std::string& path,
                        const std::string& className, const std::string& message) {
  std::string line = Escape(TimeText(when) + " " + (method.empty() ? "-" : method) + " " +
                            (path.empty() ? "-" : path) + " " + className + ": " + message);
  if (line.size() > kMaxLine) line = line.substr(0, kMaxLine) + "...";
  return line;
}

void LogFailure(const std::string& method, const std::string& path, const std::string& className,
                const std::string& message) {
  WriteLine(FailureLine(Host::Default().LocalNow(), method, path, className, message));
  logged = true;
}

void LogConfigurationFault(const std::string& method, const std::string& path,
                           const std::string& key, const std::string& message) {
  WriteLine(FailureLine(Host::Default().LocalNow(), method, path, key, message));
}

std::string LogFilePath(const std::string& value) {
  if (value.empty()) return "";
  auto separator = [](char c) { return c == '\\' || c == '/'; };
  const bool drive = value.size() >= 2 && value[1] == ':';
  if (drive && value.size() >= 3 && separator(value[2])) return value;  // D:\Logs\orvo.log
  if (value.size() >= 2 && separator(value[0]) && separator(value[1])) return value;  // UNC
  const std::string folder = ExtractFilePath(ConfigFileName);     // C:\Orvo\Orvo.Net\Config\.
  if (separator(value[0])) return folder.substr(0, 2) + value;    // \Logs: the same drive
  if (drive) return value.substr(0, 2) + "\\" + value.substr(2);  // D:orvo.log: that drive's root
  return folder + value;
}

bool FailureLogged() { return logged; }

void BeginRequestLog() { logged = false; }

}  // namespace orvo
