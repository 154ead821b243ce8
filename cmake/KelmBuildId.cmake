# Script mode (cmake -P): writes the build identifier into OUT, rewriting the
# file only when the identifier changed so an unchanged tree relinks nothing.
# The identifier is KELM_BUILD_ID when given (a packager building from a tarball),
# else the git revision of SRC ("-dirty" when the tree has changes), else "unknown".
if(KELM_BUILD_ID)
  set(id "${KELM_BUILD_ID}")
else()
  execute_process(COMMAND git -C "${SRC}" describe --always --dirty --abbrev=10
    OUTPUT_VARIABLE id OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0 OR id STREQUAL "")
    set(id "unknown")
  endif()
endif()
string(REPLACE "\\" "\\\\" id "${id}")
string(REPLACE "\"" "\\\"" id "${id}")
set(text "// Generated at build time by cmake/KelmBuildId.cmake.\n#include \"cli/build_id.hpp\"\nconst char* const cli::build_id = \"${id}\";\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
