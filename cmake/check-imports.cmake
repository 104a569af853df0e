# Fails unless the executable imports only kernel32, advapi32 and the C
# runtime, all known DLLs: its C++ runtime must be linked in, so that it runs
# on a bare Windows, and no import may be looked for next to the executable
# (where a sandboxed command might plant one) before the system directory.
# Every other system DLL (bcrypt, shell32, ole32) is loaded from the system
# directory explicitly, when it is first needed.
#   cmake -DOBJDUMP=... -DEXECUTABLE=... -P check-imports.cmake
cmake_minimum_required(VERSION 3.25)

set(allowed advapi32.dll kernel32.dll msvcrt.dll)

execute_process(COMMAND "${OBJDUMP}" -p "${EXECUTABLE}" OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXECUTABLE} failed (${result})")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
if(NOT lines)
  message(FATAL_ERROR "${EXECUTABLE} shows no imports")
endif()
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST allowed)
    message(SEND_ERROR "${EXECUTABLE} imports ${dll}, which it must not")
  else()
    message(STATUS "imports ${dll}")
  endif()
endforeach()
