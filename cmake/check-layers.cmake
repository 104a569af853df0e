# Fails when a file under src/ includes a project header from a layer it may
# not use. The layers point one way: frontend -> identity, filesystem,
# launch -> core -> platform; the public header obrex/sandbox.h stands with
# core. A step may use its own folder, but not another step's. The companion
# tool, acl, is a top of its own beside frontend and never includes it: what
# both programs share lives in core.
#   cmake -DSOURCE_DIR=... -P check-layers.cmake
cmake_minimum_required(VERSION 3.25)

set(allowed_platform platform)
set(allowed_core core platform obrex)
set(allowed_identity identity core platform obrex)
set(allowed_filesystem filesystem core platform obrex)
set(allowed_launch launch core platform obrex)
set(allowed_frontend frontend identity filesystem launch core platform obrex)
set(allowed_acl acl identity filesystem launch core platform obrex)

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/src/*.h ${SOURCE_DIR}/src/*.cpp
  ${SOURCE_DIR}/include/*.h)
set(checked 0)
foreach(file IN LISTS files)
  if(file MATCHES "^include/")
    set(layer public)
    set(allowed)
  else()
    string(REGEX REPLACE "^src/([^/]+)/.*" "\\1" layer "${file}")
    if(NOT DEFINED allowed_${layer})
      message(SEND_ERROR "${file}: src/${layer} is not a known layer")
      continue()
    endif()
    set(allowed ${allowed_${layer}})
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^#include \"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^/\"]+)/.*" "\\1" used "${line}")
    if(NOT used IN_LIST allowed)
      message(SEND_ERROR "${file} (${layer}) includes ${line}")
    endif()
  endforeach()
  math(EXPR checked "${checked} + 1")
endforeach()
if(checked LESS 20)
  message(FATAL_ERROR "only ${checked} files found under ${SOURCE_DIR}/src")
endif()
message(STATUS "${checked} files include only the layers below them")
