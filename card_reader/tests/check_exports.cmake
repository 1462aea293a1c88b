# Fails unless the library's dynamic symbol table defines exactly the names in EXPECTED.
execute_process(COMMAND nm -D --defined-only --format=just-symbols ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX REPLACE "\n$" "" symbols "${symbols}")
string(REPLACE "\n" ";" symbols "${symbols}")
list(SORT symbols)
if(NOT "${symbols}" STREQUAL "${EXPECTED}")
  message(FATAL_ERROR "exported: '${symbols}', expected: '${EXPECTED}'")
endif()
