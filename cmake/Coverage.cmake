# The coverage report of the `coverage` preset: line and branch coverage of src/ over the suites
# just run (throw and unreachable branches left out; the test backend and the Windows backend,
# which these suites do not run, left out), then the check that every error code the library
# sets on a path was set by some test on that path.
find_program(GCOVR gcovr REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(VELDC_COVERAGE_JSON ${CMAKE_BINARY_DIR}/coverage.json)
add_custom_target(coverage_report
  COMMAND ${GCOVR} --root ${PROJECT_SOURCE_DIR} --object-directory ${CMAKE_BINARY_DIR}
          --filter ${PROJECT_SOURCE_DIR}/src/ --exclude ${PROJECT_SOURCE_DIR}/src/platform/virtual/
          --exclude ${PROJECT_SOURCE_DIR}/src/platform/win32/
          --exclude-throw-branches --exclude-unreachable-branches
          --print-summary --txt ${CMAKE_BINARY_DIR}/coverage.txt
          --json ${VELDC_COVERAGE_JSON}
          # Only this tree: other build trees (a wine prefix's z: drive is /) are not searched.
          ${CMAKE_BINARY_DIR}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/coverage/error_paths.py
          ${PROJECT_SOURCE_DIR} ${VELDC_COVERAGE_JSON}
          ${PROJECT_SOURCE_DIR}/tests/coverage/untested_error_paths.txt
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Coverage of src/ (report in coverage.txt) and the error paths no test reached"
  VERBATIM)
