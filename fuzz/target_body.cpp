// A request body split into fields and decoded, then looked up as the handlers do. The list's
// in-place lookups and join must agree with the generic ones of TStrings.
#include "FuzzSupport.h"
#include "common/Classes.h"
#include "web/HTTPApp.h"

using namespace orvo;

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
  return 0;
}
