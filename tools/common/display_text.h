// Host texts made safe to show: file names given on the command line and module paths may hold
// any bytes, and a terminal obeys the control characters among them (a title change, a cursor
// move, a newline that splits one line into two).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The length of the well-formed UTF-8 sequence that starts `text` (1 to 4 bytes), or 0 when
// the first byte starts none: a stray continuation byte, an overlong form, a surrogate, a code
// point above U+10FFFF or a sequence cut short.
size_t Utf8SequenceLength(std::string_view text);

// Whether a terminal shows `text` as it is: well-formed UTF-8 without control characters (C0,
// DEL, C1). Runs of printable ASCII, what item paths are mostly made of, are checked 8 bytes at
// a time, since catfind asks this of every text it prints.
bool ShowsAsIs(std::string_view text);
// The same, one character at a time: the rule itself, which ShowsAsIs must agree with.
bool ShowsAsIsByCharacter(std::string_view text);

// `text` as it is when it is well-formed UTF-8 without control characters (C0, DEL, C1) and
// does not begin with a quote; otherwise quoted as `'...'`, with every control character and
// every byte outside a well-formed sequence written as a three-digit octal escape `\ooo`, and
// `\` and `'` as `\\` and `\'`. "a\nb" shows as 'a\012b'. What is shown unquoted never
// begins with a quote, so a shown name is never another name's escape.
std::string ShownName(std::string_view text);

// `text` with each byte that is not part of well-formed UTF-8 replaced by U+FFFD, the
// replacement character: what a JSON string can carry.
std::string WellFormedUtf8(std::string_view text);
