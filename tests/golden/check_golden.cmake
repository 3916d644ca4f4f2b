# Runs the golden program and compares the SHA-256 of its output with the
# reviewed value; on a mismatch the output is kept for a diff.
execute_process(COMMAND ${PROGRAM} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "golden program failed: ${rc}")
endif()
string(SHA256 actual "${out}")
file(READ ${EXPECTED} expected)
string(STRIP "${expected}" expected)
if(NOT actual STREQUAL expected)
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/golden.out "${out}")
  message(FATAL_ERROR "golden output changed: ${actual} (expected ${expected}); output in golden.out")
endif()
