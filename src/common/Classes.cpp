// The string list: the views of TStrings and the concrete TStringList. The file and stream
// operations live in StringListFiles.cpp, the streams in Streams.cpp.
#include "common/Classes.h"

#include <algorithm>
#include <exception>
#include <string_view>
#include <utility>

#include "common/SysUtils.h"
#include "common/SysUtilsText.h"

namespace orvo {
namespace {

// Length of the name part of `s`, or npos when `s` holds no '=' before its first NUL.
size_t NameLength(const std::string& s) {
  size_t stop = s.find_first_of(std::string_view("=\0", 2));
  return stop != std::string::npos && s[stop] == '=' ? stop : std::string::npos;
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n' || c == '\0'; }

}  // namespace

// ---- TStrings ----

int32_t TStrings::Add(std::string value) {
  int32_t index = Count();
  Insert(index, std::move(value));
  return index;
}

int32_t TStrings::IndexOf(const std::string& value) const {
  for (int32_t i = 0; i < Count(); ++i) {
    if (CompareStrings(Strings(i), value) == 0) return i;
  }
  return -1;
}

std::string TStrings::Names(int32_t index) const {
  std::string s = Strings(index);
  size_t length = NameLength(s);
  return length == std::string::npos ? std::string() : s.substr(0, length);
}

int32_t TStrings::IndexOfName(const std::string& name) const {
  for (int32_t i = 0; i < Count(); ++i) {
    std::string s = Strings(i);
    size_t length = NameLength(s);
    if (length != std::string::npos && CompareStrings(s.substr(0, length), name) == 0) return i;
  }
  return -1;
}

std::string TStrings::Values(const std::string& name) const {
  int32_t index = IndexOfName(name);
  if (index < 0) return std::string();
  return Copy(Strings(index), static_cast<int64_t>(name.size()) + 2, INT64_MAX);
}

std::string TStrings::TakeValue(const std::string& name) {
  int32_t index = IndexOfName(name);
  if (index < 0) return std::string();
  std::string value = Values(name);
  PutStrings(index, Strings(index).substr(0, name.size() + 1));
  return value;
}

std::string TStrings::Text() const {
  const int32_t count = Count();
  size_t total = 0;
  for (int32_t i = 0; i < count; ++i) total += Strings(i).size() + 2;
  std::string text;
  text.reserve(total);
  for (int32_t i = 0; i < count; ++i) {
    text += Strings(i);
    text += "\r\n";
  }
  return text;
}

void TStrings::SetText(const std::string& text) {
  TUpdateGuard bracket(*this);
  Clear();
  size_t p = 0;
  while (p < text.size() && text[p] != '\0') {
    size_t start = p;
    while (p < text.size() && !IsLineEnd(text[p])) ++p;
    Add(text.substr(start, p - start));
    if (p < text.size() && text[p] == '\r') ++p;
    if (p < text.size() && text[p] == '\n') ++p;
  }
}

int32_t TStrings::CompareStrings(const std::string& a, const std::string& b) const {
  return CompareTextLocale(a, b);
}

// ---- TUpdateGuard ----

TUpdateGuard::TUpdateGuard(TStrings& list)
    : list_(list), failuresInFlight_(std::uncaught_exceptions()) {
  list_.BeginUpdate();
}

TUpdateGuard::~TUpdateGuard() noexcept(false) {
  if (std::uncaught_exceptions() == failuresInFlight_) {
    list_.EndUpdate();
    return;
  }
  // Already unwinding: the first failure is the one reported.
  try {
    list_.EndUpdate();
  } catch (...) {
  }
}

// ---- TStringList ----

namespace {
[[noreturn]] void IndexError(int32_t index) {
  throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
}
}  // namespace

std::string TStringList::Strings(int32_t index) const {
  if (index < 0 || index >= Count()) IndexError(index);
  return items_[static_cast<size_t>(index)];
}

void TStringList::PutStrings(int32_t index, const std::string& value) {
  if (index < 0 || index >= Count()) IndexError(index);
  Changing();
  items_[static_cast<size_t>(index)] = value;
  Changed();
}

void TStringList::Insert(int32_t index, std::string value) {
  if (index < 0 || index > Count()) IndexError(index);
  Changing();
  if (Count() == capacity_) Grow();
  items_.insert(items_.begin() + index, std::move(value));
  Changed();
}

void TStringList::Delete(int32_t index) {
  if (index < 0 || index >= Count()) IndexError(index);
  Changing();
  items_.erase(items_.begin() + index);
  Changed();
}

void TStringList::Clear() {
  if (items_.empty()) return;
  Changing();
  std::vector<std::string>().swap(items_);
  capacity_ = 0;
  Changed();
}

void TStringList::BeginUpdate() {
  if (updateDepth_ == 0) Changing();
  ++updateDepth_;
}

void TStringList::EndUpdate() {
  --updateDepth_;
  if (updateDepth_ == 0) Changed();
}

int32_t TStringList::IndexOfName(const std::string& name) const {
  for (int32_t i = 0; i < Count(); ++i) {
    const std::string& s = items_[static_cast<size_t>(i)];
    size_t length = NameLength(s);
    if (length != std::string::npos && CompareStrings(s.substr(0, length), name) == 0) return i;
  }
  return -1;
}

std::string TStringList::Values(const std::string& name) const {
  int32_t index = IndexOfName(name);
  if (index < 0) return std::string();
  return Copy(items_[static_cast<size_t>(index)], static_cast<int64_t>(name.size()) + 2, INT64_MAX);
}

std::string TStringList::TakeValue(const std::string& name) {
  int32_t index = IndexOfName(name);
  if (index < 0) return std::string();
  Changing();
  std::string& item = items_[static_cast<size_t>(index)];
  std::string value = std::move(item);
  const size_t start = std::min(name.size() + 1, value.size());
  item = value.substr(0, start);
  value.erase(0, start);
  Changed();
  return value;
}

std::string TStringList::Text() const {
  size_t total = 0;
  for (const std::string& s : items_) total += s.size() + 2;
  std::string text;
  text.reserve(total);
  for (const std::string& s : items_) {
    text += s;
    text += "\r\n";
  }
  return text;
}

void TStringList::Changing() {
  if (updateDepth_ == 0 && BeforeChange) BeforeChange(*this);
}

void TStringList::Changed() {
  if (updateDepth_ == 0 && AfterChange) AfterChange(*this);
}

void TStringList::Grow() {
  int32_t delta = capacity_ > 64 ? capacity_ / 4 : (capacity_ > 8 ? 16 : 4);
  capacity_ += delta;
  items_.reserve(static_cast<size_t>(capacity_));
}

}  // namespace orvo
