// The form decoder. Also built as FormFields_portable_test, with the scan that serves compilers
// without vector types.
#include "web/FormFields.h"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "common/Classes.h"
#include "common/SysUtils.h"

namespace orvo {
namespace {

std::vector<std::string> Fields(const std::string& body) {
  TStringList list;
  ExtractFields(body, list);
  std::vector<std::string> out;
  for (int32_t i = 0; i < list.Count(); ++i) out.push_back(list.Strings(i));
  return out;
}

using V = std::vector<std::string>;

TEST(ExtractFieldsTest, SplitsAtSeparatorsAndQuotes) {
  const struct {
    std::string body;
    V fields;
  } cases[] = {
      {"", {}},
      {"a=1&b=2", {"a=1", "b=2"}},
      {"a=1&&b=2", {"a=1", "", "b=2"}},
      {"&a=1", {"", "a=1"}},
      {"a=1&", {"a=1"}},
      {"a=1\r\nb=2", {"a=1", "b=2"}},
      {"\r\n\r\na=1\n", {"a=1"}},
      {"x=\"1&2\"&y=3", {"x=\"1&2\"", "y=3"}},
      {"\"a&b\"&c=1", {"a&b", "", "c=1"}},
      {"n=\"v\"w&x=1", {"n=\"v\"", "", "x=1"}},
      {"\"a\r\nb\"", {"a\r\nb"}},
      {"q=\"open&rest", {"q=\"open&rest"}},
      {std::string("a=1\0&b=2", 8), {"a=1"}},
      {std::string("abcd\0efgh", 9), {"abcd"}},
      {"a=%26&%3D=b", {"a=&", "==b"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Fields(c.body), c.fields) << c.body;
}

// A field of 64 KiB or more that is most of what remains is decoded in the body's own storage.
TEST(ExtractFieldsTest, LargeFieldsDecodeLikeSmallOnes) {
  const std::string big(70000, 'x');
  const struct {
    std::string body;
    V fields;
  } cases[] = {
      {"a=1&x=" + big + "+%41%%", {"a=1", "x=" + big + " A%"}},
      {"x=%3C" + big + "&b=2\r\nc=3", {"x=<" + big, "b=2", "c=3"}},
      {"x=" + big + "&y=" + big + big + "%00", {"x=" + big, "y=" + big + big + '\0'}},
      {"\"q=" + big + "&r\"&c=1", {"q=" + big + "&r", "", "c=1"}},
      {"x=" + big + std::string("\0&b=2", 5), {"x=" + big}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Fields(c.body), c.fields) << c.body.substr(0, 10);
    TStringList list;
    ExtractFields(std::string(c.body), list);  // consuming the body gives the same fields
    EXPECT_EQ(list.Count(), static_cast<int32_t>(c.fields.size()));
    for (int32_t i = 0; i < list.Count(); ++i) EXPECT_EQ(list.Strings(i), c.fields[i]);
  }
}

TEST(ExtractFieldsTest, LargeFieldFailuresKeepTheFieldsBefore) {
  const std::string big(70000, 'x');
  const struct {
    std::string body;
    const char* message;
  } cases[] = {
      {"a=1&x=" + big + "%4", "Error decoding URL style (%XX) encoded string at position 70003"},
      {"a=1&x=" + big + "%g1&b=2", "Invalid URL encoded character (%g1) at position 70003"},
  };
  for (const auto& c : cases) {
    TStringList list;
    EXPECT_THROW(
        try { ExtractFields(std::string(c.body), list); } catch (const Exception& e) {
          EXPECT_EQ(e.Message(), c.message);
          throw;
        },
        Exception);
    EXPECT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Strings(0), "a=1");
  }
}

// The scan takes 64 bytes a step, then 16: each stop byte ends a field wherever it falls in a step.
TEST(ExtractFieldsTest, EveryStopEndsAFieldAtEveryOffset) {
  for (char stop : {'&', '\r', '\n', '"', '\0'}) {
    for (size_t offset = 0; offset < 140; ++offset) {  // past two steps of 64
      const std::string before(offset, 'x');
      const std::string body = "f=" + before + stop + "&g=1";
      // An opening quote holds the rest of the body; a NUL ends it.
      const V expected = stop == '\0'  ? V{"f=" + before}
                         : stop == '"' ? V{"f=" + before + "\"&g=1"}
                                       : V{"f=" + before, "", "g=1"};
      EXPECT_EQ(Fields(body), expected) << int(stop) << " at " << offset;
    }
  }
}

TEST(DecodeURLTextTest, DecodesPlusAndEscapes) {
  EXPECT_EQ(DecodeURLText("t=a+b%2Bc%25%%d"), "t=a b+c%%d");
  EXPECT_EQ(DecodeURLText("%e3%C3"), "\xE3\xC3");
  EXPECT_EQ(DecodeURLText("a%00b"), std::string("a\0b", 3));
  EXPECT_EQ(DecodeURLText("%%"), "%");
}

TEST(DecodeURLTextTest, ReportsBadEscapesWithTheirPosition) {
  const struct {
    const char* text;
    const char* className;
    const char* message;
  } cases[] = {
      {"t=%4", "EWebException", "Error decoding URL style (%XX) encoded string at position 3"},
      {"t=%", "EWebException", "Error decoding URL style (%XX) encoded string at position 3"},
      {"t=%zz", "EConvertError", "Invalid URL encoded character (%zz) at position 3"},
      {"ab%4g", "EConvertError", "Invalid URL encoded character (%4g) at position 3"},
  };
  for (const auto& c : cases) {
    try {
      DecodeURLText(c.text);
      ADD_FAILURE() << c.text << " decoded";
    } catch (const Exception& e) {
      EXPECT_STREQ(e.ClassName(), c.className) << c.text;
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

// The decoding rule one byte at a time, an error as "<class> <position>": what the decoder, which
// works in blocks, must agree with wherever blocks, escapes and errors fall.
std::string DecodedByteByByte(const std::string& t) {
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    const bool hex =
        i + 2 < t.size() && std::isxdigit(t[i + 1] & 0xFF) && std::isxdigit(t[i + 2] & 0xFF);
    if (t[i] != '%') {
      out += t[i] == '+' ? ' ' : t[i];
    } else if (hex || (i + 1 < t.size() && t[i + 1] == '%')) {
      out += hex ? static_cast<char>(std::stoi(t.substr(i + 1, 2), nullptr, 16)) : '%';
      i += hex ? 2 : 1;
    } else {
      return (i + 2 >= t.size() ? "EWebException " : "EConvertError ") + std::to_string(i + 1);
    }
  }
  return out;
}

TEST(DecodeURLTextTest, AgreesWithTheByteByByteRule) {
  std::mt19937 random(7);
  // Digits and letters beside the bytes just outside their ranges.
  const std::string alphabet = "%%%%++aAZ09fFgG/:@`& \x80\xff";
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 300, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    // Mostly escapes that decode, so that errors fall late and in every block.
    for (size_t i = 0; round % 2 == 0 && i + 2 < text.size(); ++i) {
      if (text[i] == '%' && random() % 8 != 0) text[i + 1] = text[i + 2] = 'a';
    }
    std::string decoded;
    try {
      decoded = DecodeURLText(text);
    } catch (const Exception& e) {
      decoded = std::string(e.ClassName()) + e.Message().substr(e.Message().rfind(' '));
    }
    ASSERT_EQ(decoded, DecodedByteByByte(text)) << text;
  }
}

// The fields of a body as ExtractFields gives them, or those before its failure and then the
// failure as "<class> <message>".
V FieldsOrFailure(const std::string& body) {
  TStringList list;
  V out;
  try {
    ExtractFields(body, list);
  } catch (const Exception& e) {
    out.push_back(std::string(e.ClassName()) + " " + e.Message());
  }
  for (int32_t i = list.Count() - 1; i >= 0; --i) out.insert(out.begin(), list.Strings(i));
  return out;
}

// The same taken as the body arrives, in chunks of random sizes up to `most` bytes.
V FieldsAsTheyArrive(const std::string& body, std::mt19937& random, size_t most) {
  V out;
  FormSplitter splitter;
  FieldDecoder decoder;
  std::string field;
  auto decode = [&](std::string_view raw, bool ends, bool added) {
    std::string decoded(raw.size() + FieldDecoder::kSlack, '\0');
    field.append(decoded.data(), decoder.Feed(raw, decoded.data()));
    if (!ends) return;
    field.append(decoded.data(), decoder.Finish(decoded.data()));
    if (added) out.push_back(field);
    field.clear();
    decoder = FieldDecoder();
  };
  try {
    bool ended = false;
    for (size_t at = 0; at < body.size() && !ended;) {
      const std::string_view chunk = std::string_view(body).substr(at, 1 + random() % most);
      at += chunk.size();
      for (size_t p = 0; p < chunk.size() && !ended;) {
        const FormSplitter::Run run = splitter.Next(chunk, p);
        decode(chunk.substr(run.begin, run.end - run.begin), run.fieldEnded, run.added);
        ended = run.bodyEnded;
        p = run.next;
      }
    }
    if (!ended) decode({}, true, splitter.Finish());
  } catch (const Exception& e) {
    out.push_back(std::string(e.ClassName()) + " " + e.Message());
  }
  return out;
}

TEST(FormSplitterTest, FieldsAsTheyArriveAreThoseOfTheWholeBody) {
  std::mt19937 random(11);
  const std::string alphabet = std::string("&&\r\n\"\"==%%%++aF09g") + '\0';
  for (int round = 0; round < 20000; ++round) {
    std::string body(random() % 200, ' ');
    for (char& c : body) c = alphabet[random() % alphabet.size()];
    // Mostly escapes that decode, and now and then a long run for the block decoder.
    for (size_t i = 0; round % 2 == 0 && i + 2 < body.size(); ++i) {
      if (body[i] == '%' && random() % 8 != 0) body[i + 1] = body[i + 2] = 'a';
    }
    if (round % 3 == 0) body.insert(random() % (body.size() + 1), std::string(150, 'x'));
    ASSERT_EQ(FieldsAsTheyArrive(body, random, round % 4 == 0 ? 400 : 5), FieldsOrFailure(body))
        << body;
  }
}

}  // namespace
}  // namespace orvo
