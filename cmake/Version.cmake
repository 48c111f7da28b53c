# The release's version is defined once, by project(VERSION) in the top CMakeLists.txt. A
# generated header hands it to every program's --version; format_module_version.rc.in hands it
# to the Windows DLLs as a version resource.
set(CATALOGUE_PRODUCT_NAME "Disk-catalogue format modules")
set(CATALOGUE_COPYRIGHT "Copyright (c) 2026 the disk-catalogue format modules authors")

configure_file(${CMAKE_CURRENT_LIST_DIR}/catalogue_version.h.in
  ${CMAKE_BINARY_DIR}/generated/catalogue_version.h @ONLY)
add_library(catalogue_version INTERFACE)
target_include_directories(catalogue_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
