// Text conversions mkcat needs: UTF-8 names to the Windows ANSI code page, and the
// descript.ion lists that hold file descriptions.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace catwriter {

// Converts UTF-8 to Windows code page 1252. ASCII passes through; a character the code page
// lacks, and every byte of a malformed sequence, becomes "?". `exact`, when given, tells
// whether every character survived.
std::string Utf8ToCp1252(const std::string& utf8, bool* exact = nullptr);

// Converts code page 1252 to UTF-8, for messages; an unassigned byte becomes U+FFFD.
std::string Cp1252ToUtf8(const std::string& cp1252);

// The descriptions of one directory's descript.ion file, in file order.
struct DescriptionList {
  std::vector<std::pair<std::string, std::string>> entries;  // long name, description

  // The description of `longName`: an exact match first, else one that differs only in
  // ASCII letter case (the lists come from systems whose names ignore case). Null if none.
  const std::string* Find(const std::string& longName) const;
};

// Parses lines of the form `name description` or `"name with blanks" description`, with LF
// or CRLF endings. Lines without a description are skipped.
DescriptionList ParseDescriptIon(const std::string& content);

// Whether `name` is "descript.ion" in any letter case.
bool IsDescriptIonName(const std::string& name);

}  // namespace catwriter
