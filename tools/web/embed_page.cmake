# Makes the page's files into a C++ table (page_assets.h), run as a script at build time:
#   cmake -DOUTPUT=page_assets.cpp -DFILES="a.html;b.css;..." -DMAX_BYTES=N -P embed_page.cmake
# index.html is served at "/", every other file at "/NAME". The build fails when the files
# together pass MAX_BYTES: the page stays small.
set(total 0)
set(arrays "")
set(entries "")
set(number 0)
foreach(file ${FILES})
  get_filename_component(name ${file} NAME)
  get_filename_component(extension ${file} LAST_EXT)
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".svg")
    set(type "image/svg+xml")
  else()
    message(FATAL_ERROR "embed_page: no content type for ${name}")
  endif()
  if(name STREQUAL "index.html")
    set(path "/")
  else()
    set(path "/${name}")
  endif()
  file(SIZE ${file} size)
  math(EXPR total "${total} + ${size}")
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
  # Lines of 16 bytes.
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " hex "${hex}")
  string(APPEND arrays "// ${name}\nconst unsigned char kData${number}[] = {\n    ${hex}};\n")
  string(APPEND entries "    {\"${path}\", \"${type}\", kData${number}, ${size}},\n")
  math(EXPR number "${number} + 1")
endforeach()
if(total GREATER MAX_BYTES)
  message(FATAL_ERROR "embed_page: the page's files hold ${total} bytes, more than ${MAX_BYTES}")
endif()
file(WRITE ${OUTPUT}.tmp "// Made by tools/web/embed_page.cmake from tools/web/page: not to be edited.
#include \"tools/web/page_assets.h\"

namespace page_assets {

namespace {

${arrays}
}  // namespace

const Asset kAssets[] = {
${entries}};
const size_t kAssetCount = ${number};

}  // namespace page_assets
")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
