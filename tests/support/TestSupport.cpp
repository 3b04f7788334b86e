#include "TestSupport.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace orvo::test {

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "orvo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
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

DriveRoot::DriveRoot(const std::string& drives) : host_(NewDriveRootHost(dir_.path())) {
  for (char drive : drives) fs::create_directories(Disk(std::string(1, drive)));
  Host::SetDefault(host_.get());
}

DriveRoot::~DriveRoot() { Host::SetDefault(nullptr); }

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() { unsetenv(name_); }

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
  static const std::regex line(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \S+ \S+ E?[A-Za-z]+: [^\x00-\x1F\x7F]*\n)");
  return std::regex_match(err, line);
}

ProgramResult RunScript(const std::string& script, std::map<std::string, std::string> environment) {
  environment.emplace("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");
  return RunProgram("/bin/bash", environment, script);
}

}  // namespace orvo::test
