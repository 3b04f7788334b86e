// A request body split into fields and decoded, then looked up as the handlers do. The list's
// in-place lookups and join must agree with the generic ones of TStrings; a body without
// quotes, percent signs or line breaks splits exactly at its "&"s; the body taken as it arrives,
// in chunks, gives the same fields and the same failure.
#include <string_view>

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

// The fields of `body` taken in chunks of `step` bytes, each decoded as it arrives, then the
// failure's message, if any.
std::vector<std::string> ArrivingFields(const std::string& body, size_t step) {
  std::vector<std::string> fields;
  FormSplitter splitter;
  FieldDecoder decoder;
  std::string field;
  std::vector<char> out(step + FieldDecoder::kSlack);
  try {
    bool ended = false;
    for (size_t at = 0; at < body.size() && !ended; at += step) {
      const std::string_view chunk = std::string_view(body).substr(at, step);
      for (size_t p = 0; p < chunk.size() && !ended;) {
        const FormSplitter::Run run = splitter.Next(chunk, p);
        field.append(out.data(),
                     decoder.Feed(chunk.substr(run.begin, run.end - run.begin), out.data()));
        if (run.fieldEnded) {
          field.append(out.data(), decoder.Finish(out.data()));
          if (run.added) fields.push_back(field);
          field.clear();
          decoder = FieldDecoder();
        }
        ended = run.bodyEnded;
        p = run.next;
      }
    }
    if (!ended && splitter.Finish()) {
      fields.push_back(field.append(out.data(), decoder.Finish(out.data())));
    }
  } catch (const Exception& e) {
    fields.push_back(e.Message());
  }
  return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  TStringList fields;
  std::string failure;
  try {
    ExtractFields(body, fields);
  } catch (const EWebException& e) {
    failure = e.Message();
  } catch (const EConvertError& e) {
    failure = e.Message();
  }
  std::vector<std::string> arriving = ArrivingFields(body, 1 + (size == 0 ? 0 : data[0] % 67));
  FUZZ_REQUIRE(arriving.size() == static_cast<size_t>(fields.Count()) + !failure.empty());
  for (int32_t i = 0; i < fields.Count(); ++i) FUZZ_REQUIRE(arriving[i] == fields.Strings(i));
  FUZZ_REQUIRE(failure.empty() || arriving.back() == failure);
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
