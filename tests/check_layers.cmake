# Fails on any #include that goes against the direction of the layers (src/README.md):
#   text, inflate   bottom: each uses only itself
#   reader          text, inflate
#   import          reader, text, inflate
#   job             import, reader, text, inflate, and the public header quiremark.h
#   cli/            job/ and quiremark.h, and its own headers; cli/info.cpp reads the loaded
#                   document, so it may use reader/ and text/ as well
#   include/        nothing of src/
# Headers count as much as sources, so an upward include is caught even in header-only code.
# Run as: cmake -DROOT=<source directory> -P check_layers.cmake
cmake_minimum_required(VERSION 3.25)

set(allowed_text text)
set(allowed_inflate inflate)
set(allowed_reader reader text inflate)
set(allowed_import import reader text inflate)
set(allowed_job job import reader text inflate quiremark.h)
set(allowed_cli job quiremark.h .)
set(allowed_cli_info job quiremark.h . reader text)
set(allowed_include "")

set(bad "")
set(checked 0)

# Checks every quoted #include of `file` against the list `allowed`: "dir/name" needs dir in the
# list, a bare "name" needs either itself (quiremark.h) or "." (the folder's own headers).
function(check_file file allowed)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "\"([^\"]+)\"")
      continue()
    endif()
    set(inc "${CMAKE_MATCH_1}")
    if(inc MATCHES "^([^/]+)/")
      set(what "${CMAKE_MATCH_1}")
    elseif(inc STREQUAL "quiremark.h")
      set(what "quiremark.h")
    else()
      set(what ".")
    endif()
    if(NOT what IN_LIST allowed)
      file(RELATIVE_PATH rel "${ROOT}" "${file}")
      set(bad "${bad}\n  ${rel}: #include \"${inc}\"" PARENT_SCOPE)
    endif()
  endforeach()
endfunction()

foreach(layer text inflate reader import job)
  file(GLOB_RECURSE files "${ROOT}/src/${layer}/*.h" "${ROOT}/src/${layer}/*.cpp")
  foreach(f IN LISTS files)
    check_file("${f}" "${allowed_${layer}}")
    math(EXPR checked "${checked} + 1")
  endforeach()
endforeach()

# Any other folder under src/ would be a layer that nobody placed.
file(GLOB entries LIST_DIRECTORIES true "${ROOT}/src/*")
foreach(e IN LISTS entries)
  get_filename_component(name "${e}" NAME)
  if(IS_DIRECTORY "${e}" AND NOT name MATCHES "^(text|inflate|reader|import|job)$")
    set(bad "${bad}\n  src/${name}/: a folder that is no layer")
  endif()
endforeach()

file(GLOB files "${ROOT}/cli/*.h" "${ROOT}/cli/*.cpp")
foreach(f IN LISTS files)
  get_filename_component(name "${f}" NAME)
  if(name STREQUAL "info.cpp")
    check_file("${f}" "${allowed_cli_info}")
  else()
    check_file("${f}" "${allowed_cli}")
  endif()
  math(EXPR checked "${checked} + 1")
endforeach()

file(GLOB files "${ROOT}/include/*.h")
foreach(f IN LISTS files)
  check_file("${f}" "${allowed_include}")
  math(EXPR checked "${checked} + 1")
endforeach()

if(checked LESS 10)
  message(FATAL_ERROR "only ${checked} files found under ${ROOT}: wrong source directory?")
endif()
if(NOT bad STREQUAL "")
  message(FATAL_ERROR "includes against the direction of the layers:${bad}")
endif()
message(STATUS "layers: ${checked} files, every include in its direction")
