// Placeholder until the string list's file and stream operations land with the file streams.
#include "common/Classes.h"
#include "common/SysUtils.h"

namespace orvo {
namespace {
[[noreturn]] void NotAvailable() {
  throw EStreamError("String list file operations are not available");
}
}  // namespace

void TStrings::SaveToFile(const std::string&) const { NotAvailable(); }
void TStrings::SaveToStream(TStream&) const { NotAvailable(); }
void TStrings::LoadFromFile(const std::string&) { NotAvailable(); }
void TStrings::LoadFromStream(TStream&) { NotAvailable(); }

}  // namespace orvo
