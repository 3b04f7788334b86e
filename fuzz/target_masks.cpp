// Masks compiled and matched. Input: mask, NUL, text. Masks without sets are checked against a
// plain dynamic-programming matcher with the same rules ("*" any run, "?" one character, ASCII
// letter case folded, a "?" right after a "*" dropped).
#include <cctype>

#include "FuzzSupport.h"
#include "common/SysUtils.h"
#include "web/Masks.h"

using namespace orvo;

namespace {

bool SameLetter(unsigned char a, unsigned char b) {
  auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  return fold(a) == fold(b);
}

// The mask as the matcher reads it: runs of stars as one, a "?" after a star dropped.
std::string Simplified(const std::string& mask) {
  std::string out;
  for (char c : mask) {
    bool afterStar = !out.empty() && out.back() == '*';
    if ((c == '*' || c == '?') && afterStar) continue;
    out += c;
  }
  return out;
}

bool ReferenceMatch(const std::string& mask, const std::string& text) {
  // match[j]: the mask read so far matches text[0, j).
  std::vector<bool> match(text.size() + 1, false);
  match[0] = true;
  for (char m : mask) {
    std::vector<bool> next(text.size() + 1, false);
    if (m == '*') {
      bool any = false;
      for (size_t j = 0; j <= text.size(); ++j) next[j] = any = any || match[j];
    } else {
      for (size_t j = 1; j <= text.size(); ++j) {
        next[j] = match[j - 1] && (m == '?' || SameLetter(m, text[j - 1]));
      }
    }
    match = std::move(next);
  }
  return match[text.size()];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parts = fuzz::Split(data, size, 2);
  const std::string& mask = parts[0];
  const std::string& text = parts[1];
  bool matches = false;
  try {
    matches = TMask(mask).Matches(text);
  } catch (const EMaskException&) {
    FUZZ_REQUIRE(mask.find_first_of("[*") != std::string::npos);  // only sets and star runs fail
    return 0;
  }
  if (mask.find('[') == std::string::npos && mask.size() <= 256 && text.size() <= 256) {
    FUZZ_REQUIRE(matches == ReferenceMatch(Simplified(mask), text));
  }
  return 0;
}
