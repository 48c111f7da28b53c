// Text for catmount's reports: names of files come from users and catalogues, and may hold any
// byte. None may reach a terminal or the system log raw.
#pragma once

#include <string>
#include <string_view>

namespace catmount {

// `bytes` as it is when it is printable UTF-8 without quotes or backslashes; else in single
// quotes, where control bytes (below 0x20, 0x7F and the C1 controls U+0080 to U+009F), bytes
// that are not valid UTF-8, the quote and the backslash are written as \ooo octal escapes, as
// `ls` quotes names: 'a\033b' is the name a, ESC, b.
std::string QuotedForReport(std::string_view bytes);

}  // namespace catmount
