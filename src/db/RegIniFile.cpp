#include "db/RegIniFile.h"

#include "common/SysUtils.h"
#include "common/SysUtilsText.h"
#include "host/Host.h"

namespace orvo {

TRegIniFile::TRegIniFile(std::string key) : key_(std::move(key)) {
  // A store that can be neither opened nor created gives the fallback of every value.
  open_ = Host::Default().OpenUserKey(key_, true) == kErrorSuccess;
}

std::string TRegIniFile::ReadString(const std::string& section, const std::string& name,
                                    const std::string& fallback) {
  if (!open_) return fallback;
  RegistryValue value;
  if (Host::Default().ReadUserValue(key_ + "\\" + section, name, &value) != kErrorSuccess) {
    return fallback;
  }
  if (value.type != RegistryType::kString && value.type != RegistryType::kExpandString) {
    throw ERegistryException("Invalid data type for '" + name + "'");
  }
  return value.data.substr(0, value.data.find('\0'));
}

int32_t TRegIniFile::ReadInteger(const std::string& section, const std::string& name,
                                 int32_t fallback) {
  return StrToIntDefault(ReadString(section, name, ""), fallback);
}

bool TRegIniFile::ReadBool(const std::string& section, const std::string& name, bool fallback) {
  return ReadInteger(section, name, fallback ? 1 : 0) != 0;
}

}  // namespace orvo
