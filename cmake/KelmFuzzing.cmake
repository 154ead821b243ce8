# libFuzzer targets. They are built only by a clang build with KELM_FUZZ=ON (the
# "fuzz" preset, build/fuzz), which instruments every library for coverage; the
# normal build stays GCC. A normal build given KELM_FUZZ_DIR (that fuzz build)
# registers each target with ctest under the label "fuzz": scripts/fuzz runs it for
# KELM_FUZZ_SECONDS from its checked-in seed corpus.
#
# Each target sits beside the code it fuzzes as <thing>_fuzz.cpp; its seeds are the
# files of corpus/<thing>_fuzz/ in the same folder.
option(KELM_FUZZ "Build the libFuzzer targets (clang only)" OFF)
set(KELM_FUZZ_DIR "" CACHE PATH "A KELM_FUZZ build whose targets ctest runs (label fuzz)")
set(KELM_FUZZ_SECONDS 25 CACHE STRING "How long ctest runs each fuzz target")

if(KELM_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KELM_FUZZ needs clang (cmake --preset fuzz)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_custom_target(kelm_fuzzers)
endif()

# kelm_fuzz_target(NAME SOURCES x_fuzz.cpp LIBS lib ...)
function(kelm_fuzz_target name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  set(seeds ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  if(NOT IS_DIRECTORY ${seeds})
    message(FATAL_ERROR "fuzz target ${name} has no seed corpus at ${seeds}")
  endif()
  if(KELM_FUZZ)
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    add_dependencies(kelm_fuzzers ${name})
  elseif(KELM_FUZZ_DIR)
    add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/scripts/fuzz --no-build ${name} ${KELM_FUZZ_SECONDS})
    math(EXPR limit "${KELM_FUZZ_SECONDS} * 4 + 60")
    set_tests_properties(${name} PROPERTIES LABELS "fuzz" TIMEOUT ${limit}
      ENVIRONMENT "KELM_FUZZ_DIR=${KELM_FUZZ_DIR}")
  endif()
endfunction()
