#include "web/Masks.h"

#include "common/SysUtils.h"
#include "common/SysUtilsText.h"

namespace orvo {
namespace {

constexpr int kMaxStars = 30;

unsigned char FoldAscii(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

void AddFolded(std::bitset<256>& set, unsigned char c) {
  set.set(c);
  if (c >= 'A' && c <= 'Z') set.set(c + ('a' - 'A'));
  if (c >= 'a' && c <= 'z') set.set(c - ('a' - 'A'));
}

}  // namespace

TMask::State TMask::Of(Kind kind, char literal) {
  State state;
  state.kind = kind;
  state.literal = literal;
  return state;
}

TMask::TMask(const std::string& mask) : mask_(mask) {
  int stars = 0;
  size_t i = 0;
  while (i < mask.size()) {
    char c = mask[i];
    bool afterStar = !states_.empty() && states_.back().kind == Kind::kStar;
    if (c == '*') {
      // A run of stars is one star.
      if (!afterStar) {
        if (++stars > kMaxStars) Invalid(i + 1);
        states_.push_back(Of(Kind::kStar));
      }
      ++i;
    } else if (c == '?') {
      // "*?" matches what "*" matches: the "?" is dropped.
      if (!afterStar) states_.push_back(Of(Kind::kAny));
      ++i;
    } else if (c == '[') {
      i = CompileSet(i);
    } else {
      states_.push_back(Of(Kind::kLiteral, c));
      ++i;
    }
  }
}

// Compiles the set that opens at `open` and returns the index after its "]".
size_t TMask::CompileSet(size_t open) {
  State state = Of(Kind::kSet);
  size_t i = open + 1;
  if (i < mask_.size() && mask_[i] == '!') {
    state.negated = true;
    ++i;
  }
  bool empty = true;
  int previous = -1;  // the last single character, a possible range start
  while (i < mask_.size()) {
    auto c = static_cast<unsigned char>(mask_[i]);
    if (c == ']') {
      if (empty) Invalid(i + 1);
      states_.push_back(state);
      return i + 1;
    }
    if (c == '-' && previous < 0) Invalid(i + 1);
    if (c == '-' && i + 1 < mask_.size() && mask_[i + 1] != ']') {
      auto last = static_cast<unsigned char>(mask_[i + 1]);
      for (int x = previous; x <= last; ++x) AddFolded(state.set, static_cast<unsigned char>(x));
      previous = -1;
      i += 2;
      continue;
    }
    AddFolded(state.set, c);  // a "-" right before "]" is a plain character
    empty = false;
    previous = c;
    ++i;
  }
  Invalid(mask_.size() + 1);  // the set is never closed
}

void TMask::Invalid(size_t position) const {
  throw EMaskException("'" + mask_ + "' is an invalid mask at (" +
                       IntToStr(static_cast<int64_t>(position)) + ")");
}

bool TMask::MatchesOne(const State& state, unsigned char c) {
  switch (state.kind) {
    case Kind::kLiteral:
      return FoldAscii(static_cast<unsigned char>(state.literal)) == FoldAscii(c);
    case Kind::kAny:
      return true;
    case Kind::kSet:
      return state.set.test(c) != state.negated;
    case Kind::kStar:
      break;
  }
  return false;
}

// Every state but a star takes exactly one character, so retrying from the last star with one
// more character swallowed covers every alignment in O(mask * text) steps.
bool TMask::Matches(const std::string& text) const {
  constexpr size_t kNone = static_cast<size_t>(-1);
  size_t s = 0, t = 0;
  size_t lastStar = kNone, resumeAt = 0;
  while (t < text.size()) {
    if (s < states_.size() && states_[s].kind == Kind::kStar) {
      lastStar = s++;
      resumeAt = t;
    } else if (s < states_.size() && MatchesOne(states_[s], static_cast<unsigned char>(text[t]))) {
      ++s;
      ++t;
    } else if (lastStar != kNone) {
      s = lastStar + 1;
      t = ++resumeAt;
    } else {
      return false;
    }
  }
  while (s < states_.size() && states_[s].kind == Kind::kStar) ++s;
  return s == states_.size();
}

}  // namespace orvo
