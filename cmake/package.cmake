# Makes the release package: OUTPUT_DIR/obrex-sandbox-exec-VERSION-win64.zip
# holding the stripped launcher and companion tool, README.md, SECURITY.md and
# SHA256SUMS, and beside it each executable's symbols, EXE.debug, which the
# stripped executable names in its debug link.
#   cmake -DLAUNCHER=... -DACL_TOOL=... -DOBJCOPY=... -DSOURCE_DIR=... -DVERSION=...
#         -DOUTPUT_DIR=... -P package.cmake
cmake_minimum_required(VERSION 3.25)

set(name obrex-sandbox-exec-${VERSION}-win64)
set(stage ${OUTPUT_DIR}/${name})
set(executables ${LAUNCHER} ${ACL_TOOL})
file(REMOVE_RECURSE ${stage} ${OUTPUT_DIR}/${name}.zip)
file(MAKE_DIRECTORY ${stage})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${result}): ${err}")
  endif()
endfunction()

set(files README.md SECURITY.md)
foreach(executable IN LISTS executables)
  get_filename_component(file ${executable} NAME)
  set(symbols ${OUTPUT_DIR}/${file}.debug)
  file(REMOVE ${symbols})
  run(${OBJCOPY} --only-keep-debug ${executable} ${symbols})
  run(${OBJCOPY} --strip-all --add-gnu-debuglink=${symbols} ${executable} ${stage}/${file})
  list(APPEND files ${file})
endforeach()
file(COPY ${SOURCE_DIR}/README.md ${SOURCE_DIR}/SECURITY.md DESTINATION ${stage})

# In the form `sha256sum -c` reads; on Windows compare with
# `certutil -hashfile FILE SHA256`.
set(sums "")
list(SORT files)
foreach(file IN LISTS files)
  file(SHA256 ${stage}/${file} hash)
  string(APPEND sums "${hash}  ${file}\n")
endforeach()
file(WRITE ${stage}/SHA256SUMS "${sums}")

execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT_DIR}/${name}.zip --format=zip ${name}
  WORKING_DIRECTORY ${OUTPUT_DIR} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot write ${OUTPUT_DIR}/${name}.zip")
endif()
foreach(executable IN LISTS executables)
  get_filename_component(file ${executable} NAME)
  file(SIZE ${stage}/${file} size)
  message(STATUS "${name}.zip: ${file} stripped to ${size} bytes")
endforeach()
