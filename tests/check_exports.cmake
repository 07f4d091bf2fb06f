# Fails unless the shared library's dynamic symbol table defines exactly the six public functions.
# Run as: cmake -DNM=<nm> -DLIB=<libquiremark.so> -P check_exports.cmake
set(expected quiremark_cleanup quiremark_init quiremark_last_error quiremark_merge
    quiremark_merge_opacity quiremark_stamp)
execute_process(COMMAND ${NM} -D --defined-only ${LIB}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}: ${err}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(found "")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@version]"
  if(line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +([^ @]+)")
    list(APPEND found "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT found)
list(REMOVE_DUPLICATES found)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "exports: ${found}")
