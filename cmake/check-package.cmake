# Makes the release package, opens the ZIP and checks it: exactly the two
# stripped executables, README.md, SECURITY.md and SHA256SUMS, checksums that
# match, executables of at most 1 MiB without debug sections that still run,
# and their symbols in files of their own.
#   cmake <the arguments of package.cmake> -DOBJDUMP=... -DEMULATOR=...
#         -P check-package.cmake
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)

set(opened ${OUTPUT_DIR}/opened)
file(REMOVE_RECURSE ${opened})
file(MAKE_DIRECTORY ${opened})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${OUTPUT_DIR}/${name}.zip
  WORKING_DIRECTORY ${opened} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot open ${OUTPUT_DIR}/${name}.zip")
endif()

file(GLOB_RECURSE contents RELATIVE ${opened} ${opened}/*)
list(SORT contents)
set(expected ${name}/README.md ${name}/SECURITY.md ${name}/SHA256SUMS
  ${name}/obrex-sandbox-acl.exe ${name}/obrex-sandbox-exec.exe)
if(NOT contents STREQUAL expected)
  message(FATAL_ERROR "the package holds ${contents}, not ${expected}")
endif()

file(STRINGS ${opened}/${name}/SHA256SUMS lines)
list(LENGTH lines count)
if(NOT count EQUAL 4)
  message(FATAL_ERROR "SHA256SUMS has ${count} lines, not 4")
endif()
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^([0-9a-f]+)  (.+)$")
    message(FATAL_ERROR "SHA256SUMS: '${line}' is not a checksum line")
  endif()
  file(SHA256 ${opened}/${name}/${CMAKE_MATCH_2} actual)
  if(NOT actual STREQUAL CMAKE_MATCH_1)
    message(FATAL_ERROR "${CMAKE_MATCH_2}: SHA256SUMS says ${CMAKE_MATCH_1}, the file is ${actual}")
  endif()
endforeach()

foreach(file obrex-sandbox-exec.exe obrex-sandbox-acl.exe)
  set(exe ${opened}/${name}/${file})
  file(SIZE ${exe} size)
  if(size GREATER 1048576)
    message(FATAL_ERROR "${file} is ${size} bytes stripped, more than 1 MiB")
  endif()
  execute_process(COMMAND ${OBJDUMP} -h ${exe} OUTPUT_VARIABLE sections RESULT_VARIABLE result)
  # The symbols file holds what the executable lost: its debug sections.
  # (Its size says little: without -g it can be smaller than the code.)
  execute_process(COMMAND ${OBJDUMP} -h ${OUTPUT_DIR}/${file}.debug OUTPUT_VARIABLE kept
    RESULT_VARIABLE symbols_result)
  if(NOT result EQUAL 0 OR sections MATCHES "\\.debug_" OR NOT sections MATCHES "\\.gnu_debuglink"
     OR NOT symbols_result EQUAL 0 OR NOT kept MATCHES "\\.debug_info")
    message(FATAL_ERROR "${file} keeps debug sections or lacks its debug link, or its symbols "
                        "file is missing:\n${sections}")
  endif()
  message(STATUS "${file}: ${size} bytes stripped")
endforeach()

# Stripped, they still run: the launcher passes a command's exit code on, the
# tool answers its version. The emulator is Wine, whose drive Z: is the root
# of the build machine.
string(REPLACE "/" "\\" project "Z:${opened}")
execute_process(COMMAND ${EMULATOR} ${opened}/${name}/obrex-sandbox-exec.exe --project ${project}
  -- cmd /c exit 5 RESULT_VARIABLE result ERROR_VARIABLE err)
if(NOT result EQUAL 5 OR NOT err STREQUAL "")
  message(FATAL_ERROR "the stripped launcher ended with ${result}: ${err}")
endif()
execute_process(COMMAND ${EMULATOR} ${opened}/${name}/obrex-sandbox-acl.exe --version
  RESULT_VARIABLE result OUTPUT_VARIABLE out)
if(NOT result EQUAL 0 OR NOT out MATCHES "${VERSION}")
  message(FATAL_ERROR "the stripped tool ended with ${result}: ${out}")
endif()
message(STATUS "${name}.zip holds what it should, and its checksums hold")
