// 8.3 short names for long file names, made the way DOS and Windows file systems make them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace catwriter {

struct ShortName {
  std::string base;       // 1 to 8 characters (a generated one may be only "~N")
  std::string extension;  // 0 to 3 characters
};

// Whether `name` already is an 8.3 name: a base of 1 to 8 characters, optionally a dot and
// an extension of 1 to 3, every character one a short name allows (letters of either case),
// and a base that names no device (CON, NUL, COM1, ...; see IsReservedDeviceName).
bool IsValidShortName(const std::string& name);

// Short names for all the long names of one directory, index for index, unique within it
// case-insensitively. A name that already is an 8.3 name keeps its upper-cased form unless
// an earlier one took it. Every other name (or the later of two that upper-case alike) gets
// a generated name: up to 6 characters of its base (before its last dot, leading dots not
// counting, dots and spaces removed), "~N", and up to 3 characters of its extension; the
// base gives up one character per extra digit of N. Characters a short name cannot hold,
// non-ASCII ones included, become "_"; letters are upper-cased. Names that keep their form
// are settled before any is generated, so a generated name never takes one of theirs.
// The cost grows linearly with the number of names, however many share a prefix.
struct ShortNameCost {
  uint64_t candidateChecks = 0;  // short names tried against those already taken
};
std::vector<ShortName> MakeShortNames(const std::vector<std::string>& longNames,
                                      ShortNameCost* cost = nullptr);

}  // namespace catwriter
