// The per-user settings store: one text file, $XDG_CONFIG_HOME/orvo/registry (or
// ~/.config/orvo/registry), with a [key] line per key and a name=type:data line per value.
// Key and value names ignore letter case, as the registry's do. Bytes that would break a line
// are written as %XX; an integer is its decimal text, binary data is hex.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "host/posix/PosixHost.h"

namespace orvo {
namespace {

struct StoredValue {
  std::string name;
  RegistryValue value;
};

struct StoredKey {
  std::string name;
  std::vector<StoredValue> values;
};

using Store = std::vector<StoredKey>;

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool SameName(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

// "\Orvo\\Config\" -> "Orvo\Config".
std::string NormalKey(const std::string& key) {
  std::string normal;
  for (char c : key) {
    if (c == '/') c = '\\';
    if (c == '\\' && (normal.empty() || normal.back() == '\\')) continue;
    normal += c;
  }
  if (!normal.empty() && normal.back() == '\\') normal.pop_back();
  return normal;
}

std::string ConfigFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && *xdg == '/') return std::string(xdg) + "/orvo";
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    const passwd* user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : nullptr;
  }
  if (home == nullptr || *home == '\0') return "";
  return std::string(home) + "/.config/orvo";
}

bool Escaped(unsigned char c, bool inName) {
  if (c < 0x20 || c >= 0x7F || c == '%') return true;
  return inName && (c == '=' || c == '[' || c == ']' || c == '#');
}

std::string Escape(const std::string& text, bool inName) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (Escaped(c, inName)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
        HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string HexBytes(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string BytesOfHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) break;
    out += static_cast<char>(high * 16 + low);
  }
  return out;
}

std::string LittleEndian(uint32_t number) {
  std::string bytes;
  for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(number >> shift);
  return bytes;
}

uint32_t FromLittleEndian(const std::string& bytes) {
  uint32_t number = 0;
  for (size_t i = 0; i < 4 && i < bytes.size(); ++i) {
    number |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << (8 * i);
  }
  return number;
}

std::string Encode(const RegistryValue& value) {
  switch (value.type) {
    case RegistryType::kString:
      return "sz:" + Escape(value.data, false);
    case RegistryType::kExpandString:
      return "expand_sz:" + Escape(value.data, false);
    case RegistryType::kInteger:
      return "dword:" + std::to_string(FromLittleEndian(value.data));
    case RegistryType::kBinary:
      break;
  }
  return "binary:" + HexBytes(value.data);
}

bool Decode(const std::string& text, RegistryValue* value) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::string type = text.substr(0, colon), data = text.substr(colon + 1);
  if (type == "sz") {
    *value = {RegistryType::kString, Unescape(data)};
  } else if (type == "expand_sz") {
    *value = {RegistryType::kExpandString, Unescape(data)};
  } else if (type == "dword") {
    *value = {RegistryType::kInteger, LittleEndian(std::strtoul(data.c_str(), nullptr, 10))};
  } else if (type == "binary") {
    *value = {RegistryType::kBinary, BytesOfHex(data)};
  } else {
    return false;
  }
  return true;
}

// Reads the store; a missing file is an empty store. Lines it cannot read are skipped.
WinError Load(const std::string& file, Store* store) {
  store->clear();
  if (::access(file.c_str(), F_OK) != 0)
    return errno == ENOENT ? kErrorSuccess : kErrorAccessDenied;
  std::ifstream in(file, std::ios::binary);
  if (!in) return kErrorAccessDenied;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[' && line.back() == ']') {
      store->push_back({NormalKey(Unescape(line.substr(1, line.size() - 2))), {}});
      continue;
    }
    size_t equals = line.find('=');
    RegistryValue value;
    if (store->empty() || equals == std::string::npos || !Decode(line.substr(equals + 1), &value)) {
      continue;
    }
    store->back().values.push_back({Unescape(line.substr(0, equals)), value});
  }
  return kErrorSuccess;
}

// Writes the store through a temporary file renamed over the old one, so a reader never sees
// half a store.
WinError Save(const std::string& folder, const std::string& file, const Store& store) {
  std::string parent = folder.substr(0, folder.rfind('/'));
  ::mkdir(parent.c_str(), 0700);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return kErrorAccessDenied;
  std::ostringstream text;
  text << "# Per-user settings: [key], then name=type:data (sz, expand_sz, dword, binary).\n";
  for (const StoredKey& key : store) {
    text << '[' << Escape(key.name, true) << "]\n";
    for (const StoredValue& v : key.values) {
      text << Escape(v.name, true) << '=' << Encode(v.value) << '\n';
    }
  }
  std::string temporary = file + ".tmp." + std::to_string(getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.flush();
    if (!out) {
      std::remove(temporary.c_str());
      return kErrorAccessDenied;
    }
  }
  if (std::rename(temporary.c_str(), file.c_str()) != 0) {
    std::remove(temporary.c_str());
    return kErrorAccessDenied;
  }
  return kErrorSuccess;
}

StoredKey* FindKey(Store& store, const std::string& key) {
  for (StoredKey& k : store) {
    if (SameName(k.name, key)) return &k;
  }
  return nullptr;
}

// A key exists when it has a line of its own or a sub-key has one.
bool KeyExists(const Store& store, const std::string& key) {
  std::string lower = Lower(key);
  for (const StoredKey& k : store) {
    std::string name = Lower(k.name);
    if (name == lower || name.rfind(lower + "\\", 0) == 0) return true;
  }
  return false;
}

}  // namespace

WinError PosixHost::OpenUserKey(const std::string& key, bool create) {
  std::string folder = ConfigFolder();
  if (folder.empty()) return create ? kErrorAccessDenied : kErrorFileNotFound;
  Store store;
  std::string file = folder + "/registry";
  if (WinError error = Load(file, &store)) return error;
  std::string name = NormalKey(key);
  if (KeyExists(store, name)) return kErrorSuccess;
  if (!create) return kErrorFileNotFound;
  store.push_back({name, {}});
  return Save(folder, file, store);
}

WinError PosixHost::ReadUserValue(const std::string& key, const std::string& name,
                                  RegistryValue* value) {
  std::string folder = ConfigFolder();
  if (folder.empty()) return kErrorFileNotFound;
  Store store;
  if (WinError error = Load(folder + "/registry", &store)) return error;
  StoredKey* stored = FindKey(store, NormalKey(key));
  if (stored == nullptr) return kErrorFileNotFound;
  for (const StoredValue& v : stored->values) {
    if (SameName(v.name, name)) {
      *value = v.value;
      return kErrorSuccess;
    }
  }
  return kErrorFileNotFound;
}

WinError PosixHost::WriteUserValue(const std::string& key, const std::string& name,
                                   const RegistryValue& value) {
  std::string folder = ConfigFolder();
  if (folder.empty()) return kErrorAccessDenied;
  Store store;
  std::string file = folder + "/registry";
  if (WinError error = Load(file, &store)) return error;
  std::string keyName = NormalKey(key);
  StoredKey* stored = FindKey(store, keyName);
  if (stored == nullptr) {
    store.push_back({keyName, {}});
    stored = &store.back();
  }
  for (StoredValue& v : stored->values) {
    if (SameName(v.name, name)) {
      v.value = value;
      return Save(folder, file, store);
    }
  }
  stored->values.push_back({name, value});
  return Save(folder, file, store);
}

}  // namespace orvo
