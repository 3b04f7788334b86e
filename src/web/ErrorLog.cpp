#include "web/ErrorLog.h"

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

}  // namespace

void LogFailure(const std::string& method, const std::string& path, const std::string& className,
                const std::string& message) {
  std::string line = LocalTimeText() + " " + (method.empty() ? "-" : method) + " " +
                     (path.empty() ? "-" : path) + " " + className + ": " + message;
  line = EscapeControls(line);
  if (line.size() > kMaxLine) line = line.substr(0, kMaxLine) + "...";
  line += '\n';
  Host::Default().WriteStderr(line.data(), line.size());
  logged = true;
}

bool FailureLogged() { return logged; }

void BeginRequestLog() { logged = false; }

}  // namespace orvo
