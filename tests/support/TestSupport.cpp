#include "TestSupport.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace orvo::test {

TempDir::TempDir() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("orvo-test-" + std::to_string(random()));
    if (fs::create_directory(candidate)) {
      path_ = candidate.generic_string();
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
#ifdef _WIN32
  // Windows removes no read-only file: give every file its write permission back first.
  for (fs::recursive_directory_iterator it(path_, ignored), end; it != end; it.increment(ignored)) {
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ignored);
  }
#endif
  fs::remove_all(path_, ignored);
}

void WriteHostFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadHostFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> SearchNames(Host& host, const std::string& pattern) {
  std::vector<std::string> names;
  std::unique_ptr<DirSearch> search;
  FindData entry;
  if (host.FindFirst(pattern, &search, &entry) != kErrorSuccess) return names;
  do names.push_back(entry.name);
  while (search->Next(&entry) == kErrorSuccess);
  return names;
}

std::string ReadThroughHost(Host& host, const std::string& path) {
  std::unique_ptr<FileHandle> file;
  if (host.OpenFile(path, FileAccess::kRead, {true, true}, FileDisposition::kOpenExisting, &file) !=
      kErrorSuccess) {
    return "<error>";
  }
  std::string bytes(4096, '\0');
  size_t done = 0;
  file->Read(bytes.data(), bytes.size(), &done);
  bytes.resize(done);
  return bytes;
}

DriveRoot::DriveRoot(const std::string& drives) : host_(NewDriveRootHost(dir_.path())) {
  for (char drive : drives) fs::create_directories(Disk(std::string(1, drive)));
  Host::SetDefault(host_.get());
}

DriveRoot::~DriveRoot() { Host::SetDefault(nullptr); }

bool SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  return _putenv_s(name, value.c_str()) == 0;
#else
  return setenv(name, value.c_str(), 1) == 0;
#endif
}

bool UnsetEnv(const char* name) {
#ifdef _WIN32
  return _putenv_s(name, "") == 0;  // an empty value removes the variable
#else
  return unsetenv(name) == 0;
#endif
}

void SetTimeZone(const std::string& zone) {
  SetEnv("TZ", zone);
#ifdef _WIN32
  _tzset();
#else
  tzset();
#endif
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  SetEnv(name, value);
}

ScopedEnv::~ScopedEnv() { UnsetEnv(name_); }

void SetUtcWriteTime(const std::string& path, int year, int month, int day, int hour, int minute,
                     int second, int microsecond) {
  using namespace std::chrono;
  const sys_days date = std::chrono::year(year) / month / day;
  const sys_time<microseconds> moment =
      date + hours(hour) + minutes(minute) + seconds(second) + microseconds(microsecond);
  fs::last_write_time(path, time_point_cast<file_clock::duration>(file_clock::from_sys(moment)));
}

std::string SystemText(WinError code, const std::string& windows) {
#ifdef _WIN32
  (void)windows;
  std::string text = Host::Default().ErrorText(code);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
#else
  (void)code;
  return windows;
#endif
}

bool HostPathExists(const std::string& path) {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(path, ignored));
}

std::string UrlEncode(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '.' || c == '-' || c == '_') {
      out += static_cast<char>(c);
    } else {
      out += {'%', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return out;
}

std::string FormBody(const Fields& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    body += (body.empty() ? "" : "&") + name + "=" + UrlEncode(value);
  }
  return body;
}

std::string CgiAnswer(const std::string& content) {
  std::string length =
      content.empty() ? "" : "Content-Length: " + std::to_string(content.size()) + "\r\n";
  return "Status: 200 OK\r\nContent-Type: text/html\r\n" + length + "Content:\r\n\r\n" + content;
}

bool IsOneLogLine(const std::string& err) {
  // "yyyy-mm-dd hh:nn:ss METHOD PATH Class: message\n"
  const std::string shape = "dddd-dd-dd dd:dd:dd ";
  if (err.size() <= shape.size() || err.back() != '\n') return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(err[i])) : err[i] != shape[i]) {
      return false;
    }
  }
  const std::string rest = err.substr(shape.size(), err.size() - shape.size() - 1);
  for (unsigned char c : rest) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  // Method and path, each without blanks, then the class (letters) and ": ".
  const size_t method = rest.find(' ');
  const size_t path = method == std::string::npos ? method : rest.find(' ', method + 1);
  if (method == 0 || path == std::string::npos || path == method + 1) return false;
  const size_t colon = rest.find(": ", path + 1);
  if (colon == std::string::npos || colon == path + 1) return false;
  for (size_t i = path + 1; i < colon; ++i) {
    if (!std::isalpha(static_cast<unsigned char>(rest[i]))) return false;
  }
  return true;
}

}  // namespace orvo::test
