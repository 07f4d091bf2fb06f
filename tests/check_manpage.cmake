# Fails when docs/quiremark.1 differs from what the manual page generator writes now.
execute_process(COMMAND ${GEN} OUTPUT_VARIABLE generated RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "manual page generator failed: ${rc}")
endif()
file(READ ${REF} committed)
if(NOT generated STREQUAL committed)
  message(FATAL_ERROR "docs/quiremark.1 is out of date: run cmake --build <build> --target manpage")
endif()
