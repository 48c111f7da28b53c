// The glob rules of every program that matches item paths (catfind's patterns, cathost's
// --match), in one place.
#pragma once

#include <cstddef>
#include <string_view>

namespace glob_match {

// Whether the glob matches all of `text`. `*` matches any run of characters, `?` one character
// (a whole UTF-8 sequence), `[...]` one character from a set: ranges `a-c`, negation by a first
// `!` or `^`, a `]` right after the opening (or the negation) is a member. A `[` without its
// closing `]` is an ordinary character. Nothing escapes: a backslash matches itself, as item
// paths use it to separate components; `[*]`, `[?]` and `[[]` match those characters literally.
// Separators get no special care: `*` and `?` match a backslash too.
// With `ignoreCase`, `text` and the glob outside its sets are folded already (as catfind -i
// folds them), and a set takes a character when the character or its other case is a member
// (ASCII and Latin-1 letters): `[A-_]` takes `_` and every letter, `[@-Z]` no `_`.
bool GlobMatches(std::string_view glob, std::string_view text, bool ignoreCase = false);
// The same answer, the star taking one character at a time: GlobMatches's plain twin, which
// the tests compare it with.
bool GlobMatchesStepByStep(std::string_view glob, std::string_view text, bool ignoreCase = false);

// Reads the set that starts at glob[at] == '['. On success, sets `end` past its ']' and
// `matches` to whether `character` is in it (or, with `ignoreCase`, its other case); false
// when the set never closes (the '[' is then an ordinary character).
bool MatchSet(std::string_view glob, size_t at, char32_t character, bool ignoreCase, size_t& end,
              bool& matches);

// The length of the character at the start of `text`: a whole UTF-8 sequence, or 1 for a byte
// that starts none, so that every step moves forward.
size_t CharacterLength(std::string_view text);

// The code point of the `length`-byte character at the start of `text` (a stray byte stands
// for itself).
char32_t CodePoint(std::string_view text, size_t length);

}  // namespace glob_match
