// A request body split into fields and decoded, then looked up as the handlers do. The list's
// in-place lookups and join must agree with the generic ones of TStrings; a body without
// quotes, percent signs or line breaks splits exactly at its "&"s.
#include "FuzzSupport.h"
#include "common/Classes.h"
#include "common/SysUtils.h"
#include "web/FormFields.h"

using namespace orvo;

namespace {

// The fields of a body without quotes, "%", CR, LF or NUL: the pieces between "&"s, "+" made a
// space, nothing after a final "&".
std::vector<std::string> PlainFields(const std::string& body) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (start < body.size()) {
    size_t amp = body.find('&', start);
    std::string field = body.substr(start, amp == std::string::npos ? amp : amp - start);
    for (char& c : field) c = c == '+' ? ' ' : c;
    fields.push_back(field);
    if (amp == std::string::npos) break;
    start = amp + 1;
  }
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  TStringList fields;
  try {
    ExtractFields(body, fields);
  } catch (const EWebException&) {
  } catch (const EConvertError&) {
  }
  // Decoding only shrinks: "%XX" is one byte, "+" one space.
  for (int32_t i = 0; i < fields.Count(); ++i) FUZZ_REQUIRE(fields.Strings(i).size() <= size);

  std::vector<std::string> names = {"loja", "tag", "xmldata", "LOJA", ""};
  for (int32_t i = 0; i < fields.Count() && i < 8; ++i) names.push_back(fields.Names(i));
  for (const std::string& name : names) {
    FUZZ_REQUIRE(fields.IndexOfName(name) == fields.TStrings::IndexOfName(name));
    FUZZ_REQUIRE(fields.Values(name) == fields.TStrings::Values(name));
  }
  FUZZ_REQUIRE(fields.Text() == fields.TStrings::Text());

  if (body.find_first_of(std::string("\"%\r\n\0", 5)) == std::string::npos) {
    std::vector<std::string> plain = PlainFields(body);
    FUZZ_REQUIRE(fields.Count() == static_cast<int32_t>(plain.size()));
    for (int32_t i = 0; i < fields.Count(); ++i) FUZZ_REQUIRE(fields.Strings(i) == plain[i]);
  }
  return 0;
}
