# Runs the enforcement suite, which skips under Wine, with an XML report, and
# checks that obrex_ci_report lists each skipped test with its reason, each
# failed test with its first failure line, that it prints where it ran, and
# that it refuses Wine's administrator token as a standard user's.
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

# A failure as GoogleTest writes it: the place, then the message's lines.
file(WRITE ${WORK_DIR}/failed.xml "<testsuites><testsuite name=\"S\">\n"
  "<testcase name=\"Fails\" classname=\"S\"><failure message=\"C:\\s\\t.cpp:12&#x0A;"
  "Expected equality of these values:&#x0A;  a | b\" type=\"\"/></testcase>\n"
  "<testcase name=\"Holds\" classname=\"S\"/></testsuite></testsuites>\n")
# A missing report is named, ends with 2, and the others are still listed.
execute_process(COMMAND ${EMULATOR} ${REPORT} results --title Wine missing.xml enforcement.xml
  failed.xml WORKING_DIRECTORY ${WORK_DIR} OUTPUT_VARIABLE results RESULT_VARIABLE result ERROR_QUIET)
foreach(expected
    "`missing.xml`: **no report"
    "- `EnforcementE2e.WritesOnlyInWritePathsAndNeitherReadsNorListsDenyPaths`: Wine cannot"
    "`failed.xml`: 2 tests, 1 failed, 0 skipped\n\nFailed:\n\n- `S.Fails`: C:\\s\\t.cpp:12: Expected equality of these values:\n\n")
  string(FIND "${results}" "${expected}" at)
  if(NOT result EQUAL 2 OR at EQUAL -1 OR NOT results MATCHES "tests, 0 failed, [1-9][0-9]* skipped")
    message(FATAL_ERROR "obrex_ci_report results ended with ${result}, without '${expected}':\n${results}")
  endif()
endforeach()

execute_process(COMMAND ${EMULATOR} ${REPORT} check --standard-user
  WORKING_DIRECTORY ${WORK_DIR} OUTPUT_VARIABLE groups ERROR_VARIABLE refused RESULT_VARIABLE result)
if(NOT result EQUAL 1 OR NOT groups MATCHES "S-1-5-32-544" OR NOT refused MATCHES
   "^obrex_ci_report: not a standard user: this token holds Administrators \\(S-1-5-32-544")
  message(FATAL_ERROR "obrex_ci_report check --standard-user ended with ${result}:\n${groups}${refused}")
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
message(STATUS "${results}${facts}")
