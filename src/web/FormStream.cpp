#include "web/FormStream.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "common/SysUtils.h"
#include "common/SysUtilsText.h"

namespace orvo {
namespace {

constexpr size_t kChunk = 64 * 1024;
// A field is streamed once this much of it has arrived; smaller bodies are decoded whole.
constexpr size_t kLarge = 64 * 1024;
// A body that has shown no large field by then is decoded whole: the look costs little.
constexpr size_t kLookAtMost = 1 << 20;

// The length of the name that the first decoded bytes of `raw` give their field, as TStrings
// reads names (up to the first "=", none when a NUL comes first); npos when there is none or the
// bytes do not decode.
size_t DecodedNameLength(std::string_view raw, std::string* name) {
  std::string decoded(raw.size() + FieldDecoder::kSlack, '\0');
  try {
    decoded.resize(FieldDecoder().Feed(raw, decoded.data()));
  } catch (const Exception&) {
    return std::string::npos;
  }
  const size_t stop = decoded.find_first_of(std::string_view("=\0", 2));
  if (stop == std::string::npos || decoded[stop] != '=') return std::string::npos;
  *name = decoded.substr(0, stop);
  return stop;
}

}  // namespace

std::string_view TFormStream::ReadChunk() {
  chunk_.resize(kChunk);
  return {chunk_.data(), body_.ReadSome(chunk_.data(), kChunk)};
}

bool TFormStream::FindLargeField(const std::string& name) {
  bool found = false, over = false;
  while (!over) {
    const std::string_view chunk = ReadChunk();
    if (chunk.empty()) break;
    held_.append(chunk);
    for (size_t at = 0; at < chunk.size() && !over;) {
      const FormSplitter::Run run = splitter_.Next(chunk, at);
      field_.append(chunk.substr(run.begin, run.end - run.begin));
      at = run.next;
      if (!run.fieldEnded) break;
      try {
        if (run.added) fields_.Add(DecodeURLText(field_));
      } catch (const Exception&) {
        over = true;  // the whole decoding reports it
      }
      field_.clear();
      over |= run.bodyEnded;
    }
    over |= held_.size() > kLookAtMost && field_.size() < kLarge;
    if (over || field_.size() < kLarge) continue;
    found = DecodedNameLength(field_, &name_) == name.size() &&
            CompareTextLocale(name_, name) == 0 && fields_.IndexOfName(name) < 0;
    over = true;
  }
  if (!found) GiveBack();
  return found;
}

void TFormStream::GiveBack() { body_.GiveBack(std::move(held_)); }

std::exception_ptr TFormStream::CopyValue(const std::function<void(std::string_view)>& write) {
  std::vector<char> out(kChunk + FieldDecoder::kSlack);
  FieldDecoder decoder;
  bool inValue = true;
  size_t skip = name_.size() + 1;  // the name and its "="
  std::string decoded;             // a field after the value
  std::exception_ptr decodeFailure, writeFailure;
  auto take = [&](size_t produced) {
    if (!inValue) {
      decoded.append(out.data(), produced);
      return;
    }
    const size_t skipped = std::min(skip, produced);
    skip -= skipped;
    if (produced == skipped || writeFailure) return;
    try {
      write(std::string_view(out.data() + skipped, produced - skipped));
    } catch (...) {
      writeFailure = std::current_exception();
    }
  };
  auto decode = [&](std::string_view raw, bool ends, bool added) {
    if (decodeFailure) return;  // the whole decoding stops at the first failure
    try {
      for (; !raw.empty(); raw.remove_prefix(std::min(raw.size(), kChunk))) {
        take(decoder.Feed(raw.substr(0, kChunk), out.data()));
      }
      if (!ends) return;
      take(decoder.Finish(out.data()));
      decoder = FieldDecoder();
      if (added) fields_.Add(inValue ? name_ + "=" : decoded);
      decoded.clear();
      inValue = false;
    } catch (...) {
      decodeFailure = std::current_exception();
    }
  };
  decode(field_, false, false);
  std::string().swap(field_);
  std::string().swap(held_);
  bool ended = false;  // a NUL ended the text: the bytes after it are read and ignored
  for (std::string_view chunk = ReadChunk(); !chunk.empty(); chunk = ReadChunk()) {
    for (size_t at = 0; at < chunk.size() && !ended;) {
      const FormSplitter::Run run = splitter_.Next(chunk, at);
      decode(chunk.substr(run.begin, run.end - run.begin), run.fieldEnded, run.added);
      ended = run.bodyEnded;
      at = run.next;
    }
  }
  if (!ended) decode({}, true, splitter_.Finish());
  body_.RequireWhole();
  if (decodeFailure) std::rethrow_exception(decodeFailure);
  return writeFailure;
}

}  // namespace orvo
