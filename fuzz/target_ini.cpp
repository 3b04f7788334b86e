// The configuration file's lookup. Input: section, NUL, key, NUL, the file's bytes. A value is
// never longer than the 2047 characters the lookup keeps and never spans a line; a key written
// into a section of its own at the end of a file without sections is found.
#include "FuzzSupport.h"
#include "common/IniFiles.h"

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parts = fuzz::Split(data, size, 3);
  const std::string &section = parts[0], &ident = parts[1], &file = parts[2];
  std::optional<std::string> value = FindIniValue(file, section, ident);
  if (value) {
    FUZZ_REQUIRE(value->size() <= kIniValueLimit);
    FUZZ_REQUIRE(value->find_first_of("\r\n") == std::string::npos);
  }
  bool plain = !section.empty() && !ident.empty() &&
               section.find_first_of("[]\r\n \t;") == std::string::npos &&
               ident.find_first_of("=[\r\n \t;") == std::string::npos &&
               file.find('[') == std::string::npos;
  if (plain) {
    std::string appended = file + "\r\n[" + section + "]\r\n" + ident + "=valor\r\n";
    FUZZ_REQUIRE(FindIniValue(appended, section, ident) == std::optional<std::string>("valor"));
  }
  return 0;
}
