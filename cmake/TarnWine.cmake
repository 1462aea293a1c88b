# tarn_discover_wine_tests(TARGET [PROPERTIES prop value ...]) registers the GoogleTest cases
# of TARGET a second time, as "wine.<case>", run against the Windows build under Wine: they
# need the "wine" fixture and get TARN_WINE_TEST_ENV as their environment.
function(tarn_discover_wine_tests target)
  cmake_parse_arguments(ARG "" "" "PROPERTIES" ${ARGN})
  gtest_discover_tests(${target} TEST_PREFIX "wine." TEST_LIST ${target}_wine
                       DISCOVERY_TIMEOUT 60 PROPERTIES FIXTURES_REQUIRED wine ${ARG_PROPERTIES})
  # gtest_discover_tests spreads a list-valued property over several (CMake 3.25), so the
  # environment is set after discovery, from a file ctest reads after the cases' own.
  set(env_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_wine_env.cmake)
  file(WRITE ${env_file}
       "foreach(test IN LISTS ${target}_wine)\n"
       "  set_tests_properties(\"\${test}\" PROPERTIES ENVIRONMENT [==[${TARN_WINE_TEST_ENV}]==])\n"
       "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${env_file})
endfunction()
