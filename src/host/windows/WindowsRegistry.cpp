// The per-user settings store: keys under HKEY_CURRENT_USER with typed values.
#include <string>

#include "host/windows/Win32.h"
#include "host/windows/WindowsHost.h"

namespace orvo {
namespace {

// An open registry key, closed when it goes.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  WinError Open(const std::string& name, REGSAM access) {
    return RegOpenKeyExA(HKEY_CURRENT_USER, name.c_str(), 0, access, &key_);
  }
  WinError Create(const std::string& name, REGSAM access) {
    return RegCreateKeyExA(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           access, nullptr, &key_, nullptr);
  }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

RegistryType TypeOf(DWORD type) {
  switch (type) {
    case REG_SZ:
      return RegistryType::kString;
    case REG_EXPAND_SZ:
      return RegistryType::kExpandString;
    case REG_DWORD:
      return RegistryType::kInteger;
    default:
      return RegistryType::kBinary;
  }
}

DWORD StoredType(RegistryType type) {
  switch (type) {
    case RegistryType::kString:
      return REG_SZ;
    case RegistryType::kExpandString:
      return REG_EXPAND_SZ;
    case RegistryType::kInteger:
      return REG_DWORD;
    case RegistryType::kBinary:
      break;
  }
  return REG_BINARY;
}

// The bytes stored for a value: a string with its terminating zero, an integer as four bytes.
std::string StoredBytes(const RegistryValue& value) {
  switch (value.type) {
    case RegistryType::kString:
    case RegistryType::kExpandString:
      return value.data + '\0';
    case RegistryType::kInteger: {
      std::string bytes = value.data.substr(0, 4);
      bytes.resize(4, '\0');
      return bytes;
    }
    case RegistryType::kBinary:
      break;
  }
  return value.data;
}

}  // namespace

WinError WindowsHost::OpenUserKey(const std::string& key, bool create) {
  Key opened;
  return create ? opened.Create(key, KEY_ALL_ACCESS) : opened.Open(key, KEY_READ);
}

WinError WindowsHost::ReadUserValue(const std::string& key, const std::string& name,
                                    RegistryValue* value) {
  Key opened;
  if (WinError error = opened.Open(key, KEY_QUERY_VALUE)) return error;
  for (;;) {
    DWORD type = 0, size = 0;
    LSTATUS status = RegQueryValueExA(opened.get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    std::string data(size, '\0');
    status = RegQueryValueExA(opened.get(), name.c_str(), nullptr, &type,
                              reinterpret_cast<BYTE*>(data.data()), &size);
    if (status == ERROR_MORE_DATA) continue;  // the value grew in between
    if (status != ERROR_SUCCESS) return status;
    data.resize(size);
    RegistryValue read{TypeOf(type), std::move(data)};
    if (read.type != RegistryType::kBinary && read.type != RegistryType::kInteger &&
        !read.data.empty() && read.data.back() == '\0') {
      read.data.pop_back();  // the text, without the zero that ends it
    }
    *value = std::move(read);
    return kErrorSuccess;
  }
}

WinError WindowsHost::WriteUserValue(const std::string& key, const std::string& name,
                                     const RegistryValue& value) {
  Key opened;
  if (WinError error = opened.Create(key, KEY_SET_VALUE)) return error;
  std::string bytes = StoredBytes(value);
  return RegSetValueExA(opened.get(), name.c_str(), 0, StoredType(value.type),
                        reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

WinError WindowsHost::RemoveUserKey(const std::string& key) {
  return RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
}

}  // namespace orvo
