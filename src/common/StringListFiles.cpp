// The string list's file and stream operations.
#include <algorithm>
#include <string_view>
#include <utility>

#include "common/Classes.h"
#include "common/PendingFile.h"
#include "common/SysUtils.h"
#include "common/SysUtilsConvert.h"
#include "common/SysUtilsFiles.h"

namespace orvo {
namespace {

// Transfers of more than 2 GiB go in pieces, as the stream counts are 32-bit.
constexpr size_t kPiece = 1 << 30;
// Strings shorter than this are gathered into one write; longer ones are written as they are.
constexpr size_t kGather = 64 * 1024;

// The bytes from the stream's position to its end; fewer when a read delivers less than the
// stream promised.
std::string ReadRest(TStream& stream) {
  int64_t remaining = stream.Size() - stream.Position();
  std::string bytes(static_cast<size_t>(std::max<int64_t>(remaining, 0)), '\0');
  // A stream that delivers fewer bytes than it promised failed (or lost bytes under it): its
  // lines would pass for the whole text.
  for (size_t read = 0; read < bytes.size(); read += kPiece) {
    size_t count = std::min(kPiece, bytes.size() - read);
    stream.ReadBuffer(bytes.data() + read, static_cast<int32_t>(count));
  }
  return bytes;
}

// Calls `visit` with each line of `text` as assigning it to a list's Text splits it.
template <class Visit>
void ForEachLine(std::string_view text, Visit visit) {
  size_t p = 0;
  while (p < text.size() && text[p] != '\0') {
    size_t start = p;
    while (p < text.size() && text[p] != '\r' && text[p] != '\n' && text[p] != '\0') ++p;
    visit(text.substr(start, p - start));
    if (p < text.size() && text[p] == '\r') ++p;
    if (p < text.size() && text[p] == '\n') ++p;
  }
}

}  // namespace

void TStrings::SaveToFile(const std::string& fileName) const {
  TPendingFile file(fileName);
  SaveToStream(file.Stream());
  file.Commit();
}

void TStrings::SaveToStream(TStream& stream) const { stream.WriteAll(Text()); }

void TStringList::SaveToStream(TStream& stream) const {
  std::string gathered;
  for (const std::string& s : items_) {
    if (s.size() < kGather) {
      gathered += s;
    } else {
      stream.WriteAll(gathered);
      gathered.clear();
      stream.WriteAll(s);
    }
    gathered += "\r\n";
    if (gathered.size() >= kGather) {
      stream.WriteAll(gathered);
      gathered.clear();
    }
  }
  stream.WriteAll(gathered);
}

void TStrings::LoadFromFile(const std::string& fileName) {
  TFileStream stream(fileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(stream);
}

void TStrings::LoadFromStream(TStream& stream) { SetText(ReadRest(stream)); }

std::string LoadTextFromFile(const std::string& fileName) {
  std::string bytes;
  {
    TFileStream stream(fileName, fmOpenRead | fmShareDenyWrite);
    bytes = ReadRest(stream);
  }
  size_t total = 0;
  ForEachLine(bytes, [&total](std::string_view line) { total += line.size() + 2; });
  std::string text;
  text.reserve(total);
  ForEachLine(bytes, [&text](std::string_view line) { text.append(line).append("\r\n"); });
  return text;
}

}  // namespace orvo
