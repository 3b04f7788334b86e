// Reads sections and values of a key of the per-user settings store.
#pragma once

#include <cstdint>
#include <string>

namespace orvo {

class TRegIniFile {
 public:
  // Opens `key` ("Orvo\Config") under the current user, creating it when it does not exist.
  explicit TRegIniFile(std::string key);

  // The string value `name` of the sub-key `section`, up to its first zero byte; `fallback`
  // when the sub-key or value is missing. ERegistryException for a value that is not a string.
  std::string ReadString(const std::string& section, const std::string& name,
                         const std::string& fallback);
  // The string value read as an integer; `fallback` when it is missing or not an integer.
  int32_t ReadInteger(const std::string& section, const std::string& name, int32_t fallback);
  // The string value read as an integer with fallback 0; true when it is not 0.
  bool ReadBool(const std::string& section, const std::string& name, bool fallback);

 private:
  std::string key_;
  bool open_ = false;
};

}  // namespace orvo
