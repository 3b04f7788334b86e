// The database parameter block. Input: a byte choosing the case, then either a user name, NUL,
// a password (the login's two lines, as the manuals endpoints add them) or the lines of a
// parameter list. A block that builds is well formed; a login block holds exactly one user and
// one password item, carrying the values sent.
#include "FuzzSupport.h"
#include "common/Classes.h"
#include "db/Dpb.h"
#include "db/IB.h"

using namespace orvo;

namespace {

constexpr int kUserName = 28;
constexpr int kPassword = 29;

struct Item {
  int code;
  std::string value;
};

// The items of a block; stops the run when the block is not well formed.
std::vector<Item> Items(const std::string& block) {
  FUZZ_REQUIRE(!block.empty() && block[0] == isc_dpb_version1);
  FUZZ_REQUIRE(block.size() <= kDpbMaxLength);
  std::vector<Item> items;
  size_t at = 1;
  while (at < block.size()) {
    FUZZ_REQUIRE(at + 2 <= block.size());
    auto code = static_cast<unsigned char>(block[at]);
    auto length = static_cast<unsigned char>(block[at + 1]);
    FUZZ_REQUIRE(code >= 1 && code <= DpbParameterNames.size());
    FUZZ_REQUIRE(at + 2 + length <= block.size());
    items.push_back({code, block.substr(at + 2, length)});
    at += 2 + length;
  }
  return items;
}

void CheckLogin(const std::string& user, const std::string& password) {
  TStringList params;
  params.Add("user_name=" + user);
  params.Add("password=" + password);
  std::string block;
  try {
    block = BuildDpb(params);
  } catch (const EIBClientError&) {
    // Refused only for a value too long for its one length byte.
    FUZZ_REQUIRE(user.size() > kDpbMaxValueLength || password.size() > kDpbMaxValueLength);
    return;
  }
  std::vector<Item> items = Items(block);
  FUZZ_REQUIRE(items.size() == 2);
  FUZZ_REQUIRE(items[0].code == kUserName && items[0].value == user);
  FUZZ_REQUIRE(items[1].code == kPassword && items[1].value == password);
}

void CheckList(const std::string& lines) {
  TStringList params;
  params.SetText(lines);
  try {
    Items(BuildDpb(params));
  } catch (const EIBClientError&) {
  } catch (const EConvertError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  auto parts = fuzz::Split(data + 1, size - 1, 2);
  if (data[0] % 2 == 0) {
    CheckLogin(parts[0], parts[1]);
  } else {
    CheckList(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  }
  return 0;
}
