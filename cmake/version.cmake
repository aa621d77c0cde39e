# Writes the launcher's version header at build time, so a binary built after a commit names
# that commit without a fresh configure. The file is rewritten only when its text changes.
# Inputs: SOURCE_DIR, OUTPUT, VERSION.
set(commit "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" describe --always --dirty --abbrev=12
    WORKING_DIRECTORY "${SOURCE_DIR}" OUTPUT_VARIABLE commit ERROR_QUIET
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(text "// Generated at build time; do not edit.\n#pragma once\n")
string(APPEND text "#define LOGTEST_VERSION \"${VERSION}\"\n")
string(APPEND text "#define LOGTEST_COMMIT \"${commit}\"\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE "${OUTPUT}" "${text}")
endif()
