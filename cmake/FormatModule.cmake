# add_format_module(NAME SOURCES...): one format module, carrying its own copy of the host
# interface, the catalogue state and the platform layer. Only the seven entry points leave it.
if(WIN32)
  enable_language(RC)  # the modules' version resources
  set(FORMAT_PLATFORM_SOURCES ${CMAKE_SOURCE_DIR}/modules/platform/win32/platform_win32.cpp)
else()
  # The image's memory sits in a source of its own, which the fuzz targets replace.
  set(FORMAT_IMAGE_MEMORY_SOURCE ${CMAKE_SOURCE_DIR}/modules/platform/posix/image_memory.cpp)
  set(FORMAT_PLATFORM_SOURCES
    ${CMAKE_SOURCE_DIR}/modules/platform/posix/platform_posix.cpp
    ${FORMAT_IMAGE_MEMORY_SOURCE}
    ${CMAKE_SOURCE_DIR}/modules/platform/posix/ansi_to_oem.cpp)
endif()
# The general calendar that the tests and the Windows check compare the modules' stamp
# conversion with; the modules themselves do not need it.
set(PLAIN_CALENDAR_SOURCES ${CMAKE_SOURCE_DIR}/modules/platform/dos_time.cpp)
set(FORMAT_COMMON_SOURCES
  ${CMAKE_SOURCE_DIR}/modules/interface/common_entry_points.cpp
  ${CMAKE_SOURCE_DIR}/modules/core/catalogue_state.cpp
  ${FORMAT_PLATFORM_SOURCES}
)
if(WIN32)
  list(APPEND FORMAT_COMMON_SOURCES ${CMAKE_SOURCE_DIR}/modules/interface/dll_main.cpp)
endif()

# The platform layer and the shared core sit in their own sources, but the per-item path runs
# through them (stamp conversion, ranged reads): link-time optimisation lets them be inlined
# into the walk. Debug builds (the sanitizer preset) keep separate functions. Not on Windows:
# there the stamp and character-set calls go to the system's libraries anyway, and the
# linker's stdcall fixup, which binds the undecorated exports, wants ordinary objects.
set(FORMAT_MODULE_IPO OFF)
if(NOT WIN32)
  include(CheckIPOSupported)
  check_ipo_supported(RESULT FORMAT_MODULE_IPO LANGUAGES CXX)
endif()

function(add_format_module name)
  add_library(${name} SHARED ${ARGN} ${FORMAT_COMMON_SOURCES})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  if(FORMAT_MODULE_IPO AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    set_property(TARGET ${name} PROPERTY INTERPROCEDURAL_OPTIMIZATION ON)
  endif()
  if(NOT MSVC)
    target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
  endif()
  if(WIN32)
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/modules/interface/format_module.def)
    # The version resource: "zex_fmt" is described as the ZEX format module, and so on.
    set(MODULE_NAME ${name})
    string(REGEX REPLACE "_fmt$" "" module_format ${name})
    string(TOUPPER ${module_format} module_format)
    set(MODULE_DESCRIPTION "${module_format} disk-catalogue format module (read-only)")
    configure_file(${CMAKE_SOURCE_DIR}/cmake/format_module_version.rc.in
      ${CMAKE_CURRENT_BINARY_DIR}/${name}_version.rc @ONLY)
    target_sources(${name} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${name}_version.rc)
    if(MINGW)
      # The runtimes go inside, so the library needs only system libraries. On 32-bit x86,
      # __stdcall decorates each name with @N; the stdcall fixup binds the plain names of the
      # .def file to them, so the exports carry the names alone.
      target_link_options(${name} PRIVATE -static -static-libgcc -static-libstdc++
        -Wl,--enable-stdcall-fixup)
    endif()
  else()
    target_link_options(${name} PRIVATE
      -Wl,--version-script=${CMAKE_SOURCE_DIR}/modules/interface/exports.map)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS
      ${CMAKE_SOURCE_DIR}/modules/interface/exports.map)
  endif()
endfunction()
