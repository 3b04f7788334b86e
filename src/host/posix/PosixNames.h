// Names as the program sees them (code page 1252, letter case ignored, Windows wildcards) and as
// the disk stores them (UTF-8).
#pragma once

#include <string>
#include <vector>

namespace orvo::posix {

// A code page 1252 name as UTF-8. Every byte has a form (the five unassigned ones map to the
// control characters of the same number, as Windows maps them).
std::string Cp1252ToUtf8(const std::string& name);
// A disk name as code page 1252: '?' for each character without a 1252 form and for each byte
// that is not valid UTF-8.
std::string Utf8ToCp1252(const std::string& name);

// The upper-case form of a code page 1252 letter; other bytes unchanged.
unsigned char UpperCp1252(unsigned char c);
// True when two 1252 names are equal ignoring letter case.
bool SameNameIgnoringCase(const std::string& a, const std::string& b);
// Every 1252 name equal to `name` ignoring case (each letter in both its forms), in ascending
// byte order of their disk names; empty when there would be more than `limit` of them.
std::vector<std::string> CaseForms(const std::string& name, size_t limit);

// The key that sorts disk names in NTFS order: the UTF-16 code units of the upper-case form,
// big-endian, so that comparing the bytes compares the units ordinally.
std::string NtfsSortKey(const std::string& diskName);

// True when `name` matches a Windows pattern ('*' any run, '?' one character, letter case
// ignored, a final ".*" also matching names without a dot).
bool MatchesPattern(const std::string& pattern, const std::string& name);
bool HasWildcards(const std::string& name);
// True for a name that Windows refuses for a file or folder (< > : " | ? * and bytes 0-31).
bool IsInvalidName(const std::string& name);
// Invalid as above, except that the wildcards '*' and '?' are allowed.
bool IsInvalidPattern(const std::string& pattern);
// True for a disk name (UTF-8) that a Windows folder could hold: none of \ : * ? " < > | and no
// byte 1-31. Searches leave the others out: they could never be opened, and a line feed in a
// name would add a line to a listing.
bool WindowsCanHold(const std::string& diskName);

}  // namespace orvo::posix
