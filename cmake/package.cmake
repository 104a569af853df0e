# Makes the release package: OUTPUT_DIR/obrex-sandbox-exec-VERSION-win64.zip
# holding the stripped launcher and companion tool, README.md, SECURITY.md and
# SHA256SUMS, and beside it each executable's symbols, EXE.debug, which the
# stripped executable names in its debug link.
#   cmake -DLAUNCHER=... -DACL_TOOL=... -DOBJCOPY=... -DSOURCE_DIR=... -DVERSION=...
#         -DOUTPUT_DIR=... -P package.cmake
#
# The ZIP is the same for every build of one commit: its entries come in name
# order, with fixed permissions, no owner, and the time of the commit
# (SOURCE_DATE_EPOCH when set, else the commit's time from git, else
# 1980-01-01, the earliest time a ZIP holds), not the time of the build.
cmake_minimum_required(VERSION 3.25)

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -c safe.directory=* log -1 --format=%ct
    WORKING_DIRECTORY ${SOURCE_DIR} OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE result ERROR_QUIET)
  if(NOT result EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    set(epoch 315532800)
  endif()
endif()

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
  # objcopy writes a PE file's time stamp anew, from SOURCE_DATE_EPOCH when
  # set and from the clock otherwise: the commit's time, as for the ZIP.
  run(${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
    ${OBJCOPY} --only-keep-debug ${executable} ${symbols})
  run(${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
    ${OBJCOPY} --strip-all --add-gnu-debuglink=${symbols} ${executable} ${stage}/${file})
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

list(APPEND files SHA256SUMS)
list(SORT files)
set(entries "")
foreach(file IN LISTS files)
  file(CHMOD ${stage}/${file} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  run(touch -d @${epoch} ${stage}/${file})
  list(APPEND entries ${name}/${file})
endforeach()
# zip writes local time: UTC makes it the same everywhere. -X leaves out the
# owner and the extra time fields, -D the directory entry.
execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC zip -X -D -q ${name}.zip ${entries}
  WORKING_DIRECTORY ${OUTPUT_DIR} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot write ${OUTPUT_DIR}/${name}.zip (zip ended with ${result})")
endif()
foreach(executable IN LISTS executables)
  get_filename_component(file ${executable} NAME)
  file(SIZE ${stage}/${file} size)
  message(STATUS "${name}.zip: ${file} stripped to ${size} bytes")
endforeach()
