# Runs the enforcement suite, which skips under Wine, with an XML report, and
# checks that obrex_ci_report lists each skipped test with its reason, and
# that it prints where it ran.
#   cmake -DEMULATOR=... -DTESTS=obrex_windows_tests.exe -DREPORT=obrex_ci_report.exe
#         -DWORK_DIR=... -P check-ci-report.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${EMULATOR} ${TESTS} --gtest_filter=EnforcementE2e.*
  --gtest_output=xml:enforcement.xml WORKING_DIRECTORY ${WORK_DIR} OUTPUT_QUIET ERROR_QUIET
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS ${WORK_DIR}/enforcement.xml)
  message(FATAL_ERROR "the enforcement suite ended with ${result} and wrote no XML report")
endif()

execute_process(COMMAND ${EMULATOR} ${REPORT} skipped --title Wine enforcement.xml
  WORKING_DIRECTORY ${WORK_DIR} OUTPUT_VARIABLE skipped RESULT_VARIABLE result ERROR_QUIET)
set(expected "- `EnforcementE2e.WritesOnlyInWritePathsAndNeitherReadsNorListsDenyPaths`: Wine cannot")
string(FIND "${skipped}" "${expected}" at)
if(NOT result EQUAL 0 OR at EQUAL -1 OR NOT skipped MATCHES "tests, 0 failed, [1-9][0-9]* skipped")
  message(FATAL_ERROR "obrex_ci_report skipped ended with ${result}:\n${skipped}")
endif()

execute_process(COMMAND ${EMULATOR} ${REPORT} facts --summary summary.md
  WORKING_DIRECTORY ${WORK_DIR} OUTPUT_VARIABLE facts RESULT_VARIABLE result ERROR_QUIET)
file(READ ${WORK_DIR}/summary.md summary)
foreach(row "| Windows | " "| account | " "| elevated | " "| integrity level | " "| in a job | "
            "| working directory | ")
  string(FIND "${facts}" "${row}" at)
  if(NOT result EQUAL 0 OR at EQUAL -1 OR NOT summary STREQUAL facts)
    message(FATAL_ERROR "obrex_ci_report facts ended with ${result}, without '${row}' or with "
                        "another summary:\n${facts}")
  endif()
endforeach()
message(STATUS "${skipped}${facts}")
