# Fails unless the library's dynamic symbol table defines exactly the names in EXPECTED
# (a comma-separated list).
execute_process(COMMAND nm -D --defined-only --format=just-symbols ${LIBRARY}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(STRIP "${symbols}" symbols)
string(REPLACE "\n" ";" symbols "${symbols}")
list(SORT symbols)
string(REPLACE "," ";" expected "${EXPECTED}")
list(SORT expected)
if(NOT "${symbols}" STREQUAL "${expected}")
  message(FATAL_ERROR "exported: '${symbols}', expected: '${expected}'")
endif()
