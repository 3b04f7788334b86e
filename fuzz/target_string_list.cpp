// The string list's text view. A text assigned reads back with every line break made CR LF, a
// CR LF at the end, and nothing after a NUL; that form is stable; the list's own join and its
// gathering save give the same bytes as the generic join; loading from a stream equals assigning.
#include <algorithm>
#include <cstring>

#include "FuzzSupport.h"
#include "common/Classes.h"

using namespace orvo;

namespace {

// The expected join, written from the rule: lines end at CR LF, LF or CR; a NUL ends the text.
std::string Normalised(const std::string& text) {
  std::string out;
  size_t i = 0;
  const size_t end = std::min(text.size(), text.find('\0'));
  while (i < end) {
    size_t stop = i;
    while (stop < end && text[stop] != '\r' && text[stop] != '\n') ++stop;
    out.append(text, i, stop - i);
    out += "\r\n";
    i = stop;
    if (i < end && text[i] == '\r') ++i;
    if (i < end && text[i] == '\n') ++i;
  }
  return out;
}

// A stream over bytes in memory.
class BytesStream : public TStream {
 public:
  explicit BytesStream(std::string bytes = "") : bytes_(std::move(bytes)) {}
  int32_t Read(void* buffer, int32_t count) override {
    auto n = static_cast<int32_t>(std::min<size_t>(count, bytes_.size() - position_));
    std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    return n;
  }
  int32_t Write(const void* buffer, int32_t count) override {
    bytes_.replace(position_, std::min<size_t>(count, bytes_.size() - position_),
                   static_cast<const char*>(buffer), count);
    position_ += count;
    return count;
  }
  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    int64_t base = origin == SeekOrigin::kBegin     ? 0
                   : origin == SeekOrigin::kCurrent ? static_cast<int64_t>(position_)
                                                    : static_cast<int64_t>(bytes_.size());
    position_ = static_cast<size_t>(std::clamp<int64_t>(base + offset, 0, bytes_.size()));
    return static_cast<int64_t>(position_);
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
  size_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TStringList list;
  list.SetText(text);
  const std::string joined = list.Text();
  FUZZ_REQUIRE(joined == Normalised(text));
  FUZZ_REQUIRE(joined == list.TStrings::Text());

  TStringList again;
  again.SetText(joined);
  FUZZ_REQUIRE(again.Text() == joined);

  // Strings holding line breaks, as a batch field does: joined unchanged.
  TStringList raw;
  raw.Add(text);
  raw.Add("");
  raw.Add(text);
  BytesStream saved;
  raw.SaveToStream(saved);
  FUZZ_REQUIRE(saved.bytes() == raw.Text() && raw.Text() == raw.TStrings::Text());

  TStringList loaded;
  BytesStream source(text);
  loaded.LoadFromStream(source);
  FUZZ_REQUIRE(loaded.Text() == joined);
  return 0;
}
