// A host whose CGI channels are in memory: a chosen environment, a chosen standard input that
// may be delivered in small reads, and a record of every write to standard output.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "DriveRootHost.h"
#include "host/HostWrapper.h"

namespace orvo::test {

class FakeCgiHost : public HostWrapper {
 public:
  // Drives under `root` (none by default).
  explicit FakeCgiHost(const std::string& root = "/nonexistent-orvo-root")
      : HostWrapper(NewDriveRootHost(root)) {
    Host::SetDefault(this);
  }
  ~FakeCgiHost() override { Host::SetDefault(nullptr); }

  std::map<std::string, std::string> environment;
  std::string input;
  size_t readSize = 1 << 20;  // the most one read delivers
  std::vector<std::string> writes;

  std::string Output() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }

  std::optional<std::string> GetEnvironment(const std::string& name) override {
    auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
  }
  int64_t ReadStdin(void* buffer, size_t count) override {
    size_t n = std::min({count, readSize, input.size() - consumed_});
    std::memcpy(buffer, input.data() + consumed_, n);
    consumed_ += n;
    return static_cast<int64_t>(n);
  }
  void WriteStdout(const void* buffer, size_t count) override {
    writes.emplace_back(static_cast<const char*>(buffer), count);
  }
  size_t Consumed() const { return consumed_; }

 private:
  size_t consumed_ = 0;
};

}  // namespace orvo::test
