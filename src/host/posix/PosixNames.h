// Names as the disk stores them: UTF-8, and their code page 1252 form inside the program.
#pragma once

#include <string>
#include <vector>

namespace orvo::posix {

// A code page 1252 name as UTF-8. Every byte has a form.
std::string Cp1252ToUtf8(const std::string& name);
// A disk name as code page 1252: '?' for each character without a 1252 form and for each byte
// that is not valid UTF-8.
std::string Utf8ToCp1252(const std::string& name);
// True for a disk name (UTF-8) that the program could name again: it has a 1252 form, and that
// form is a name Windows takes (CanNameAgain). Searches leave the others out, on every host.
bool CanNameAgainOnDisk(const std::string& diskName);
// Every 1252 name equal to `name` ignoring case (each letter in both its forms), in ascending
// byte order of their disk names; empty when there would be more than `limit` of them.
std::vector<std::string> CaseForms(const std::string& name, size_t limit);

}  // namespace orvo::posix
