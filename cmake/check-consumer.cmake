# Installs the built project into a staging prefix, builds the consumer
# program against it with find_package(obrex), runs a probe command in the
# sandbox through it and checks the exit code that comes back.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DTOOLCHAIN=... -DEMULATOR=... -DPROBE=...
#         -P check-consumer.cmake
cmake_minimum_required(VERSION 3.25)

set(stage ${BUILD_DIR}/consumer/stage)
set(build ${BUILD_DIR}/consumer/build)
file(REMOVE_RECURSE ${BUILD_DIR}/consumer)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${result}):\n${out}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${stage})
# The cross toolchain looks for packages under its own root only, so the
# package is named by its directory.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${build} -G Ninja
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN} -Dobrex_DIR=${stage}/lib/cmake/obrex)
run(${CMAKE_COMMAND} --build ${build})

# The emulator is Wine, whose drive Z: is the root of the build machine.
string(REPLACE "/" "\\" project "Z:${SOURCE_DIR}")
string(REPLACE "/" "\\" probe "Z:${PROBE}")

# A run through the library: the probe's own exit code comes back.
execute_process(COMMAND ${EMULATOR} ${build}/obrex_consumer.exe --project ${project}
  -- ${probe} exit=42 RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 42 OR NOT err STREQUAL "")
  message(FATAL_ERROR "the consumer ended with ${result} (expected 42):\n${err}")
endif()
# A failed run: the error carries its message and the system's code.
execute_process(COMMAND ${EMULATOR} ${build}/obrex_consumer.exe --project ${project}\\missing
  -- ${probe} RESULT_VARIABLE result ERROR_VARIABLE err)
if(NOT result EQUAL 126 OR NOT err MATCHES "^cannot open .*missing: .* \\(code [23]\\)\n$")
  message(FATAL_ERROR "a missing project gave ${result}:\n${err}")
endif()
message(STATUS "the consumer ran the probe through the installed package")
