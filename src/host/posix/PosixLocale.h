// The locale values of the Linux host: a small table of common locales, chosen by the
// environment as the C library would choose them, so that results do not depend on which
// locales happen to be compiled on the machine.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "host/Host.h"

namespace orvo {

using EnvironmentLookup = std::function<std::optional<std::string>(const std::string&)>;

// The locale name that decides `item`: LC_ALL, then LC_NUMERIC (marks of numbers) or LC_TIME
// (date mark and pattern), then LANG; empty variables count as unset. "" when none is set.
std::string LocaleNameFor(LocaleItem item, const EnvironmentLookup& environment);

// The value of `item` in the locale `name` ("pt_BR", "pt_BR.UTF-8", "de_DE@euro"), in code
// page 1252; nullopt for C, POSIX and locales outside the table.
std::optional<std::string> LocaleValue(const std::string& name, LocaleItem item);

}  // namespace orvo
