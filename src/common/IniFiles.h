// The reader of the configuration file: an INI file looked up through the host, never written;
// read once per request (see TRequestConfiguration), else anew on every lookup.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace orvo {

class TCustomIniFile {
 public:
  // Holds the path only: creating a reader reads nothing and never fails.
  explicit TCustomIniFile(std::string fileName) : fileName_(std::move(fileName)) {}
  virtual ~TCustomIniFile() = default;
  const std::string& FileName() const { return fileName_; }

  // The value of `ident` in `section`, or `fallback` when the file, section or key is missing.
  // EFOpenError / EReadError when the file is there but cannot be opened or read.
  virtual std::string ReadString(const std::string& section, const std::string& ident,
                                 const std::string& fallback) = 0;

 private:
  std::string fileName_;
};

class TIniFile : public TCustomIniFile {
 public:
  using TCustomIniFile::TCustomIniFile;
  std::string ReadString(const std::string& section, const std::string& ident,
                         const std::string& fallback) override;
};

// The configuration of one request: while one lives, each file that a TIniFile reads by its full
// path ("C:\Orvo\...") is read at the request's first lookup and every later lookup of the request
// is answered from those bytes, so the allowed folders, the handler and the operator's log share
// one read (an edit takes effect at the next request). A file that cannot be read is tried again
// at the next lookup. Made and used on the request's thread only.
class TRequestConfiguration {
 public:
  TRequestConfiguration();
  ~TRequestConfiguration();
  TRequestConfiguration(const TRequestConfiguration&) = delete;
  TRequestConfiguration& operator=(const TRequestConfiguration&) = delete;

  // The bytes of `fileName`, nullopt when it is missing; read through the request's copy when
  // one lives. EFOpenError / EReadError as TIniFile::ReadString.
  static std::optional<std::string> FileBytes(const std::string& fileName);

 private:
  TRequestConfiguration* outer_;
  std::map<std::string, std::optional<std::string>> files_;
};

// Values are cut to this many characters (a 2048-byte buffer with its terminating NUL).
inline constexpr size_t kIniValueLimit = 2047;

// Looks a key up in the bytes of an INI file: sections and keys match ignoring case, blanks
// around names and values are dropped, a pair of enclosing quotes is dropped, lines starting
// with ';' are comments. nullopt when the section or key is missing.
std::optional<std::string> FindIniValue(const std::string& bytes, const std::string& section,
                                        const std::string& ident);

}  // namespace orvo
