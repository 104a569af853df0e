# Fails when a source file under src/ or tests/ is named by no CMakeLists.txt:
# the build lists its sources, so a new file must be added there, or its
# code (and its tests) would silently not be built.
#   cmake -DSOURCE_DIR=... -P check-sources-listed.cmake
cmake_minimum_required(VERSION 3.25)

file(READ ${SOURCE_DIR}/CMakeLists.txt top)
file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/tests/*.cpp)
set(checked 0)
foreach(file IN LISTS files)
  # The fuzz targets and the consumer have CMakeLists.txt files of their own.
  if(file MATCHES "^tests/(fuzz|consumer)/")
    continue()
  endif()
  string(FIND "${top}" "${file}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "${file} is not in CMakeLists.txt")
  endif()
  math(EXPR checked "${checked} + 1")
endforeach()
message(STATUS "${checked} source files are built")
