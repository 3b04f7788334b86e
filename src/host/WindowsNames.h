// Names as the program sees them on every host: code page 1252 bytes, letter case ignored,
// Windows wildcards, the names Windows refuses, NTFS order.
#pragma once

#include <cstddef>
#include <string>

namespace orvo {

// The Unicode character of a code page 1252 byte (the five unassigned ones map to the control
// characters of the same number, as Windows maps them).
char32_t Cp1252ToUnicode(unsigned char c);
// The code page 1252 byte of a Unicode character; -1 when it has none.
int UnicodeToCp1252(char32_t u);

// The most bytes a name takes in UTF-8 on Linux file systems (NAME_MAX): a longer one is refused
// as too long on every host, never cut (Wine would cut it, and reach another entry).
constexpr size_t kMaxNameUtf8 = 255;
// The length of a code page 1252 name in UTF-8 bytes.
size_t Utf8Length(const std::string& name);

// The upper-case form of a code page 1252 letter; other bytes unchanged.
unsigned char UpperCp1252(unsigned char c);
// True when two 1252 names are equal ignoring letter case.
bool SameNameIgnoringCase(const std::string& a, const std::string& b);

// The key that sorts 1252 names in NTFS order (by the UTF-16 code units of their upper-case
// forms, ordinally): one byte per character, the rank of its upper-case form's unit among those
// of the code page, so that comparing the bytes compares the units.
std::string NtfsSortKey(const std::string& name);

// True when `name` matches a Windows pattern ('*' any run, '?' one character, letter case
// ignored, a final ".*" also matching names without a dot). The program's one matcher: every
// host searches with it, never with the system's (which also matches 8.3 aliases).
bool MatchesPattern(const std::string& pattern, const std::string& name);
bool HasWildcards(const std::string& name);
// True for a name that Windows refuses for a file or folder (< > : " | ? * and bytes 0-31).
bool IsInvalidName(const std::string& name);
// Invalid as above, except that the wildcards '*' and '?' are allowed.
bool IsInvalidPattern(const std::string& pattern);
// True for a DOS device name (CON, PRN, AUX, NUL, COM0-9, LPT0-9, CONIN$, CONOUT$), in any
// letter case, with or without an extension or blanks before it: Windows opens the device.
bool IsDeviceName(const std::string& name);
// True for a name that the program could name again: valid, no separator, no device. Searches
// leave the others out (they could never be opened, and a line feed in a name would add a line
// to a listing).
bool CanNameAgain(const std::string& name);

}  // namespace orvo
