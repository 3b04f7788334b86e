// Text and integer routines over byte strings in code page 1252. Positions are 1-based.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvo {

std::string IntToStr(int64_t value);
// EConvertError "'<text>' is not a valid integer value".
int32_t StrToInt(const std::string& text);
int32_t StrToIntDefault(const std::string& text, int32_t fallback);
bool TryStrToInt(const std::string& text, int32_t* value);
// The number written as 1 to `maxDigits` decimal digits and nothing else (a setting's text);
// nullopt for any other text.
std::optional<uint64_t> DigitsValue(const std::string& text, size_t maxDigits);

// Removes leading and trailing bytes of code 32 or less.
std::string Trim(const std::string& text);
std::string Copy(const std::string& text, int64_t index, int64_t count);
int64_t Pos(const std::string& needle, const std::string& text);
void Insert(const std::string& piece, std::string& text, int64_t index);
void Delete(std::string& text, int64_t index, int64_t count);

// Compares ignoring the case of A-Z only.
int32_t CompareTextAscii(const std::string& a, const std::string& b);
// Compares ignoring the case of every code page 1252 letter (À equals à).
int32_t CompareTextLocale(const std::string& a, const std::string& b);
std::string LowercaseAscii(const std::string& text);
std::string UppercaseAscii(const std::string& text);
std::string LowercaseLocale(const std::string& text);
std::string UppercaseLocale(const std::string& text);

}  // namespace orvo
