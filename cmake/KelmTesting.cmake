# Test registration helpers: unit tests (GoogleTest, beside the code) and
# multi-process scenarios (pytest under tests/), each labelled for ctest.
enable_testing()

# kelm_unit_test(NAME SOURCES a_test.cpp ... LIBS lib ... [LABELS extra])
function(kelm_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  # GCC 12 at -O2 and above wrongly reports -Wrestrict inside std::string's
  # operator+ with a literal on the left (GCC bug 105329), which tests use a lot.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${name} PRIVATE -Wno-restrict)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS "unit;${T_LABELS}" TIMEOUT 300)
endfunction()

# The state file of the test run's AMQP broker (fixture "rabbitmq", tests/CMakeLists.txt):
# its ports, credentials and pids. Scenarios find it through KELM_BROKER_STATE.
set(KELM_BROKER_STATE ${CMAKE_BINARY_DIR}/tests/rabbitmq/state.json)

# kelm_scenario(NAME FILE tests/x_test.py [SELECT expr] [LABELS slow] [TIMEOUT s] [FIXTURES_REQUIRED f ...])
# Scenarios find the built programs through KELM_BIN_DIR. SELECT (a pytest -k
# expression) runs part of a file, so the long cases of one file run in parallel.
function(kelm_scenario name)
  cmake_parse_arguments(T "" "FILE;TIMEOUT;SELECT" "LABELS;FIXTURES_REQUIRED" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  set(select)
  if(T_SELECT)
    set(select -k ${T_SELECT})
  endif()
  add_test(NAME ${name}
    COMMAND ${KELM_PYTHON} -m pytest -q -p no:cacheprovider ${T_FILE} ${select}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/tests)
  set_tests_properties(${name} PROPERTIES
    LABELS "scenario;${T_LABELS}"
    TIMEOUT ${T_TIMEOUT}
    SKIP_RETURN_CODE 77
    ENVIRONMENT "KELM_BIN_DIR=${CMAKE_BINARY_DIR}/bin;KELM_SOURCE_DIR=${CMAKE_SOURCE_DIR};KELM_BROKER_STATE=${KELM_BROKER_STATE}")
  if(T_FIXTURES_REQUIRED)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED "${T_FIXTURES_REQUIRED}")
  endif()
endfunction()
