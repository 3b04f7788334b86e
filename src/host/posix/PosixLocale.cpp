#include "host/posix/PosixLocale.h"

#include <array>
#include <string_view>

#include "host/posix/PosixHost.h"

namespace orvo {
namespace {

struct LocaleEntry {
  std::string_view name;  // language_TERRITORY
  std::string_view decimalMark, groupMark, dateMark, shortDatePattern;
};

// The values Windows gives for these locales. "\xA0" is the no-break space of code page 1252.
constexpr std::array<LocaleEntry, 8> kLocales = {{
    {"pt_BR", ",", ".", "/", "dd/MM/yyyy"},
    {"pt_PT", ",", "\xA0", "/", "dd/MM/yyyy"},
    {"en_US", ".", ",", "/", "M/d/yyyy"},
    {"en_GB", ".", ",", "/", "dd/MM/yyyy"},
    {"de_DE", ",", ".", ".", "dd.MM.yyyy"},
    {"fr_FR", ",", "\xA0", "/", "dd/MM/yyyy"},
    {"es_ES", ",", ".", "/", "dd/MM/yyyy"},
    {"it_IT", ",", ".", "/", "dd/MM/yyyy"},
}};

// "pt_BR.UTF-8@mod" -> "pt_BR".
std::string_view BaseName(std::string_view name) {
  return name.substr(0, name.find_first_of(".@"));
}

}  // namespace

std::string LocaleNameFor(LocaleItem item, const EnvironmentLookup& environment) {
  bool numeric = item == LocaleItem::kDecimalMark || item == LocaleItem::kGroupMark;
  for (const char* variable : {"LC_ALL", numeric ? "LC_NUMERIC" : "LC_TIME", "LANG"}) {
    std::optional<std::string> value = environment(variable);
    if (value && !value->empty()) return *value;
  }
  return std::string();
}

std::optional<std::string> LocaleValue(const std::string& name, LocaleItem item) {
  std::string_view base = BaseName(name);
  for (const LocaleEntry& entry : kLocales) {
    if (entry.name != base) continue;
    switch (item) {
      case LocaleItem::kDecimalMark:
        return std::string(entry.decimalMark);
      case LocaleItem::kGroupMark:
        return std::string(entry.groupMark);
      case LocaleItem::kDateMark:
        return std::string(entry.dateMark);
      case LocaleItem::kShortDatePattern:
        return std::string(entry.shortDatePattern);
    }
  }
  return std::nullopt;
}

std::optional<std::string> PosixHost::GetLocaleValue(LocaleItem item) {
  auto environment = [this](const std::string& name) { return GetEnvironment(name); };
  return LocaleValue(LocaleNameFor(item, environment), item);
}

}  // namespace orvo
