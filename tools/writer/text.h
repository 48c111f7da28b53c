// Text conversions mkcat needs: UTF-8 names to the Windows ANSI code page, UTF-8 descriptions
// to the DOS code page, names made fit for Windows, and the descript.ion lists that hold file
// descriptions.
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

// Converts UTF-8 to code page 437, the DOS code page. Bytes 0x01 to 0x1F and 0x7F are glyphs
// there (U+263A for 0x01 ... U+2302 for 0x7F), and those characters become those bytes, so
// that they come back when the text is read as code page 437. ASCII control characters pass
// through as the bytes they are. Missing characters and malformed sequences become "?",
// with `exact` as for Utf8ToCp1252.
std::string Utf8ToCp437(const std::string& utf8, bool* exact = nullptr);

// Code page 437 to UTF-8, with the glyphs of bytes 0x01 to 0x1F and 0x7F.
std::string Cp437ToUtf8(const std::string& cp437);

// What FitWindowsName changed, each a reason for a warning.
struct WindowsNameChanges {
  bool forbiddenCharacters = false;  // \ / : * ? " < > | or a control character
  bool trailingDotsOrSpaces = false;
  bool reservedDeviceName = false;
};

// Makes a code page 1252 name one that Windows can hold: each of \ / : * ? " < > | and the
// control characters 0x01 to 0x1F becomes "_", and so does each trailing dot and space; a
// name whose part before the first dot is a device name (IsReservedDeviceName) gets "_"
// after that part ("CON" becomes "CON_", "nul.txt" "nul_.txt").
std::string FitWindowsName(const std::string& cp1252, WindowsNameChanges* changes = nullptr);

// Whether `part` (a name up to its first dot) names a device on Windows in any letter case:
// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, also with the superscript digits 1 to 3
// of code page 1252 and with trailing spaces, which Windows ignores there.
bool IsReservedDeviceName(const std::string& part);

// `cp1252` with its letters in one case, as Windows compares names: ASCII and the letters of
// code page 1252 that have a case pair in it (Latin-1, S and Z with caron, OE, Y diaeresis).
std::string FoldCp1252Case(const std::string& cp1252);

// The descriptions of one directory's descript.ion file, in file order.
struct DescriptionList {
  std::vector<std::pair<std::string, std::string>> entries;  // long name, description

  // The description of `longName`: an exact match first, else one that differs only in
  // ASCII letter case (the lists come from systems whose names ignore case). Null if none.
  const std::string* Find(const std::string& longName) const;
};

// The character sets a descript.ion file may be written in. kAuto takes UTF-8 when the
// file's names and descriptions are all well-formed UTF-8, else code page 850: DOS programs
// wrote these files in the DOS code page, and 850, that of Western European DOS, holds the
// accented capitals that 437 gave to box drawing (the two agree on the small letters).
enum class DescriptionCharset { kAuto, kUtf8, kCp437, kCp850, kCp1252 };

// The charset a name given on the command line stands for, letter case aside: "auto",
// "utf-8" ("utf8"), "cp437" ("ibm437", "437"), "cp850" ("ibm850", "850"), "cp1252"
// ("windows-1252", "1252"). False for any other name.
bool CharsetByName(const std::string& name, DescriptionCharset* charset);

// Parses lines of the form `name description` or `"name with blanks" description`, with LF
// or CRLF endings. Lines without a description are skipped. A description ends before the
// 0x04 0xC2 with which 4DOS starts the binary extended data it keeps after it. Names and
// descriptions are turned from `charset` into UTF-8 (kUtf8 keeps the bytes as they are).
DescriptionList ParseDescriptIon(const std::string& content,
                                 DescriptionCharset charset = DescriptionCharset::kUtf8);

// Whether `name` is "descript.ion" in any letter case.
bool IsDescriptIonName(const std::string& name);

}  // namespace catwriter
