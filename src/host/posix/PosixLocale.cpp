// Placeholder until the locale table lands: the host gives no locale values.
#include "host/posix/PosixHost.h"

namespace orvo {

std::optional<std::string> PosixHost::GetLocaleValue(LocaleItem) { return std::nullopt; }

}  // namespace orvo
