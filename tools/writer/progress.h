// The line mkcat shows on a terminal while it walks a tree: what it has found so far and the
// folder it is in, made safe to show and cut to the terminal's width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace catwriter {

// "12 files, 3 folders, 4.5 MiB: FOLDER" in at most `width` - 1 columns (the last one stays
// free, so that the terminal never wraps the line): FOLDER shown as ShownName shows it, and
// cut at its start ("...", then its end) when the line would be longer. A character from
// U+1100 up counts as two columns, as wide ones take, so the cut is never too short.
std::string ProgressLine(uint64_t files, uint64_t folders, uint64_t bytes,
                         const std::string& folder, size_t width);

}  // namespace catwriter
