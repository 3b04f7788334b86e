// Path masks: "*" any run, "?" one character, "[a-z]" / "[!a-z]" sets; ASCII letter case folded.
#pragma once

#include <bitset>
#include <string>
#include <vector>

namespace orvo {

class TMask {
 public:
  // Compiles the mask; EMaskException "'<mask>' is an invalid mask at (<position>)".
  explicit TMask(const std::string& mask);

  // Whether the whole of `text` matches the whole mask under some alignment of its stars.
  bool Matches(const std::string& text) const;

 private:
  enum class Kind { kLiteral, kAny, kSet, kStar };
  struct State {
    Kind kind = Kind::kLiteral;
    char literal = 0;
    bool negated = false;
    std::bitset<256> set;
  };

  static State Of(Kind kind, char literal = 0);
  static bool MatchesOne(const State& state, unsigned char c);
  [[noreturn]] void Invalid(size_t position) const;
  size_t CompileSet(size_t open);

  std::string mask_;
  std::vector<State> states_;
};

}  // namespace orvo
