// Test support for catweb: the catalogues its tests index, written with the writer.
//   - a hostile MUR: markup, script and control bytes in names and descriptions, and a file
//     name with a right-to-left override, an escape and markup;
//   - a plain MUR of pictures and documents, with sizes to draw;
//   - a ZEX cut short, whose listing reports damage.
#pragma once

#include <string>

namespace web_test {

// The hostile names, as the index holds them (code page 437 decoded).
inline constexpr const char* kMarkupFolder = "<img src=x onerror=alert(1)>";
inline constexpr const char* kScriptFile = "<svg onload=\"window.__xss=1\">.txt";
inline constexpr const char* kScriptDescription = "<script>window.__xss=2</script>";
// A file name on disk: a right-to-left override (U+202E), an escape and markup.
inline constexpr const char* kHostileCatalogueName =
    "hostile \u202Egpj.exe \x1b[7m<img src=x onerror=alert(1)>.mur";

struct Catalogues {
  std::string hostile;
  std::string plain;
  std::string damaged;
};

// Writes the three into `folder`; false with `error` set when one cannot be written.
bool WriteCatalogues(const std::string& folder, Catalogues* written, std::string* error);

}  // namespace web_test
