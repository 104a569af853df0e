# Makes the release package: OUTPUT_DIR/obrex-sandbox-exec-VERSION-win64.zip
# holding the stripped executable, README.md, SECURITY.md and SHA256SUMS, and
# OUTPUT_DIR/obrex-sandbox-exec.exe.debug with the symbols, which the
# stripped executable names in its debug link.
#   cmake -DEXECUTABLE=... -DOBJCOPY=... -DSOURCE_DIR=... -DVERSION=... -DOUTPUT_DIR=...
#         -P package.cmake
cmake_minimum_required(VERSION 3.25)

set(name obrex-sandbox-exec-${VERSION}-win64)
set(stage ${OUTPUT_DIR}/${name})
set(symbols ${OUTPUT_DIR}/obrex-sandbox-exec.exe.debug)
file(REMOVE_RECURSE ${stage} ${OUTPUT_DIR}/${name}.zip ${symbols})
file(MAKE_DIRECTORY ${stage})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${result}): ${err}")
  endif()
endfunction()

run(${OBJCOPY} --only-keep-debug ${EXECUTABLE} ${symbols})
run(${OBJCOPY} --strip-all --add-gnu-debuglink=${symbols} ${EXECUTABLE}
  ${stage}/obrex-sandbox-exec.exe)
file(COPY ${SOURCE_DIR}/README.md ${SOURCE_DIR}/SECURITY.md DESTINATION ${stage})

# In the form `sha256sum -c` reads; on Windows compare with
# `certutil -hashfile FILE SHA256`.
set(sums "")
foreach(file obrex-sandbox-exec.exe README.md SECURITY.md)
  file(SHA256 ${stage}/${file} hash)
  string(APPEND sums "${hash}  ${file}\n")
endforeach()
file(WRITE ${stage}/SHA256SUMS "${sums}")

execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${OUTPUT_DIR}/${name}.zip --format=zip ${name}
  WORKING_DIRECTORY ${OUTPUT_DIR} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot write ${OUTPUT_DIR}/${name}.zip")
endif()
file(SIZE ${stage}/obrex-sandbox-exec.exe size)
message(STATUS "${OUTPUT_DIR}/${name}.zip: obrex-sandbox-exec.exe stripped to ${size} bytes")
