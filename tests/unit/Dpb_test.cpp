#include "db/Dpb.h"

#include <gtest/gtest.h>

#include <vector>

#include "db/IB.h"

namespace orvo {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int v : values) bytes += static_cast<char>(v);
  return bytes;
}

std::string Build(std::initializer_list<std::string> lines) {
  TStringList params;
  for (const std::string& line : lines) params.Add(line);
  return BuildDpb(params);
}

struct DpbCase {
  std::vector<std::string> lines;
  std::string block;
};

TEST(BuildDpbTest, EncodesEachClass) {
  const std::vector<DpbCase> cases = {
      {{}, Bytes({1})},
      {{"user_name=abc", "password="}, Bytes({1, 28, 3, 97, 98, 99, 29, 0})},
      {{"ISC_DPB_USER_NAME=abc"}, Bytes({1, 28, 3, 97, 98, 99})},
      {{"num_buffers=300"}, Bytes({1, 5, 1, 44})},
      {{"sql_dialect=3"}, Bytes({1, 63, 1, 3})},
      {{"sweep=x"}, Bytes({1, 10, 1, 2})},
      {{"sweep_interval=258"}, Bytes({1, 22, 4, 2, 1, 0, 0})},
      {{"sweep_interval=-1"}, Bytes({1, 22, 4, 255, 255, 255, 255})},
      {{"force_write=1", "begin_log=whatever"}, Bytes({1, 24, 1, 1, 25, 1, 0})},
      {{"no line", "=value", " =x", "lc_ctype=WIN1252"},
       Bytes({1, 48, 7, 'W', 'I', 'N', '1', '2', '5', '2'})},
      {{"password=a=b"}, Bytes({1, 29, 3, 'a', '=', 'b'})},
      {{"user_name=a", "user_name=b"}, Bytes({1, 28, 1, 'a', 28, 1, 'b'})},
  };
  for (const DpbCase& c : cases) {
    TStringList params;
    for (const std::string& line : c.lines) params.Add(line);
    EXPECT_EQ(BuildDpb(params), c.block) << (c.lines.empty() ? "<empty>" : c.lines[0]);
  }
}

struct FailureCase {
  std::string line;
  int32_t number;
  std::string message;
};

TEST(BuildDpbTest, RefusesUnsupportedAndUnknownNames) {
  const std::vector<FailureCase> cases = {
      {"page_size=4096", 11, "Constante DPB (isc_dpb_page_size) n\xE3o \xE9 suportada"},
      {"isc_dpb_trace=1", 11, "Constante DPB (isc_dpb_trace) n\xE3o \xE9 suportada"},
      {" user_name=abc", 114, "Constante DPB ( user_name) \xE9 desconhecida"},
      {"Usuario=abc", 114, "Constante DPB (Usuario) \xE9 desconhecida"},
  };
  for (const FailureCase& c : cases) {
    try {
      Build({c.line});
      ADD_FAILURE() << c.line << " was accepted";
    } catch (const EIBClientError& e) {
      EXPECT_EQ(e.SqlErrorCode(), c.number) << c.line;
      EXPECT_EQ(e.PrimaryStatusCode(), 0);
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST(BuildDpbTest, NumberThatIsNotOneRaisesConvertError) {
  EXPECT_THROW(Build({"num_buffers=abc"}), EConvertError);
}

// A length byte above 255 would wrap, and the rest of the value would reach the server as
// parameters of its own: a password must never be able to add an item.
TEST(BuildDpbTest, RefusesStringValuesLongerThanALengthByte) {
  std::string injected = std::string(256, 'x') + Bytes({28, 5}) + "admin";
  EXPECT_EQ(Build({"password=" + std::string(255, 'p')}).size(), 1u + 2 + 255);
  for (const std::string& value : {std::string(256, 'p'), std::string(300, 'p'), injected}) {
    try {
      Build({"user_name=u", "password=" + value});
      ADD_FAILURE() << value.size() << " bytes accepted";
    } catch (const EIBClientError& e) {
      EXPECT_EQ(e.SqlErrorCode(), ceDpbValueTooLong);
      EXPECT_EQ(e.Message(), "Valor da constante DPB (isc_dpb_password) excede 255 bytes");
    }
  }
}

TEST(BuildDpbTest, RefusesBlocksLongerThan32767Bytes) {
  TStringList params;
  // 128 items of 257 bytes: 1 + 128 * 257 = 32897 bytes.
  for (int i = 0; i < 127; ++i) params.Add("lc_messages=" + std::string(255, 'm'));
  EXPECT_EQ(BuildDpb(params).size(), 1u + 127 * 257);
  params.Add("lc_messages=" + std::string(255, 'm'));
  try {
    BuildDpb(params);
    FAIL() << "an oversized block was built";
  } catch (const EIBClientError& e) {
    EXPECT_EQ(e.SqlErrorCode(), ceDpbTooLong);
    EXPECT_EQ(e.Message(), "Bloco de par\xE2metros DPB excede 32767 bytes");
  }
}

}  // namespace
}  // namespace orvo
